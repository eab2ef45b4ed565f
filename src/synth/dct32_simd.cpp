// The DCT of several slots at once, one slot per lane: the same sums,
// products and rounding shifts as Dct32Values, in the same order, on vectors
// of 4 or 8 unsigned 32-bit lanes (so every sum and product wraps modulo
// 2^32), with the arithmetic shift of the rounding taken on the signed view.
//
// The transform body is written once on the compiler's vector types and
// forced inline into each kernel, which gives it the kernel's instruction
// set. The slots arrive slot by slot; transposing 8 x 8 (or 4 x 4) blocks
// puts each subband's values of all lanes into one vector.
#include <cstring>

#include "cpu.h"
#include "fixed.h"
#include "synth/dct32.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>

#include "simd_target.h"
#include "synth/synthesis_x86.h"
#endif
#if QUORVEL_HAVE_NEON_KERNELS
#include <arm_neon.h>

#include "simd_target.h"
#include "synth/synthesis_arm.h"
#endif

#if QUORVEL_HAVE_X86_KERNELS || QUORVEL_HAVE_NEON_KERNELS

namespace quorvel {
namespace {

using U4 = uint32_t __attribute__((vector_size(16)));
using S4 = int32_t __attribute__((vector_size(16)));
using U8 = uint32_t __attribute__((vector_size(32)));
using S8 = int32_t __attribute__((vector_size(32)));

template <class U>
struct SignedLanes;
template <>
struct SignedLanes<U4> {
  using type = S4;
};
template <>
struct SignedLanes<U8> {
  using type = S8;
};

// R(v) = RoundShift12(v) lane by lane: the bias added modulo 2^32, the shift
// arithmetic. A macro, not a function: a function taking or returning 8-lane
// vectors outside a target region would change the ABI.
#define QUORVEL_ROUND12(U, v) \
  ((U)(((typename SignedLanes<U>::type)((v) + static_cast<uint32_t>(RoundingBias(12)))) >> 12))

// T_N of Dct32Values on lanes: x[0..N-1] to y[0..N-1].
template <class U, int N>
__attribute__((always_inline)) inline void TransformLanes(const U* x, U* y) {
  if constexpr (N == 1) {
    y[0] = x[0];
  } else {
    constexpr int H = N / 2;
    const int32_t* c = DctCosTable<N>();
    U g[H], h[H], e[H], o[H];
    for (int n = 0; n < H; ++n) {
      g[n] = x[n] + x[N - 1 - n];
      h[n] = QUORVEL_ROUND12(U, x[n] - x[N - 1 - n]) * static_cast<uint32_t>(c[n]);
    }
    TransformLanes<U, H>(g, e);
    TransformLanes<U, H>(h, o);
    for (int m = 0; m < H; ++m) y[2 * m] = e[m];
    y[1] = o[0];
    for (int m = 1; m < H; ++m) y[2 * m + 1] = o[m] + o[m] - y[2 * m - 1];
  }
}

// in[k] holds subband k of every lane; out[m] = R(T_32)[m] of every lane.
template <class U>
__attribute__((always_inline)) inline void Dct32OnLanes(const U* in, U* out) {
  U y[32];
  TransformLanes<U, 32>(in, y);
  for (int m = 0; m < 32; ++m) out[m] = QUORVEL_ROUND12(U, y[m]);
}

// Up to eight slots of 32 samples, padded with zero slots to eight. The
// caller's array may end right after its last slot.
struct PaddedSlots {
  alignas(32) Q28 samples[8][32];
  const Q28* Fill(const Q28* slots, int count) {
    if (count >= 8) return slots;
    std::memcpy(samples, slots, sizeof(samples[0]) * static_cast<size_t>(count));
    for (int j = count; j < 8; ++j) {
      for (int k = 0; k < 32; ++k) samples[j][k] = 0;
    }
    return samples[0];
  }
};

}  // namespace
}  // namespace quorvel

#endif

#if QUORVEL_HAVE_X86_KERNELS

namespace quorvel {

QUORVEL_TARGET_SSE41 void Dct32LanesSse41(const Q28* slots, int count, int32_t* rows, int stride) {
  PaddedSlots padded;
  slots = padded.Fill(slots, count);
  for (int half = 0; half < (count > 4 ? 2 : 1); ++half) {
    const Q28* from = slots + 4 * 32 * half;
    U4 in[32], x[32];
    for (int k = 0; k < 32; k += 4) {
      // 4 x 4 transpose: rows are slots, columns subbands k..k+3.
      const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k));
      const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 32 + k));
      const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 64 + k));
      const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 96 + k));
      const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpackhi_epi32(r0, r1);
      const __m128i t2 = _mm_unpacklo_epi32(r2, r3), t3 = _mm_unpackhi_epi32(r2, r3);
      in[k] = reinterpret_cast<U4>(_mm_unpacklo_epi64(t0, t2));
      in[k + 1] = reinterpret_cast<U4>(_mm_unpackhi_epi64(t0, t2));
      in[k + 2] = reinterpret_cast<U4>(_mm_unpacklo_epi64(t1, t3));
      in[k + 3] = reinterpret_cast<U4>(_mm_unpackhi_epi64(t1, t3));
    }
    Dct32OnLanes(in, x);
    for (int m = 0; m < 32; ++m) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + m * stride + 4 * half), reinterpret_cast<__m128i>(x[m]));
    }
  }
}

QUORVEL_TARGET_AVX2 void Dct32LanesAvx2(const Q28* slots, int count, int32_t* rows, int stride) {
  PaddedSlots padded;
  slots = padded.Fill(slots, count);
  U8 in[32], x[32];
  for (int k = 0; k < 32; k += 8) {
    // 8 x 8 transpose: rows are slots, columns subbands k..k+7.
    __m256i r[8];
    for (int j = 0; j < 8; ++j) r[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(slots + 32 * j + k));
    __m256i t[8], u[8];
    for (int j = 0; j < 8; j += 2) {
      t[j] = _mm256_unpacklo_epi32(r[j], r[j + 1]);
      t[j + 1] = _mm256_unpackhi_epi32(r[j], r[j + 1]);
    }
    for (int j = 0; j < 8; j += 4) {
      u[j] = _mm256_unpacklo_epi64(t[j], t[j + 2]);
      u[j + 1] = _mm256_unpackhi_epi64(t[j], t[j + 2]);
      u[j + 2] = _mm256_unpacklo_epi64(t[j + 1], t[j + 3]);
      u[j + 3] = _mm256_unpackhi_epi64(t[j + 1], t[j + 3]);
    }
    for (int j = 0; j < 4; ++j) {
      in[k + j] = reinterpret_cast<U8>(_mm256_permute2x128_si256(u[j], u[j + 4], 0x20));
      in[k + j + 4] = reinterpret_cast<U8>(_mm256_permute2x128_si256(u[j], u[j + 4], 0x31));
    }
  }
  Dct32OnLanes(in, x);
  for (int m = 0; m < 32; ++m) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + m * stride), reinterpret_cast<__m256i>(x[m]));
  }
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_X86_KERNELS

#if QUORVEL_HAVE_NEON_KERNELS

namespace quorvel {

QUORVEL_TARGET_NEON void Dct32LanesNeon(const Q28* slots, int count, int32_t* rows, int stride) {
  PaddedSlots padded;
  slots = padded.Fill(slots, count);
  for (int half = 0; half < (count > 4 ? 2 : 1); ++half) {
    const Q28* from = slots + 4 * 32 * half;
    U4 in[32], x[32];
    for (int k = 0; k < 32; k += 4) {
      // 4 x 4 transpose: rows are slots, columns subbands k..k+3.
      const uint32x4x2_t t01 = vtrnq_u32(vld1q_u32(reinterpret_cast<const uint32_t*>(from + k)),
                                         vld1q_u32(reinterpret_cast<const uint32_t*>(from + 32 + k)));
      const uint32x4x2_t t23 = vtrnq_u32(vld1q_u32(reinterpret_cast<const uint32_t*>(from + 64 + k)),
                                         vld1q_u32(reinterpret_cast<const uint32_t*>(from + 96 + k)));
      in[k] = (U4)vcombine_u32(vget_low_u32(t01.val[0]), vget_low_u32(t23.val[0]));
      in[k + 1] = (U4)vcombine_u32(vget_low_u32(t01.val[1]), vget_low_u32(t23.val[1]));
      in[k + 2] = (U4)vcombine_u32(vget_high_u32(t01.val[0]), vget_high_u32(t23.val[0]));
      in[k + 3] = (U4)vcombine_u32(vget_high_u32(t01.val[1]), vget_high_u32(t23.val[1]));
    }
    Dct32OnLanes(in, x);
    for (int m = 0; m < 32; ++m) vst1q_s32(rows + m * stride + 4 * half, vreinterpretq_s32_u32((uint32x4_t)x[m]));
  }
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_NEON_KERNELS
