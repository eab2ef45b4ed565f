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
  // The allocation codes in stream order (subband by subband, both channels
  // below the bound, one code above it), eight from each 32-bit read.
  const int codeCount = nch * bound + (32 - bound) * (bound < 32 ? 1 : 0);
  uint8_t codes[kMaxChannels * kSubbands];
  int c = 0;
  for (; c + 8 <= codeCount; c += 8) {
    const uint32_t eight = CacheReadChecked(bits, 32);
    for (int j = 0; j < 8; ++j) codes[c + j] = static_cast<uint8_t>((eight >> (28 - 4 * j)) & 15u);
  }
  for (; c < codeCount; ++c) codes[c] = static_cast<uint8_t>(CacheReadChecked(bits, 4));
  bool forbidden = false;
  for (int i = 0; i < codeCount; ++i) forbidden |= codes[i] == 15;
  if (forbidden) {
    // The reader stops right after the first code 15, as a code-by-code
    // reader would (r itself has not moved since the window opened).
    int first = 0;
    while (codes[first] != 15) ++first;
    SkipBits(r, 4u * static_cast<uint32_t>(first + 1));
    cursor.status = StatusBadAllocation;
    return -1;
  }
  // nb bits per sample: code + 1, or 0 for code 0.
  uint8_t allocation[kMaxChannels][kSubbands] = {};
  c = 0;
  for (int sb = 0; sb < 32; ++sb) {
    if (sb < bound) {
      for (int ch = 0; ch < nch; ++ch, ++c) allocation[ch][sb] = static_cast<uint8_t>(codes[c] ? codes[c] + 1 : 0);
    } else {
      allocation[0][sb] = allocation[1][sb] = static_cast<uint8_t>(codes[c] ? codes[c] + 1 : 0);
      ++c;
    }
  }
  uint8_t scalefactorIndex[kMaxChannels][kSubbands] = {};
  bool badScalefactor = false;
  for (int sb = 0; sb < 32; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (allocation[ch][sb] == 0) continue;
      const uint32_t index = CacheReadChecked(bits, 6);
      badScalefactor |= index == kForbiddenScalefactor;
      scalefactorIndex[ch][sb] = static_cast<uint8_t>(index);
    }
  }
  if (badScalefactor) {
    // The reader stops right after the first scalefactor 63.
    uint32_t read = 4u * static_cast<uint32_t>(codeCount);
    bool found = false;
    for (int sb = 0; sb < 32 && !found; ++sb) {
      for (int ch = 0; ch < nch && !found; ++ch) {
        if (allocation[ch][sb] == 0) continue;
        read += 6;
        found = scalefactorIndex[ch][sb] == kForbiddenScalefactor;
      }
    }
    SkipBits(r, read);
    cursor.status = StatusBadScalefactor;
    return -1;
  }

  // The reads of one slot, in stream order: a transmitted subband of one
  // channel, or of both channels above the bound (read into channel 0 and
  // copied below); and the plan of the requantisation (class 0 where nothing
  // is transmitted).
  struct ReadStep {
    uint32_t nb;     // 2..15 bits
    uint32_t shift;  // 64 - nb
    Q28* at;         // the sample of slot 0
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
      steps[stepCount++] = {static_cast<uint32_t>(nb), static_cast<uint32_t>(64 - nb), &frame.samples[ch][sb]};
    }
  }

  // The sample codes of slots 0..11, in place. A refill leaves at least 57
  // bits in the window, enough for three codes of at most 15 bits, so the
  // window is checked once per three reads. The window lives in locals here,
  // so that it stays in registers.
  const ReadStep* const tripledEnd = steps + (stepCount - stepCount % 3);
  const ReadStep* const end = steps + stepCount;
  uint64_t window = bits.window;
  int32_t have = bits.bits;
  for (int slot = 0; slot < 12; ++slot) {
    const int row = slot * 32;
    const ReadStep* s = steps;
    for (; s != tripledEnd; s += 3) {
      if (have < 45) {
        bits.window = window;
        bits.bits = have;
        RefillCache(bits);
        window = bits.window;
        have = bits.bits;
      }
      s[0].at[row] = static_cast<Q28>(window >> s[0].shift);
      window <<= s[0].nb;
      s[1].at[row] = static_cast<Q28>(window >> s[1].shift);
      window <<= s[1].nb;
      s[2].at[row] = static_cast<Q28>(window >> s[2].shift);
      window <<= s[2].nb;
      have -= static_cast<int32_t>(s[0].nb + s[1].nb + s[2].nb);
    }
    for (; s != end; ++s) {
      if (have < 15) {
        bits.window = window;
        bits.bits = have;
        RefillCache(bits);
        window = bits.window;
        have = bits.bits;
      }
      s->at[row] = static_cast<Q28>(window >> s->shift);
      window <<= s->nb;
      have -= static_cast<int32_t>(s->nb);
    }
  }
  bits.window = window;
  bits.bits = have;
  CloseCache(bits, r);
  if (nch == 2) CopySharedCodes(frame, bound, 32, 12);
  return 0;
}

int DecodeLayer1(InputCursor& cursor, FrameState& frame) {
  if (DecodeLayer1Codes(cursor, frame) != 0) return -1;
  RequantCompatible(frame);
  return 0;
}

}  // namespace quorvel
