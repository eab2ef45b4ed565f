// The kernels of Layer III's front end, chosen by the kernel level: the
// requantisation of Huffman values and mid/side stereo, both in the
// spectrum's Q28 (see layer3.h). Plain versions here, SSE4.1 and AVX2 ones
// in layer3_front_simd.cpp (layer3_front_x86.h); every version gives the
// same bits.
#pragma once

#include <cstdint>

#include "cpu.h"
#include "fixed.h"

namespace quorvel {

// |v|^(4/3) * 2^(q/4) in Q28 with v's sign, rounded to nearest, saturated:
// the definition every requantisation kernel follows.
Q28 Requantise(int32_t v, int32_t q);

// Requantise(a, q) for a = 0..kSmallMagnitudes-1 and the exponents where one
// of them can be non-zero (a^(4/3) 2^(q/4) < 2^5.3 2^(q/4) rounds to zero
// in Q28 below q = -140; global_gain - 210 keeps q at most 45), built once
// from Requantise itself; nullptr for other q.
constexpr int kSmallMagnitudes = 16;
constexpr int32_t kSmallLowestQ = -140;
constexpr int32_t kSmallHighestQ = 45;
struct SmallRequantRows {
  Q28 value[kSmallHighestQ - kSmallLowestQ + 1][kSmallMagnitudes];
};
extern const SmallRequantRows kSmallRequantRows;
inline const Q28* SmallRequantRow(int32_t q) {
  if (q < kSmallLowestQ || q > kSmallHighestQ) return nullptr;
  return kSmallRequantRows.value[q - kSmallLowestQ];
}

// The lines of a granule's spectrum in one band (or one window of a short
// band) and the exponent they are requantised with.
struct RequantBand {
  int32_t start;
  int32_t end;
  int32_t q;
};
constexpr int kGranuleLines = 576;
constexpr int kMaxRequantBands = 13 * 3;  // every short band in three windows

// m / sqrt(2) +- s / sqrt(2) with the Q31 factor 1518500250, rounded half up
// and saturated: the definition of one mid/side line.
constexpr int64_t kInvSqrt2Q31 = 1518500250;
inline Q28 MidSideSum(int64_t mid, int64_t side) {
  const int64_t v = ((mid + side) * kInvSqrt2Q31 + (int64_t{1} << 30)) >> 31;
  return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

struct Layer3FrontKernels {
  // xr[i] = Requantise(is[i], q) for i < count; |is[i]| <= 8206.
  void (*requantise)(const int32_t* is, int count, int32_t q, Q28* xr);
  // A whole granule in one call: xr[line] = Requantise(is[line], band.q)
  // for the lines of bands[0..count), which follow each other from line 0
  // (each starts where the one before ends), and xr[line] = 0 from the
  // last band's end to kGranuleLines. Reads is[0..kGranuleLines) at most.
  void (*requantiseGranule)(const int32_t* is, const RequantBand* bands, int count, Q28* xr);
  // left[i], right[i] = MidSideSum(m, s), MidSideSum(m, -s) of m = left[i],
  // s = right[i], for i < count.
  void (*midSide)(Q28* left, Q28* right, int count);
};

void RequantisePlain(const int32_t* is, int count, int32_t q, Q28* xr);
void RequantiseGranulePlain(const int32_t* is, const RequantBand* bands, int count, Q28* xr);
void MidSidePlain(Q28* left, Q28* right, int count);

// The front-end kernels of `level` (the plain ones where it is not supported).
const Layer3FrontKernels& Layer3FrontKernelsFor(KernelLevel level);

}  // namespace quorvel
