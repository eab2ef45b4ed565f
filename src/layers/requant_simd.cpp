// The requantisation kernel in 4 or 8 lanes: the same wrapping products and
// sums as RequantRowsPlain (the low half of a 32 x 32 product is exact modulo
// 2^32) and the same arithmetic shift.
#include "cpu.h"
#include "layers/requant.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>

#include "layers/requant_x86.h"
#include "simd_target.h"

namespace quorvel {

QUORVEL_TARGET_SSE41 void RequantRowsSse41(Q28* rows, int rowCount, const RequantParams& params) {
  __m128i offset[8], step[8], scale[8];
  for (int i = 0; i < 8; ++i) {
    offset[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(params.offset + 4 * i));
    step[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(params.step + 4 * i));
    scale[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(params.scale + 4 * i));
  }
  for (int r = 0; r < rowCount; ++r, rows += 32) {
    for (int i = 0; i < 8; ++i) {
      __m128i* p = reinterpret_cast<__m128i*>(rows + 4 * i);
      const __m128i code = _mm_loadu_si128(p);
      const __m128i signal = _mm_srai_epi32(_mm_add_epi32(offset[i], _mm_mullo_epi32(step[i], code)), kSignalShift);
      _mm_storeu_si128(p, _mm_mullo_epi32(scale[i], signal));
    }
  }
}

QUORVEL_TARGET_AVX2 void RequantRowsAvx2(Q28* rows, int rowCount, const RequantParams& params) {
  __m256i offset[4], step[4], scale[4];
  for (int i = 0; i < 4; ++i) {
    offset[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(params.offset + 8 * i));
    step[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(params.step + 8 * i));
    scale[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(params.scale + 8 * i));
  }
  for (int r = 0; r < rowCount; ++r, rows += 32) {
    for (int i = 0; i < 4; ++i) {
      __m256i* p = reinterpret_cast<__m256i*>(rows + 8 * i);
      const __m256i code = _mm256_loadu_si256(p);
      const __m256i signal =
          _mm256_srai_epi32(_mm256_add_epi32(offset[i], _mm256_mullo_epi32(step[i], code)), kSignalShift);
      _mm256_storeu_si256(p, _mm256_mullo_epi32(scale[i], signal));
    }
  }
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_X86_KERNELS

#if QUORVEL_HAVE_NEON_KERNELS
#include <arm_neon.h>

#include "layers/requant_arm.h"
#include "simd_target.h"

namespace quorvel {

QUORVEL_TARGET_NEON void RequantRowsNeon(Q28* rows, int rowCount, const RequantParams& params) {
  for (int r = 0; r < rowCount; ++r, rows += 32) {
    for (int i = 0; i < 32; i += 4) {
      const int32x4_t code = vld1q_s32(rows + i);
      const int32x4_t sum = vmlaq_s32(vld1q_s32(params.offset + i), vld1q_s32(params.step + i), code);
      vst1q_s32(rows + i, vmulq_s32(vld1q_s32(params.scale + i), vshrq_n_s32(sum, kSignalShift)));
    }
  }
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_NEON_KERNELS
