// Layer I: allocation, scalefactors and 12 slots of samples per channel.
//
// Every check (CRC, allocation code 15, scalefactor 63) runs before the first
// sample is written, so a rejected frame leaves the samples as they were.
#include "layers/layer1.h"

#include "bitstream/crc16.h"
#include "layers/requant.h"
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

  BitCache bits = OpenCache(r);
  uint8_t allocation[kMaxChannels][kSubbands] = {};
  uint8_t scalefactorIndex[kMaxChannels][kSubbands] = {};
  for (int sb = 0; sb < 32; ++sb) {
    const int channelsHere = sb < bound ? nch : 1;
    for (int ch = 0; ch < channelsHere; ++ch) {
      const uint32_t code = CacheReadChecked(bits, 4);
      if (code == 15) {
        CloseCache(bits, r);
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
      const uint32_t index = CacheReadChecked(bits, 6);
      if (index == kForbiddenScalefactor) {
        CloseCache(bits, r);
        cursor.status = StatusBadScalefactor;
        return -1;
      }
      scalefactorIndex[ch][sb] = static_cast<uint8_t>(index);
    }
  }

  // The reads of one slot, in stream order: a transmitted subband of one
  // channel, or of both channels above the bound; and the requantisation of
  // every subband by channel (all zero where nothing is transmitted, which
  // makes those samples 0).
  struct ReadStep {
    int32_t nb;
    Q28* first;
    Q28* second;  // the other channel of a shared subband, else null
  };
  ReadStep steps[kMaxChannels * kSubbands];
  int stepCount = 0;
  RequantParams params[kMaxChannels] = {};
  for (int sb = 0; sb < 32; ++sb) {
    const bool shared = sb >= bound;
    for (int ch = 0; ch < nch; ++ch) {
      const int nb = allocation[ch][sb];
      if (nb == 0) continue;
      params[ch].offset[sb] = Layer1Requant[nb].offset;
      params[ch].step[sb] = Layer1Requant[nb].step;
      params[ch].scale[sb] = CoefficientQ12(ScalefactorTable[scalefactorIndex[ch][sb]]);
      if (shared && ch == 1) continue;  // read once, for channel 0
      steps[stepCount++] = {nb, &frame.samples[ch][sb], shared && nch == 2 ? &frame.samples[1][sb] : nullptr};
    }
  }

  // First the sample codes of slots 0..11, in place...
  for (int slot = 0; slot < 12; ++slot) {
    const int base = slot * 32;
    for (int i = 0; i < stepCount; ++i) {
      const ReadStep& step = steps[i];
      if (bits.bits < 16) RefillCache(bits);
      const Q28 code = static_cast<Q28>(CacheRead(bits, step.nb));
      step.first[base] = code;
      if (step.second) step.second[base] = code;
    }
  }
  // ...then their values.
  const LayerKernels& kernels = LayerKernelsFor(ActiveKernelLevel());
  for (int ch = 0; ch < nch; ++ch) kernels.requantRows(frame.samples[ch].data(), 12, params[ch]);
  CloseCache(bits, r);
  return 0;
}

}  // namespace quorvel
