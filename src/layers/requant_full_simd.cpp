// The full tier's requantisation in AVX2, eight subbands at a time. With
// mul = mh 2^32 + ml and add = ah 2^32 + al (ml, al the unsigned low
// halves), the high half of code * mul + add modulo 2^64 is
//   code * mh + ah + ((code * ml + al) >> 32)   modulo 2^32,
// where code * ml + al fits 64 bits for every code below 2^31: vpmuludq
// forms it, vpmulld the rest. The same bits as RequantRowsFull for every
// non-negative code; tests/full_tier_test.cpp checks it.
#include "layers/requant_x86.h"
#include "simd_target.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>

namespace quorvel {

namespace {

QUORVEL_TARGET_AVX2 inline __m256i Load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// [a0 a1 a2 a3] and [b0 b1 b2 b3] (64-bit) to [a0 a2 b0 b2] and [a1 a3 b1 b3].
QUORVEL_TARGET_AVX2 inline void Deinterleave(__m256i a, __m256i b, __m256i& even, __m256i& odd) {
  even = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), _MM_SHUFFLE(3, 1, 2, 0));
  odd = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(a, b), _MM_SHUFFLE(3, 1, 2, 0));
}

// The high halves of the eight 64-bit values of a and b, in order.
QUORVEL_TARGET_AVX2 inline __m256i HighHalves(__m256i a, __m256i b) {
  const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1));
  return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
}

}  // namespace

QUORVEL_TARGET_AVX2 void RequantRowsFullAvx2(Q28* rows, int rowCount, const FullRequantTerm terms[32]) {
  static_assert(sizeof(FullRequantTerm) == 16, "terms are read as pairs of 64-bit values");
  const __m256i lowHalf = _mm256_set1_epi64x(0xFFFFFFFF);
  for (int g = 0; g < 4; ++g) {
    // Terms 8g..8g+7 as [mul add mul add] pairs, to the multipliers and the
    // addends of subbands 0..3 and 4..7 of the group.
    __m256i pairs[4];
    for (int i = 0; i < 4; ++i) pairs[i] = Load(&terms[8 * g + 2 * i]);
    __m256i mul[2], add[2];
    for (int h = 0; h < 2; ++h) {
      const __m256i a = _mm256_permute4x64_epi64(pairs[2 * h], _MM_SHUFFLE(3, 1, 2, 0));      // m a m a -> m m a a
      const __m256i b = _mm256_permute4x64_epi64(pairs[2 * h + 1], _MM_SHUFFLE(3, 1, 2, 0));
      mul[h] = _mm256_permute2x128_si256(a, b, 0x20);
      add[h] = _mm256_permute2x128_si256(a, b, 0x31);
    }
    // The high halves by subband; the low halves of the even and of the odd
    // subbands in 64-bit lanes (vpmuludq reads only the low halves of the
    // multipliers; the addends' are cleared).
    const __m256i mh = HighHalves(mul[0], mul[1]), ah = HighHalves(add[0], add[1]);
    __m256i mlEven, mlOdd, alEven, alOdd;
    Deinterleave(mul[0], mul[1], mlEven, mlOdd);
    Deinterleave(add[0], add[1], alEven, alOdd);
    alEven = _mm256_and_si256(alEven, lowHalf);
    alOdd = _mm256_and_si256(alOdd, lowHalf);
    Q28* at = rows + 8 * g;
    for (int r = 0; r < rowCount; ++r, at += 32) {
      const __m256i code = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
      const __m256i even = _mm256_add_epi64(_mm256_mul_epu32(code, mlEven), alEven);
      const __m256i odd = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(code, 32), mlOdd), alOdd);
      const __m256i carry = _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
      const __m256i high = _mm256_add_epi32(_mm256_mullo_epi32(code, mh), ah);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_add_epi32(high, carry));
    }
  }
}

}  // namespace quorvel
#endif
