// Fixed-point 32-point DCT-II, the matrixing step of the synthesis.
//
// Input: 32 Q28 subband samples. Output: X[m] ~ sum_k S[k] cos(m (2k+1) pi / 64)
// in Q16. Cosine constants are Q12; every product is R(v) * C with
// R(v) = (v + 2048) >> 12, so products keep the input's scale. All sums and
// products wrap modulo 2^32; precision is lost only in the 80 operand
// reductions and the 32 final ones.
#pragma once

#include <cstdint>

#include "fixed.h"

namespace quorvel {

// C_N[n] = 4096 cos((2n + 1) pi / (2N)), rounded to nearest (no value is a tie).
inline constexpr int32_t DctCos32[16] = {4091, 4052, 3973, 3857, 3703, 3513, 3290, 3035,
                                         2751, 2440, 2106, 1751, 1380, 995,  601,  201};
inline constexpr int32_t DctCos16[8] = {4076, 3920, 3612, 3166, 2598, 1931, 1189, 401};
inline constexpr int32_t DctCos8[4] = {4017, 3406, 2276, 799};
inline constexpr int32_t DctCos4[2] = {3784, 1567};
inline constexpr int32_t DctCos2[1] = {2896};

// One parity of a channel's history: [row][column].
using HistoryPlane = int32_t[16][8];

// Transforms one slot and stores it as column `column` of both planes:
// upper[r][column] = X[16 + r], lower[r][column] = X[15 - r].
void Dct32(const Q28* slotSamples, int column, HistoryPlane& upper, HistoryPlane& lower);

// The 32 results X[0..31] in Q16, in order (for tests and benchmarks).
void Dct32Values(const Q28* slotSamples, int32_t out[32]);

}  // namespace quorvel
