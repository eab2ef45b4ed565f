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

QUORVEL_TARGET_AVX2 inline __m256i Load(const void* p) { return _mm256_load_si256(static_cast<const __m256i*>(p)); }

}  // namespace

QUORVEL_TARGET_AVX2 void RequantRowsFullAvx2(Q28* rows, int rowCount, const FullRequantTerm terms[32]) {
  // Per group of eight subbands: the high halves by subband, the low halves
  // of the even and of the odd subbands in 64-bit lanes.
  alignas(32) int32_t mh[32], ah[32];
  alignas(32) uint64_t mlEven[16], mlOdd[16], alEven[16], alOdd[16];
  for (int sb = 0; sb < 32; ++sb) {
    const uint64_t mul = static_cast<uint64_t>(terms[sb].mul), add = static_cast<uint64_t>(terms[sb].add);
    mh[sb] = static_cast<int32_t>(mul >> 32);
    ah[sb] = static_cast<int32_t>(add >> 32);
    const int lane = sb / 8 * 4 + (sb % 8) / 2;
    (sb % 2 ? mlOdd : mlEven)[lane] = mul & 0xFFFFFFFFu;
    (sb % 2 ? alOdd : alEven)[lane] = add & 0xFFFFFFFFu;
  }
  for (int r = 0; r < rowCount; ++r, rows += 32) {
    for (int g = 0; g < 4; ++g) {
      __m256i* at = reinterpret_cast<__m256i*>(rows + 8 * g);
      const __m256i code = _mm256_loadu_si256(at);
      const __m256i even = _mm256_add_epi64(_mm256_mul_epu32(code, Load(mlEven + 4 * g)), Load(alEven + 4 * g));
      const __m256i odd =
          _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(code, 32), Load(mlOdd + 4 * g)), Load(alOdd + 4 * g));
      const __m256i carry = _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
      const __m256i high = _mm256_add_epi32(_mm256_mullo_epi32(code, Load(mh + 8 * g)), Load(ah + 8 * g));
      _mm256_storeu_si256(at, _mm256_add_epi32(high, carry));
    }
  }
}

}  // namespace quorvel
#endif
