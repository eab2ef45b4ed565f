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

// The history of one channel, in order of time: value[m][t] holds X[m] of
// the slot at position t. Between frames, positions stored..stored + 15 hold
// the channel's last 16 slots, the newest last; a frame's slots are stored
// behind them, from position 16 + stored on, eight at a time (so up to 7
// positions past the frame's last slot take values that nothing reads). When
// a frame would not fit, its 16 predecessors first move to the front, which
// happens once every few frames. Each window term of eight consecutive slots
// is one load of eight consecutive values, and the DCT of eight slots stores
// each row at once.
//
// The ring of ring values (0..15, one for both channels) still decides which
// slots a channel meets: `ring` is the ring value of position 16 + stored.
// Where a frame with fewer channels moved the shared ring on, the channel's
// 16 slots turn by the difference before its next frame, so that each takes
// the age its ring value gives (see AlignHistory).
constexpr int kCarriedSlots = 16;
constexpr int kHistoryColumns = kCarriedSlots + 3 * kMaxSlots - 4;  // room for two Layer II frames, eight Layer I

struct ChannelHistory {
  alignas(32) int32_t value[32][kHistoryColumns];
  int32_t ring;    // the ring value of position 16 + stored
  int32_t stored;  // slots stored since the carried ones last moved to the front
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

// Turns the channel's 16 carried slots to the shared ring value b, so that
// position 16 + stored is the slot of ring value b (nothing to do when it
// already is).
void AlignHistory(ChannelHistory& history, int b);

// The windowed sums of the `count` (1..8) slots at positions
// position..position + count - 1 (15 < position <= kHistoryColumns - 8),
// each over itself and the 15 slots before it: out: [32 * count]. Reads the
// eight positions from `position` on whatever `count` is. The plain version
// of the synthesis kernel windowSlots.
void WindowSlots(const ChannelHistory& history, int position, int count, Q28* out);

// WindowSlots of `count` (1..4) slots of two histories, those at position0..
// of history0 into out0 and those at position1.. of history1 into out1 (the
// last slots of a frame's two channels, windowed together by the vector
// kernels). The plain version of the synthesis kernel windowTails.
void WindowTails(const ChannelHistory& history0, int position0, const ChannelHistory& history1, int position1,
                 int count, Q28* out0, Q28* out1);

struct FullChannelHistory;  // a channel of the full tier's history (synthesis_full.h)

// The synthesis kernels. Every version of a kernel gives the same bits for
// every input as the plain one (tests/kernels_test.cpp).
struct SynthesisKernels {
  // The windowed sums of up to eight slots (see WindowSlots).
  void (*windowSlots)(const ChannelHistory& history, int position, int count, Q28* out);
  // The windowed sums of up to four slots of two histories (see WindowTails).
  void (*windowTails)(const ChannelHistory& history0, int position0, const ChannelHistory& history1, int position1,
                      int count, Q28* out0, Q28* out1);
  // Dct32Values of `count` (1..8) consecutive slots (see Dct32LanesPlain).
  void (*dct32Lanes)(const Q28* slots, int count, int32_t* rows, int stride);
  // The full tier's DCT of 1..4 slots into its history; true when it clamped
  // a sample (see FullDct32x4Plain).
  bool (*fullDct32x4)(const Q28* slots, int count, FullChannelHistory& history, int index);
  // The full tier's windowed sums of slots (see FullWindowSlotsPlain).
  void (*fullWindowSlots)(const FullChannelHistory& history, int index, int count, Q28* out);
};

// The synthesis kernels of `level` (the plain ones where it is not supported).
const SynthesisKernels& SynthesisKernelsFor(KernelLevel level);

}  // namespace quorvel
