// The Layer III front-end kernels in 4 or 8 lanes (see layer3_front.h).
//
// Mid/side: while |m| and |s| stay below 2^30, m + s and m - s fit 32 bits,
// their products with 2^-1/2 in Q31 fit 62, and the rounded results stay
// below 2^30.5 in magnitude, so no saturation can happen and the low 32 bits
// of the logical shift are those of the arithmetic one. A group of lanes
// with a larger value goes through the plain kernel.
//
// Requantisation: the 16 values of a row of small magnitudes sit in two
// registers and are picked by permutation; a group of lanes with a larger
// magnitude goes through the plain kernel (one band) or the definition in
// eight lanes (a whole granule). A whole granule goes band after
// band in groups of eight lines from each band's start: a group that runs
// past its band writes lines that the next band writes again (or, after
// the last band, lines that are cleared), so only the groups at the end of
// the 576 lines need masks.
#include "cpu.h"
#include "layers/layer3_front.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "layers/layer3_front_x86.h"
#include "layers/layer3_tables.h"
#include "simd_target.h"

namespace quorvel {
namespace {

// Whether every lane of m and s lies in [-2^30, 2^30): v + 2^30 keeps its
// sign bit clear exactly then.
QUORVEL_TARGET_SSE41 inline bool SmallLanes(__m128i m, __m128i s) {
  const __m128i bias = _mm_set1_epi32(1 << 30);
  const __m128i out = _mm_or_si128(_mm_add_epi32(m, bias), _mm_add_epi32(s, bias));
  return _mm_movemask_ps(_mm_castsi128_ps(out)) == 0;
}

// round(v * 2^-1/2) per lane, Q31 factor, for |v| <= 2^31.
QUORVEL_TARGET_SSE41 inline __m128i MulInvSqrt2(__m128i v) {
  const __m128i k = _mm_set1_epi64x(kInvSqrt2Q31);
  const __m128i round = _mm_set1_epi64x(int64_t{1} << 30);
  const __m128i even = _mm_add_epi64(_mm_mul_epi32(v, k), round);
  const __m128i odd = _mm_add_epi64(_mm_mul_epi32(_mm_srli_epi64(v, 32), k), round);
  // Bits 31..62 of each sum: the even lanes' to the low half, the odd ones' to the high.
  return _mm_blend_epi16(_mm_srli_epi64(even, 31), _mm_slli_epi64(odd, 1), 0xCC);
}

QUORVEL_TARGET_AVX2 inline bool SmallLanes(__m256i m, __m256i s) {
  const __m256i bias = _mm256_set1_epi32(1 << 30);
  const __m256i out = _mm256_or_si256(_mm256_add_epi32(m, bias), _mm256_add_epi32(s, bias));
  return _mm256_movemask_ps(_mm256_castsi256_ps(out)) == 0;
}

QUORVEL_TARGET_AVX2 inline __m256i MulInvSqrt2(__m256i v) {
  const __m256i k = _mm256_set1_epi64x(kInvSqrt2Q31);
  const __m256i round = _mm256_set1_epi64x(int64_t{1} << 30);
  const __m256i even = _mm256_add_epi64(_mm256_mul_epi32(v, k), round);
  const __m256i odd = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(v, 32), k), round);
  return _mm256_blend_epi32(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1), 0xAA);
}

// The values of one group of eight lines from `a` = |v| (below 16 where the
// row applies) with v's sign. Row values are at most 2^31 - 1, so negating
// them cannot overflow; permutevar8x32 looks at the low three bits of each
// index.
QUORVEL_TARGET_AVX2 inline __m256i SmallRequantLanes(__m256i v, __m256i a, __m256i low, __m256i high) {
  const __m256i value = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(low, a), _mm256_permutevar8x32_epi32(high, a),
                                           _mm256_cmpgt_epi32(a, _mm256_set1_epi32(7)));
  return _mm256_sign_epi32(value, v);
}

// What Requantise(v, q) does per lane, for |v| from 16 on: with x = |v|
// (at most kPow43Limit), the product of x^(4/3)'s mantissa and 2^(q/4)'s
// fraction (below 2^62) shifted right by 32 - E(x) - floor(q / 4) with
// rounding, 2^31 - 1 at most, and v's sign.
struct LargeRequant {
  __m256i quarter;  // kQuarterPowerQ30[q & 3] in every 64-bit lane
  __m256i whole;    // floor(q / 4) in every lane
};

QUORVEL_TARGET_AVX2 inline LargeRequant LargeRequantFor(int32_t q) {
  return LargeRequant{_mm256_set1_epi64x(kQuarterPowerQ30[q & 3]), _mm256_set1_epi32(q >> 2)};
}

// Four 64-bit lanes of the definition: product >> shift rounded, at most
// 2^31 - 1; a shift from 64 on gives 0 (both variable shifts give 0 there).
QUORVEL_TARGET_AVX2 inline __m256i RoundedShift(__m256i product, __m256i shift) {
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i round = _mm256_sllv_epi64(one, _mm256_sub_epi64(shift, one));
  const __m256i m = _mm256_srlv_epi64(_mm256_add_epi64(product, round), shift);
  const __m256i largest = _mm256_set1_epi64x(0x7FFFFFFF);
  return _mm256_blendv_epi8(m, largest, _mm256_cmpgt_epi64(m, largest));
}

QUORVEL_TARGET_AVX2 inline __m256i LargeRequantLanes(__m256i v, __m256i a, const LargeRequant& large) {
  // Magnitudes clamped to [16, kPow43Limit] for the lookups: lanes below 16
  // are not used, and the exponent's byte is read as the top byte of the
  // four ending at it (all within the table from 3 on).
  const __m256i x = _mm256_max_epi32(_mm256_min_epi32(a, _mm256_set1_epi32(kPow43Limit)),
                                     _mm256_set1_epi32(kSmallMagnitudes));
  const __m256i mantissa = _mm256_i32gather_epi32(reinterpret_cast<const int*>(kPow43Mantissa), x, 4);
  const __m256i exponent = _mm256_srai_epi32(
      _mm256_i32gather_epi32(reinterpret_cast<const int*>(kPow43Exponent), _mm256_sub_epi32(x, _mm256_set1_epi32(3)), 1),
      24);
  const __m256i shift = _mm256_sub_epi32(_mm256_sub_epi32(_mm256_set1_epi32(32), exponent), large.whole);
  // Shifts of at most 29 leave at least 2^31: saturated. Others are
  // positive, so their 64-bit lanes are the 32-bit ones zero-extended.
  const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF);
  const __m256i even = RoundedShift(_mm256_mul_epu32(mantissa, large.quarter), _mm256_and_si256(shift, low32));
  const __m256i odd =
      RoundedShift(_mm256_mul_epu32(_mm256_srli_epi64(mantissa, 32), large.quarter), _mm256_srli_epi64(shift, 32));
  __m256i m = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
  m = _mm256_blendv_epi8(m, _mm256_set1_epi32(0x7FFFFFFF), _mm256_cmpgt_epi32(_mm256_set1_epi32(30), shift));
  return _mm256_sign_epi32(m, v);
}

QUORVEL_TARGET_AVX2 inline void RequantiseBandAvx2(const int32_t* is, int start, int end, int32_t q, const Q28* row,
                                                   Q28* xr) {
  const LargeRequant large = LargeRequantFor(q);
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 8));
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (int i = start; i < end; i += 8) {
    __m256i v, a;
    if (i + 8 <= kGranuleLines) {
      v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(is + i));
      a = _mm256_abs_epi32(v);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(xr + i), SmallRequantLanes(v, a, low, high));
    } else {
      const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(kGranuleLines - i), lanes);
      v = _mm256_maskload_epi32(is + i, mask);
      a = _mm256_abs_epi32(v);
      _mm256_maskstore_epi32(xr + i, mask, SmallRequantLanes(v, a, low, high));
    }
    const __m256i largeMask = _mm256_cmpgt_epi32(a, _mm256_set1_epi32(kSmallMagnitudes - 1));
    if (_mm256_testz_si256(largeMask, largeMask)) continue;
    // Lanes of the next band are its own; lanes past kGranuleLines are not written.
    const int valid = std::min(end, kGranuleLines) - i;
    const __m256i writable = _mm256_and_si256(largeMask, _mm256_cmpgt_epi32(_mm256_set1_epi32(valid), lanes));
    _mm256_maskstore_epi32(xr + i, writable, LargeRequantLanes(v, a, large));
  }
}

}  // namespace

QUORVEL_TARGET_SSE41 void MidSideSse41(Q28* left, Q28* right, int count) {
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + i));
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + i));
    if (!SmallLanes(m, s)) {
      MidSidePlain(left + i, right + i, 4);
      continue;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(left + i), MulInvSqrt2(_mm_add_epi32(m, s)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(right + i), MulInvSqrt2(_mm_sub_epi32(m, s)));
  }
  MidSidePlain(left + i, right + i, count - i);
}

QUORVEL_TARGET_AVX2 void MidSideAvx2(Q28* left, Q28* right, int count) {
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(left + i));
    const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right + i));
    if (!SmallLanes(m, s)) {
      MidSidePlain(left + i, right + i, 8);
      continue;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(left + i), MulInvSqrt2(_mm256_add_epi32(m, s)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(right + i), MulInvSqrt2(_mm256_sub_epi32(m, s)));
  }
  MidSidePlain(left + i, right + i, count - i);
}

QUORVEL_TARGET_AVX2 void RequantiseAvx2(const int32_t* is, int count, int32_t q, Q28* xr) {
  const Q28* row = SmallRequantRow(q);
  if (!row) {
    RequantisePlain(is, count, q, xr);
    return;
  }
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 8));
  const __m256i seven = _mm256_set1_epi32(7);
  const __m256i fifteen = _mm256_set1_epi32(15);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (int i = 0; i < count; i += 8) {
    // The last group loads and stores only the lanes below count.
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(count - i), lanes);
    const __m256i v = _mm256_maskload_epi32(is + i, mask);
    const __m256i a = _mm256_abs_epi32(v);
    // permutevar8x32 looks at the low three bits of each index. Row values
    // are at most 2^31 - 1, so negating them cannot overflow.
    const __m256i value = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(low, a), _mm256_permutevar8x32_epi32(high, a),
                                             _mm256_cmpgt_epi32(a, seven));
    _mm256_maskstore_epi32(xr + i, mask, _mm256_sign_epi32(value, v));
    // Larger magnitudes (masked-off lanes loaded as 0) from the definition.
    for (auto big = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(a, fifteen)))); big;
         big &= big - 1) {
      const int k = i + __builtin_ctz(big);
      xr[k] = Requantise(is[k], q);
    }
  }
}

QUORVEL_TARGET_AVX2 void RequantiseGranuleAvx2(const int32_t* is, const RequantBand* bands, int count, Q28* xr) {
  int line = 0;
  for (int b = 0; b < count; ++b) {
    const RequantBand& band = bands[b];
    const Q28* row = SmallRequantRow(band.q);
    if (row) {
      RequantiseBandAvx2(is, band.start, band.end, band.q, row, xr);
    } else {
      RequantisePlain(is + band.start, band.end - band.start, band.q, xr + band.start);
    }
    line = band.end;
  }
  std::memset(xr + line, 0, static_cast<size_t>(kGranuleLines - line) * sizeof *xr);
}

}  // namespace quorvel
#endif
