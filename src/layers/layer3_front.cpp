// The plain Layer III front-end kernels and their table (see layer3_front.h).
#include "layers/layer3_front.h"

#include <cstring>

#include "layers/layer3_tables.h"

#if QUORVEL_HAVE_X86_KERNELS
#include "layers/layer3_front_x86.h"
#endif

namespace quorvel {
namespace {

inline Q28 RequantiseInline(int32_t v, int32_t q) {
  if (v == 0) return 0;
  const uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v);
  const uint32_t x = a > kPow43Limit ? kPow43Limit : a;
  const int32_t whole = q >> 2;  // floor
  const int32_t fraction = q & 3;
  const uint64_t product = uint64_t{kPow43Mantissa[x]} * static_cast<uint64_t>(kQuarterPowerQ30[fraction]);
  // value = product * 2^(E + whole - 60), in Q28: product >> (32 - E - whole)
  const int32_t shift = 32 - kPow43Exponent[x] - whole;
  uint64_t m;
  if (shift >= 64) return 0;
  if (shift <= 29) {
    m = 0x7FFFFFFF;  // product >= 2^60: at least 2^31
  } else {
    m = (product + (uint64_t{1} << (shift - 1))) >> shift;
    if (m > 0x7FFFFFFF) m = 0x7FFFFFFF;
  }
  const Q28 r = static_cast<Q28>(m);
  return v < 0 ? -r : r;
}

// Built during static initialisation (the tables it reads are constant
// data), so that a lookup needs no guard.
SmallRequantRows BuildSmallRequant() {
  SmallRequantRows t{};
  for (int32_t q = kSmallLowestQ; q <= kSmallHighestQ; ++q) {
    for (int a = 0; a < kSmallMagnitudes; ++a) t.value[q - kSmallLowestQ][a] = RequantiseInline(a, q);
  }
  return t;
}

}  // namespace

const SmallRequantRows kSmallRequantRows = BuildSmallRequant();

Q28 Requantise(int32_t v, int32_t q) { return RequantiseInline(v, q); }

// Small magnitudes from the row of q, the others (and exponents outside the
// table) through the definition.
void RequantisePlain(const int32_t* is, int count, int32_t q, Q28* xr) {
  const Q28* row = SmallRequantRow(q);
  if (!row) {
    for (int i = 0; i < count; ++i) xr[i] = RequantiseInline(is[i], q);
    return;
  }
  for (int i = 0; i < count; ++i) {
    const int32_t v = is[i];
    const int32_t sign = v >> 31;                                 // 0 or -1
    const uint32_t a = static_cast<uint32_t>((v ^ sign) - sign);  // |v| <= 8206
    if (a < kSmallMagnitudes) {
      xr[i] = (row[a] ^ sign) - sign;  // row[a] <= 2^31 - 1: its negation fits
    } else {
      xr[i] = RequantiseInline(v, q);
    }
  }
}

void RequantiseGranulePlain(const int32_t* is, const RequantBand* bands, int count, Q28* xr) {
  int line = 0;
  for (int b = 0; b < count; ++b) {
    RequantisePlain(is + bands[b].start, bands[b].end - bands[b].start, bands[b].q, xr + bands[b].start);
    line = bands[b].end;
  }
  std::memset(xr + line, 0, static_cast<size_t>(kGranuleLines - line) * sizeof *xr);
}

void MidSidePlain(Q28* left, Q28* right, int count) {
  for (int i = 0; i < count; ++i) {
    const int64_t m = left[i], s = right[i];
    left[i] = MidSideSum(m, s);
    right[i] = MidSideSum(m, -s);
  }
}

const Layer3FrontKernels& Layer3FrontKernelsFor(KernelLevel level) {
  return KernelTableFor(level, Layer3FrontKernels{RequantisePlain, RequantiseGranulePlain, MidSidePlain});
}

}  // namespace quorvel
