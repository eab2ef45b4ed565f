// Fixed-point 32-point DCT-II, the matrixing step of the synthesis.
//
// Input: 32 Q28 subband samples. Output: X[m] ~ sum_k S[k] cos(m (2k+1) pi / 64)
// in Q16. Cosine constants are Q12; every product is R(v) * C with
// R(v) = RoundShift12(v) = (v + 2048) >> 12, so products keep the input's
// scale. All sums and products wrap modulo 2^32; precision is lost only in the
// 80 operand reductions and the 32 final ones.
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

// C_N of the transform T_N (N = 2..32).
template <int N>
constexpr const int32_t* DctCosTable() {
  if constexpr (N == 32) return DctCos32;
  if constexpr (N == 16) return DctCos16;
  if constexpr (N == 8) return DctCos8;
  if constexpr (N == 4) return DctCos4;
  return DctCos2;
}

// The 32 results X[0..31] in Q16, in order.
void Dct32Values(const Q28* slotSamples, int32_t out[32]);

// The DCT results of up to eight consecutive slots, one row per result and
// one lane per slot: rows[m * stride + j] = X[m] of slot j (Q16), for all
// lanes j below `count`. Lanes from `count` on (up to lane 7) may be left as
// they were or receive unspecified values. A stride of 8 fills DctLanes; the
// synthesis passes the rows of its history.
using DctLanes = int32_t[32][8];

// Dct32Values of `count` (1..8) consecutive slots of 32 samples each into
// rows (see above): the plain version of the synthesis kernel dct32Lanes.
void Dct32LanesPlain(const Q28* slots, int count, int32_t* rows, int stride);

}  // namespace quorvel
