// Polyphase synthesis filterbank: 32 subband samples per slot become 32
// output samples per slot, through the DCT and a 16-slot windowed history.
//
// Scaling: history values are Q16 (DCT output), window coefficients Q14, the
// windowed sums Q30 (wrapping at +-2.0), and outputs Q28 after >> 2.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/frame.h"
#include "cpu.h"
#include "synth/dct32.h"

namespace quorvel {

// The history of one channel. The slot synthesised at ring value v lives in
// parity v & 1, column v >> 1; upper row r holds X[16 + r], lower row r holds
// X[15 - r]. Keeping the 8 columns of a row contiguous lets each group of
// eight window terms read eight consecutive values.
struct ChannelHistory {
  alignas(32) int32_t upper[2][16][8];
  alignas(32) int32_t lower[2][16][8];
};

struct SynthesisState {
  ChannelHistory channel[kMaxChannels];
  int32_t ringIndex;  // ring value of the next slot, 0..15, shared by both channels
};

// The synthesis output of one frame.
struct PcmBlock {
  int32_t sampleRate = 0;        // Hz
  int16_t channels = 0;          // 1 or 2
  int16_t samplesPerChannel = 0; // 32 x slots, or the resampled count
  std::array<std::array<Q28, kSamplesPerChannel>, kMaxChannels> samples{};
};

// Q14 window rows j = 0..16: c_j[a] = W[j + 32 a] in entries a and a + 16.
extern const int32_t SynthesisWindow[17][32];

void ResetSynthesis(SynthesisState& synthesis, PcmBlock& pcm);
void SynthesizeFrame(SynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm);
void SynthesizeSlots(SynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm, int channels, int slots);

// The windowed sums of one slot whose DCT has been stored at ring value b:
// the plain version of the synthesis kernel windowSlot.
void WindowSlot(const ChannelHistory& history, int b, Q28 out[32]);

struct FullChannelHistory;  // a channel of the full tier's history (synthesis_full.h)

// The synthesis kernels. Every version of a kernel gives the same bits for
// every input as the plain one (tests/kernels_test.cpp).
struct SynthesisKernels {
  // The windowed sums of one slot (see WindowSlot).
  void (*windowSlot)(const ChannelHistory& history, int b, Q28 out[32]);
  // Dct32Values of `count` (1..8) consecutive slots (see Dct32LanesPlain).
  void (*dct32Lanes)(const Q28* slots, int count, DctLanes& out);
  // The full tier's DCT of 1..4 slots into its history (see FullDct32x4Plain).
  void (*fullDct32x4)(const Q28* slots, int count, FullChannelHistory& history, int index);
  // The full tier's windowed sums of slots (see FullWindowSlotsPlain).
  void (*fullWindowSlots)(const FullChannelHistory& history, int index, int count, Q28* out);
};

// The synthesis kernels of `level` (the plain ones where it is not supported).
const SynthesisKernels& SynthesisKernelsFor(KernelLevel level);

}  // namespace quorvel
