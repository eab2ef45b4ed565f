// The long IMDCT's 18-point transform as a direct sum: the reference for the
// decoder's fast transform.
#pragma once

#include <cstdint>

#include "layers/layer3_tables.h"

namespace quorvel::reference {

// z[m] = sum_k x[k] cos(pi / 72 (2m + 1)(2k + 1)), Q28: exact Q56 sums of
// the Q28 cosines, rounded once. The table holds the rows of the 36-point
// IMDCT that the transform's outputs make: rows 0..8 are z[9..17], rows
// 18..26 are -z[8..0].
inline void Dct4Of18Direct(const int32_t* x, int64_t* z) {
  for (int j = 0; j < 18; ++j) {
    int64_t sum = 0;
    for (int k = 0; k < 18; ++k) sum += int64_t{x[k]} * kImdctCosQ28[j][k];
    const int64_t rounded = (sum + (int64_t{1} << 27)) >> 28;
    if (j < 9) {
      z[9 + j] = rounded;
    } else {
      z[17 - j] = -rounded;
    }
  }
}

}  // namespace quorvel::reference
