// Polyphase synthesis of the full-accuracy tier: the same filterbank as
// synthesis.h, in arithmetic whose rounding stays near 2^-28 of full scale.
//
// Formats, stage by stage:
//   input     subband samples Q28, any 32-bit value (|s| < 8)
//   DCT       64-bit integers in Q30; each level N multiplies by cosines of
//             FullDctCosBits(N) fraction bits (28 for N = 32 down to 24 for
//             N = 2), so that operand times cosine fits 63 bits for every
//             input, and rounds the product to Q30 (half up)
//   history   X[m] in Q24, 32-bit, saturated at +-128 (|X| < 32 x 8 = 256 is
//             possible only for input no stream produces without gain)
//   window    ISO/IEC 11172-3 Table 3-B.3 in Q16, which is exact
//   sums      64-bit, Q40: 16 products of at most 2^48 never overflow
//   output    Q28 in the PcmBlock, rounded to nearest (half up) and saturated
//             to 32 bits
// The history uses the layout of ChannelHistory (see synthesis.h).
#pragma once

#include <cstdint>

#include "bitstream/frame.h"
#include "synth/synthesis.h"

namespace quorvel {

struct FullSynthesisState {
  ChannelHistory channel[kMaxChannels];  // Q24 values
  int32_t ringIndex;                     // ring value of the next slot, 0..15, shared by both channels
};

// Rows j = 0..16 of the window in Q16: c_j[a] = D[j + 32 a] in entries a and a + 16.
extern const int32_t SynthesisWindowQ16[17][32];
// cos((2n + 1) pi / (2N)), n < N / 2, in FullDctCosBits(N) fraction bits.
extern const int64_t FullDctCos32[16];
extern const int64_t FullDctCos16[8];
extern const int64_t FullDctCos8[4];
extern const int64_t FullDctCos4[2];
extern const int64_t FullDctCos2[1];

constexpr int FullDctCosBits(int n) { return n == 32 ? 28 : n == 16 ? 27 : n == 8 ? 26 : n == 4 ? 25 : 24; }

void ResetFullSynthesis(FullSynthesisState& synthesis);

// X[m] = sum_k S[k] cos(m (2k + 1) pi / 64), m = 0..31, in Q30 (64-bit).
void FullDct32(const Q28* slotSamples, int64_t out[32]);

// The windowed sums of one slot whose DCT has been stored at ring value b,
// in Q28.
void FullWindowSlot(const ChannelHistory& history, int b, Q28 out[32]);

// Synthesises `slots` slots of `channels` channels of frame.samples into
// pcm.samples; does not advance the ring.
void SynthesizeSlotsFull(FullSynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm, int channels,
                         int slots);
// The whole frame: fills the PcmBlock's rate, channels and count, and
// advances the ring.
void SynthesizeFrameFull(FullSynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm);

}  // namespace quorvel
