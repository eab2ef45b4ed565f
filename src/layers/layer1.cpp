// Layer I: allocation, scalefactors and 12 slots of samples per channel.
//
// Every check (CRC, allocation code 15, scalefactor 63) runs before the first
// sample is written, so a rejected frame leaves the samples as they were.
#include "layers/layer1.h"

#include "bitstream/crc16.h"
#include "layers/scalefactors.h"

namespace quorvel {

int DecodeLayer1(InputCursor& cursor, FrameState& frame) {
  BitReader& r = cursor.reader;
  const int nch = ChannelCount(frame);
  const int bound = frame.modeCode == kModeJointStereo ? 4 * (static_cast<int>(frame.modeExtension) + 1) : 32;

  if (frame.flags & FlagProtected) {
    // The protected span is exactly the allocation field.
    const uint32_t span = 4 * (32 + (nch - 1) * bound);
    frame.runningCrc = Crc16(r, span, frame.runningCrc);
    if (frame.runningCrc != frame.storedCrc) {
      cursor.status = StatusCrcError;
      return -1;
    }
  }

  uint8_t allocation[kMaxChannels][kSubbands] = {};
  uint8_t scalefactorIndex[kMaxChannels][kSubbands] = {};
  for (int sb = 0; sb < 32; ++sb) {
    const int channelsHere = sb < bound ? nch : 1;
    for (int ch = 0; ch < channelsHere; ++ch) {
      const uint32_t code = ReadBits(r, 4);
      if (code == 15) {
        cursor.status = StatusBadAllocation;
        return -1;
      }
      const uint8_t nb = static_cast<uint8_t>(code ? code + 1 : 0);
      if (sb < bound) {
        allocation[ch][sb] = nb;
      } else {
        allocation[0][sb] = allocation[1][sb] = nb;  // shared above the bound
      }
    }
  }
  for (int sb = 0; sb < 32; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (allocation[ch][sb] == 0) continue;
      const uint32_t index = ReadBits(r, 6);
      if (index == kForbiddenScalefactor) {
        cursor.status = StatusBadScalefactor;
        return -1;
      }
      scalefactorIndex[ch][sb] = static_cast<uint8_t>(index);
    }
  }

  for (int slot = 0; slot < 12; ++slot) {
    const int base = slot * 32;
    for (int sb = 0; sb < bound; ++sb) {
      for (int ch = 0; ch < nch; ++ch) {
        const int nb = allocation[ch][sb];
        frame.samples[ch][base + sb] =
            nb ? FixMul(ScalefactorTable[scalefactorIndex[ch][sb]], ReadLayer1Sample(r, nb)) : 0;
      }
    }
    for (int sb = bound; sb < 32; ++sb) {
      const int nb = allocation[0][sb];
      const Q28 sample = nb ? ReadLayer1Sample(r, nb) : 0;
      for (int ch = 0; ch < nch; ++ch) {
        frame.samples[ch][base + sb] = nb ? FixMul(ScalefactorTable[scalefactorIndex[ch][sb]], sample) : 0;
      }
    }
  }
  return 0;
}

}  // namespace quorvel
