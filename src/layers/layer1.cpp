// Layer I: allocation, scalefactors and 12 slots of samples per channel.
//
// Every check (CRC, allocation code 15, scalefactor 63) runs before the first
// sample is written, so a rejected frame leaves the samples as they were.
#include "layers/layer1.h"

#include "bitstream/crc16.h"
#include "layers/layer_decoders.h"
#include "layers/requant.h"
#include "layers/scalefactors.h"

namespace quorvel {
int DecodeLayer1Codes(InputCursor& cursor, FrameState& frame) {
  BitReader& r = cursor.reader;
  const int nch = ChannelCount(frame);
  const int bound = frame.modeCode == kModeJointStereo ? 4 * (static_cast<int>(frame.modeExtension) + 1) : 32;

  if (frame.flags & FlagProtected) {
    // The protected span is exactly the allocation field.
    const uint32_t span = 4 * (32 + (nch - 1) * bound);
    if (!CrcMatches(frame, r, span)) {
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
  // channel, or of both channels above the bound; and the plan of the
  // requantisation (class 0 where nothing is transmitted).
  struct ReadStep {
    int32_t nb;
    Q28* first;
    Q28* second;  // the other channel of a shared subband, else null
  };
  ReadStep steps[kMaxChannels * kSubbands];
  int stepCount = 0;
  RequantPlan& plan = frame.plan;
  plan.parts = 1;
  for (int sb = 0; sb < 32; ++sb) {
    const bool shared = sb >= bound;
    for (int ch = 0; ch < nch; ++ch) {
      const int nb = allocation[ch][sb];
      plan.quantClass[ch][sb] = Layer1QuantClass[nb];
      plan.scalefactor[ch][sb][0] = scalefactorIndex[ch][sb];
      if (nb == 0 || (shared && ch == 1)) continue;  // a shared subband is read once, for channel 0
      steps[stepCount++] = {nb, &frame.samples[ch][sb], shared && nch == 2 ? &frame.samples[1][sb] : nullptr};
    }
  }

  // The sample codes of slots 0..11, in place.
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
  CloseCache(bits, r);
  return 0;
}

int DecodeLayer1(InputCursor& cursor, FrameState& frame) {
  if (DecodeLayer1Codes(cursor, frame) != 0) return -1;
  RequantCompatible(frame);
  return 0;
}

}  // namespace quorvel
