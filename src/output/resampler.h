// Sample-rate conversion by linear interpolation between neighbouring input
// samples, between any two of the nine MPEG rates.
#pragma once

#include <array>
#include <cstdint>

#include "fixed.h"

namespace quorvel {

inline constexpr std::array<int32_t, 9> ResampleRateTable = {48000, 44100, 32000, 24000, 22050,
                                                             16000, 12000, 11025, 8000};

// [source index][target index]: rate[source] / rate[target] in Q28, rounded to
// nearest (no entry is a tie).
constexpr std::array<std::array<Q28, 9>, 9> MakeResampleStepTable() {
  std::array<std::array<Q28, 9>, 9> table{};
  for (int from = 0; from < 9; ++from) {
    for (int to = 0; to < 9; ++to) {
      table[from][to] = RoundedQuotient(static_cast<uint64_t>(ResampleRateTable[from]) << 28,
                                        static_cast<uint64_t>(ResampleRateTable[to]));
    }
  }
  return table;
}
inline constexpr std::array<std::array<Q28, 9>, 9> ResampleStepTable = MakeResampleStepTable();

struct ResamplerState {
  Q28 step = 0;     // input samples advanced per output sample
  int32_t phase = 0; // bits 28..31: whole samples to advance; bits 0..27: fraction
};

// Index 0..8 of an exact rate in ResampleRateTable, or -1.
int RateIndex(int32_t rate);
// 0, or -1 (state unchanged) when either rate is not one of the nine.
int SetupResampler(ResamplerState& state, int32_t from, int32_t to);
// Converts n samples; returns the count written: n for equal rates, otherwise
// ceil((n - 1) * to / from) for the block sizes the decoder uses. Never writes
// more than `capacity` samples. output: [capacity].
uint32_t ResampleBlock(ResamplerState& state, uint32_t n, const Q28* input, Q28* output, uint32_t capacity);
// The same conversion in the full tier's precision: the same count of samples
// at the same positions, each interpolated from the exact difference of its
// neighbours (64-bit product, rounded half up, saturated to 32 bits).
uint32_t ResampleBlockFull(ResamplerState& state, uint32_t n, const Q28* input, Q28* output, uint32_t capacity);

// Room ResampleBlock needs for n input samples between two rates.
uint32_t ResampledCapacity(uint32_t n, int32_t from, int32_t to);

}  // namespace quorvel
