// Requantisation of the full-accuracy tier, from the codes and the plan that
// the code decoders leave in the FrameState.
//
// A code c of a class with L levels stands for (2c - (L - 1)) / L (ISO/IEC
// 11172-3: Layer I's 2^nb / (2^nb - 1) (s''' + 2^(1 - nb)) and Layer II's
// C (s''' + D) are both this), times the scalefactor 2^(1 - i/3). With
// i = 3e + j, the factor 2^(-j/3) / L * 2^(1 - e) in Q28 is held as
// F = round(2^(-j/3) / L * 2^(61 - e)) (from a 62-bit mantissa of 2^(-j/3)),
// and the sample is
//   s = (c * 2F + 2^31 - (L - 1) F) >> 32          (Q28, rounded half up)
// exact up to the rounding of F, which moves no result by more than 2^-17 of
// its last bit. |(2c - (L - 1)) F| < (4/3) 2^61 for every code of nb bits, so
// nothing overflows 64 bits; the sums wrap on uint64_t all the same, so that
// a code outside its class (never stored by a code decoder) is harmless.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/frame.h"
#include "fixed.h"

namespace quorvel {

// 2^62 * 2^(-j/3) for j = 0, 1, 2, rounded to nearest (from 60-digit decimals).
inline constexpr uint64_t kCubeRootMantissa62[3] = {uint64_t{1} << 62, 3660297618499336453ull,
                                                    2905180145061270980ull};

// Levels of the plan's quantisation class q (1..17; see RequantPlan).
inline constexpr std::array<uint32_t, 18> kPlanLevels = {0,    3,    5,    7,     9,     15,    31,   63,  127,
                                                         255,  511,  1023, 2047,  4095,  8191,  16383, 32767, 65535};

// F for plan class q (1..17) and scalefactor index i (0..62); 0 for q = 0 or
// i = 63.
constexpr std::array<std::array<int64_t, 64>, 18> MakeFullRequantFactors() {
  std::array<std::array<int64_t, 64>, 18> table{};
  for (int q = 1; q <= 17; ++q) {
    for (int i = 0; i < 63; ++i) {
      const uint64_t denominator = static_cast<uint64_t>(kPlanLevels[q]) << (1 + i / 3);
      const uint64_t m = kCubeRootMantissa62[i % 3];
      table[q][i] = static_cast<int64_t>((m / denominator) + ((m % denominator) * 2 >= denominator ? 1 : 0));
    }
  }
  return table;
}
inline constexpr std::array<std::array<int64_t, 64>, 18> FullRequantFactor = MakeFullRequantFactors();

// The multiplier and addend of one subband: s = (code * mul + add) >> 32.
struct FullRequantTerm {
  int64_t mul;
  int64_t add;
};

constexpr FullRequantTerm MakeFullRequantTerm(int planClass, int scalefactor) {
  if (planClass == 0) return {0, 0};
  const int64_t f = FullRequantFactor[planClass][scalefactor];
  return {2 * f, (int64_t{1} << 31) - static_cast<int64_t>(kPlanLevels[planClass] - 1) * f};
}

// MakeFullRequantTerm of every plan class and scalefactor index.
inline constexpr std::array<std::array<FullRequantTerm, 64>, 18> kFullRequantTerms = [] {
  std::array<std::array<FullRequantTerm, 64>, 18> table{};
  for (int q = 0; q < 18; ++q) {
    for (int i = 0; i < 64; ++i) table[q][i] = MakeFullRequantTerm(q, i);
  }
  return table;
}();

constexpr Q28 RequantFullSample(FullRequantTerm t, int32_t code) {
  const uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(code)) * static_cast<uint64_t>(t.mul) +
                     static_cast<uint64_t>(t.add);
  return static_cast<Q28>(static_cast<int64_t>(v) >> 32);
}

// Rows of 32 codes to Q28 samples in place: row[sb] by terms[sb]. The plain
// version of the layer kernel requantRowsFull; every version gives the same
// bits for every code from 0 to 2^31 - 1.
void RequantRowsFull(Q28* rows, int rowCount, const FullRequantTerm terms[32]);

// frame.samples (the codes of a DecodeFrameCodes) to Q28 samples by
// frame.plan, in place.
void RequantFull(FrameState& frame);

}  // namespace quorvel
