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

// One parity of a channel's history: [row][column].
using HistoryPlane = int32_t[16][8];

// Transforms one slot and stores it as column `column` of both planes:
// upper[r][column] = X[16 + r], lower[r][column] = X[15 - r].
void Dct32(const Q28* slotSamples, int column, HistoryPlane& upper, HistoryPlane& lower);

// The 32 results X[0..31] in Q16, in order (for tests and benchmarks).
void Dct32Values(const Q28* slotSamples, int32_t out[32]);

}  // namespace quorvel
