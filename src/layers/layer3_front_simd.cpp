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
// magnitude goes through the plain kernel. A whole granule goes band after
// band in groups of eight lines from each band's start: a group that runs
// past its band writes lines that the next band writes again (or, after
// the last band, lines that are cleared), so only the groups at the end of
// the 576 lines need masks.
#include "cpu.h"
#include "layers/layer3_front.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>

#include <cstring>

#include "layers/layer3_front_x86.h"
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

// Bits of the lanes of `a` whose magnitude the row of small ones does not hold.
QUORVEL_TARGET_AVX2 inline uint32_t LargeLanes(__m256i a) {
  return static_cast<uint32_t>(
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(a, _mm256_set1_epi32(kSmallMagnitudes - 1)))));
}

// One band of a granule from the row of its exponent (see the top of the file).
QUORVEL_TARGET_AVX2 inline void RequantiseBandAvx2(const int32_t* is, int start, int end, int32_t q, const Q28* row,
                                                   Q28* xr) {
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
    uint32_t large = LargeLanes(a);
    if (large == 0) continue;
    if (end - i < 8) large &= (1u << (end - i)) - 1;  // lanes of the next band are its own
    for (; large; large &= large - 1) {
      const int k = i + __builtin_ctz(large);
      xr[k] = Requantise(is[k], q);
    }
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
