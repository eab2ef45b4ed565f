// Polyphase synthesis of the full-accuracy tier: the same filterbank as
// synthesis.h, in arithmetic whose error against the exact filterbank stays
// near 2^-25 of full scale (rms; 2^-23 at most on loud noise), a thousandth
// of a 16-bit step.
//
// Formats, stage by stage:
//   input     subband samples Q28, clamped to +-kFullInputLimit (2 - 2^-16):
//             requantised samples stay below 2 - 2^-15, so only gain is
//             ever clamped, and the bound keeps every value below in range
//   DCT       64-bit integers in Q30 (below 2^36); each difference it
//             weights is multiplied by a Q31 cosine exactly, in two 64-bit
//             products, and rounded back to Q30 (halves up)
//   history   X[m] in Q24, 32-bit: |X| < 32 x 2 = 64, so below 2^30 (the
//             DCT's error, a few hundred units of Q30 at most, is far inside
//             the 2^19 the clamp leaves)
//   window    ISO/IEC 11172-3 Table 3-B.3 in Q16, which is exact
//   sums      64-bit, Q40: 16 products below 2^30 x 2^17 never overflow
//   output    Q28 in the PcmBlock, rounded to nearest (half up) and saturated
//             to 32 bits
//
// The history holds each slot in the order in which the windowing consumes
// it: the windowing runs over the ages of the slots with the outputs in
// vector lanes, so that every vector of values it loads feeds the outputs k
// and 32 - k at once and no horizontal sum is needed.
#pragma once

#include <cstdint>

#include "bitstream/frame.h"
#include "fixed.h"
#include "synth/synthesis.h"

namespace quorvel {

// The history values (Q24) of one slot, with X = its DCT:
//   even[k] = X[16 + k], k = 0..15: what out[k] and out[32 - k] take from the
//             slot while its age is even
//   odd[k]  = X[16 - k], k = 0..15: the same while its age is odd
// X[0], which only out[16] takes (at odd ages), is kept apart (see
// FullChannelHistory).
struct FullHistorySlot {
  int32_t even[16];
  int32_t odd[16];
};

// A slot's output takes the slot itself and the 15 before it.
constexpr int kFullCarriedSlots = 15;
constexpr int kFullSlotsPerFrame = kSamplesPerChannel / 32;
constexpr int kFullHistorySlots = kFullCarriedSlots + 2 * kFullSlotsPerFrame;

// One channel's history, in order of time, so that a slot's 16 terms lie at
// fixed offsets below it. Frames are stored one after another from index 15
// on, behind the 15 slots that came before them; when the next frame does
// not fit, the last 15 slots move to the front first, which happens at most
// every other frame. A channel that a frame does not use keeps its history
// for the next frame that does. All zero is the history of silence.
struct FullChannelHistory {
  alignas(32) FullHistorySlot slot[kFullHistorySlots];
  alignas(32) int32_t first[kFullHistorySlots];  // X[0] of each slot, contiguous for out[16]
  int32_t stored;                                // slots stored from index 15 on
};

struct FullSynthesisState {
  FullChannelHistory channel[kMaxChannels];
};

// The largest subband sample magnitude the synthesis takes (2 - 2^-16 in Q28).
constexpr Q28 kFullInputLimit = 2 * kOneQ28 - (1 << 12);

// Rows j = 0..16 of the window in Q16: c_j[a] = D[j + 32 a] in entries a and a + 16.
extern const int32_t SynthesisWindowQ16[17][32];
// cos((2n + 1) pi / (2N)), n < N / 2, in Q31.
extern const int64_t FullDctCos32[16];
extern const int64_t FullDctCos16[8];
extern const int64_t FullDctCos8[4];
extern const int64_t FullDctCos4[2];
extern const int64_t FullDctCos2[1];

constexpr int kFullDctCosBits = 31;

// round(d * c / 2^31), halves up, for |d| < 2^62 and 0 <= c < 2^31: the
// product of c with the high and the low 31 bits of d, each within 64 bits.
constexpr int64_t MulQ31(int64_t d, int64_t c) {
  const int64_t high = d >> 31;                   // |high| < 2^31
  const int64_t low = d & ((int64_t{1} << 31) - 1);  // 0 <= low < 2^31
  return high * c + ((low * c + (int64_t{1} << 30)) >> 31);
}

void ResetFullSynthesis(FullSynthesisState& synthesis);

// X[m] = sum_k S[k] cos(m (2k + 1) pi / 64), m = 0..31, in Q30 (64-bit).
void FullDct32(const Q28* slotSamples, int64_t out[32]);

// A subband sample clamped to +-kFullInputLimit.
constexpr Q28 FullInputValue(Q28 s) { return s > kFullInputLimit ? kFullInputLimit : s < -kFullInputLimit ? -kFullInputLimit : s; }

// X in Q30 to the history's Q24, rounded half up; exact for |x| < 2^37 - 32,
// which the clamped input keeps.
constexpr int32_t FullHistoryValue(int64_t x) { return static_cast<int32_t>((x + 32) >> 6); }

// FullDct32 of `count` (1..4) consecutive slots of 32 samples, each clamped
// by FullInputValue first, stored as history values (FullHistoryValue) at
// indices index..index + count - 1 of the history. Returns whether the clamp
// changed any of the 32 x count samples (one beyond +-kFullInputLimit), so
// that the headroom needs no pass of its own over them. The plain version of
// the synthesis kernel fullDct32x4.
bool FullDct32x4Plain(const Q28* slots, int count, FullChannelHistory& history, int index);

// The windowed sums, in Q28, of the `count` slots at indices index..index +
// count - 1 (index >= 15), each over itself and the 15 slots before it:
// out: [32 * count]. History values must lie below 2^30 in magnitude. The plain
// version of the synthesis kernel fullWindowSlots.
void FullWindowSlotsPlain(const FullChannelHistory& history, int index, int count, Q28* out);

// The whole frame: fills the PcmBlock's rate, channels, count and samples,
// and moves the history on. Returns whether any subband sample of the
// frame's channels lay beyond +-kFullInputLimit (and was clamped).
bool SynthesizeFrameFull(FullSynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm);
// Moves a channel's history on by `slots` slots of silence, as the synthesis
// of all-zero subband samples would (their DCT is zero), without output.
void AdvanceSilenceFull(FullChannelHistory& history, int slots);

}  // namespace quorvel
