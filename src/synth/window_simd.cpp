// Windowing of one slot in eight 32-bit lanes: the eight history columns of
// a parity times eight coefficients from WindowLanes, products and sums
// modulo 2^32 (the low half of the 32 x 32 product is exact modulo 2^32, and
// vector additions wrap), then horizontal sums of eight outputs at a time.
//
// Outputs are formed in four groups of eight so that each group reduces with
// one tree of horizontal additions: out[0..7] and out[8..15] from the front
// sums, out[16..23] from the negated output-16 sum and the back sums of rows
// 15 down to 9, out[24..31] from the back sums of rows 8 down to 1.
#include <cstring>

#include "cpu.h"
#include "synth/synthesis.h"
#include "synth/window_lanes.h"

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

namespace quorvel {

const WindowLanes& SynthesisWindowLanes() {
  static const WindowLanes lanes = [] {
    WindowLanes w{};
    for (int k = 0; k < 17; ++k) {
      for (int s = 0; s < 16; ++s) {
        for (int q = 0; q < 8; ++q) {
          w.rev[k][s][q] = SynthesisWindow[k][s + 2 * ((8 - q) & 7)];
          w.fwd[k][s][q] = SynthesisWindow[k][15 - s + 2 * q];
        }
      }
    }
    return w;
  }();
  return lanes;
}

namespace {

// The two history rows that row k of the window meets: X[16 + k] of the even
// ages and X[16 - k] of the odd ages.
inline const int32_t* EvenRow(const ChannelHistory& h, int own, int k) { return h.upper[own][k]; }
inline const int32_t* OddRow(const ChannelHistory& h, int other, int k) {
  return k == 0 ? h.upper[other][0] : h.lower[other][k - 1];
}

}  // namespace

#if QUORVEL_HAVE_X86_KERNELS

namespace {

QUORVEL_TARGET_SSE41 inline __m128i Load4(const int32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The 8-lane product sum of one window term as two 4-lane halves.
struct Half2 {
  __m128i lo, hi;
};

QUORVEL_TARGET_SSE41 inline Half2 Products(const int32_t* values, const int32_t* coefs) {
  return {_mm_mullo_epi32(Load4(values), Load4(coefs)), _mm_mullo_epi32(Load4(values + 4), Load4(coefs + 4))};
}

// values · rev / fwd coefficients of row k at start s, as 4 lanes (the two
// halves already added).
QUORVEL_TARGET_SSE41 inline __m128i Front(const int32_t* even, const int32_t* odd, const WindowLanes& w, int k, int e,
                                          int f) {
  const Half2 a = Products(even, w.rev[k][e]);
  const Half2 b = Products(odd, w.rev[k][f]);
  return _mm_sub_epi32(_mm_add_epi32(a.lo, a.hi), _mm_add_epi32(b.lo, b.hi));
}
QUORVEL_TARGET_SSE41 inline __m128i Back(const int32_t* even, const int32_t* odd, const WindowLanes& w, int k, int e,
                                         int f) {
  const Half2 a = Products(even, w.fwd[k][e]);
  const Half2 b = Products(odd, w.fwd[k][f]);
  return _mm_add_epi32(_mm_add_epi32(a.lo, a.hi), _mm_add_epi32(b.lo, b.hi));
}

// Four 4-lane partial sums to one vector of their four totals.
QUORVEL_TARGET_SSE41 inline __m128i Reduce4(__m128i v0, __m128i v1, __m128i v2, __m128i v3) {
  return _mm_hadd_epi32(_mm_hadd_epi32(v0, v1), _mm_hadd_epi32(v2, v3));
}

QUORVEL_TARGET_SSE41 inline void Store4(Q28* out, __m128i sums) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_srai_epi32(sums, 2));
}

}  // namespace

QUORVEL_TARGET_SSE41 void WindowSlotSse41(const ChannelHistory& h, int b, Q28 out[32]) {
  const WindowLanes& w = SynthesisWindowLanes();
  const int own = b & 1, other = own ^ 1;
  const int e = b & 14, f = ((b + 15) & 14) | 1;
  __m128i v[4];
  for (int base = 0; base < 16; base += 4) {
    for (int i = 0; i < 4; ++i) {
      const int k = base + i;
      v[i] = Front(EvenRow(h, own, k), OddRow(h, other, k), w, k, e, f);
    }
    Store4(out + base, Reduce4(v[0], v[1], v[2], v[3]));
  }
  // out[16] = -(odd-age sum of row 16), out[17..31] = back sums of rows 15..1.
  {
    const Half2 p = Products(h.lower[other][15], w.rev[16][f]);
    v[0] = _mm_sub_epi32(_mm_setzero_si128(), _mm_add_epi32(p.lo, p.hi));
  }
  for (int i = 1; i < 4; ++i) {
    const int k = 16 - i;
    v[i] = Back(EvenRow(h, own, k), OddRow(h, other, k), w, k, e, f);
  }
  Store4(out + 16, Reduce4(v[0], v[1], v[2], v[3]));
  for (int base = 20; base < 32; base += 4) {
    for (int i = 0; i < 4; ++i) {
      const int k = 32 - (base + i);
      v[i] = Back(EvenRow(h, own, k), OddRow(h, other, k), w, k, e, f);
    }
    Store4(out + base, Reduce4(v[0], v[1], v[2], v[3]));
  }
}

namespace {

QUORVEL_TARGET_AVX2 inline __m256i Load8(const int32_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

QUORVEL_TARGET_AVX2 inline __m256i FrontAvx2(const int32_t* even, const int32_t* odd, const WindowLanes& w, int k,
                                             int e, int f) {
  return _mm256_sub_epi32(_mm256_mullo_epi32(Load8(even), Load8(w.rev[k][e])),
                          _mm256_mullo_epi32(Load8(odd), Load8(w.rev[k][f])));
}
QUORVEL_TARGET_AVX2 inline __m256i BackAvx2(const int32_t* even, const int32_t* odd, const WindowLanes& w, int k, int e,
                                            int f) {
  return _mm256_add_epi32(_mm256_mullo_epi32(Load8(even), Load8(w.fwd[k][e])),
                          _mm256_mullo_epi32(Load8(odd), Load8(w.fwd[k][f])));
}

// Eight 8-lane vectors to one vector of their eight totals.
QUORVEL_TARGET_AVX2 inline __m256i Reduce8(const __m256i v[8]) {
  const __m256i ab = _mm256_hadd_epi32(_mm256_hadd_epi32(v[0], v[1]), _mm256_hadd_epi32(v[2], v[3]));
  const __m256i cd = _mm256_hadd_epi32(_mm256_hadd_epi32(v[4], v[5]), _mm256_hadd_epi32(v[6], v[7]));
  // ab holds the sums of lanes 0..3 of v0..v3 in its low half and of lanes
  // 4..7 in its high half; likewise cd for v4..v7.
  return _mm256_add_epi32(_mm256_permute2x128_si256(ab, cd, 0x20), _mm256_permute2x128_si256(ab, cd, 0x31));
}

QUORVEL_TARGET_AVX2 inline void Store8(Q28* out, __m256i sums) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_srai_epi32(sums, 2));
}

}  // namespace

QUORVEL_TARGET_AVX2 void WindowSlotAvx2(const ChannelHistory& h, int b, Q28 out[32]) {
  const WindowLanes& w = SynthesisWindowLanes();
  const int own = b & 1, other = own ^ 1;
  const int e = b & 14, f = ((b + 15) & 14) | 1;
  __m256i v[8];
  for (int base = 0; base < 16; base += 8) {
    for (int i = 0; i < 8; ++i) {
      const int k = base + i;
      v[i] = FrontAvx2(EvenRow(h, own, k), OddRow(h, other, k), w, k, e, f);
    }
    Store8(out + base, Reduce8(v));
  }
  v[0] = _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_mullo_epi32(Load8(h.lower[other][15]), Load8(w.rev[16][f])));
  for (int i = 1; i < 8; ++i) {
    const int k = 16 - i;
    v[i] = BackAvx2(EvenRow(h, own, k), OddRow(h, other, k), w, k, e, f);
  }
  Store8(out + 16, Reduce8(v));
  for (int i = 0; i < 8; ++i) {
    const int k = 8 - i;
    v[i] = BackAvx2(EvenRow(h, own, k), OddRow(h, other, k), w, k, e, f);
  }
  Store8(out + 24, Reduce8(v));
}

#endif  // QUORVEL_HAVE_X86_KERNELS

#if QUORVEL_HAVE_NEON_KERNELS

namespace {

QUORVEL_TARGET_NEON inline int32x4_t FrontNeon(const int32_t* even, const int32_t* odd, const WindowLanes& w, int k,
                                               int e, int f) {
  int32x4_t s = vmulq_s32(vld1q_s32(even), vld1q_s32(w.rev[k][e]));
  s = vmlaq_s32(s, vld1q_s32(even + 4), vld1q_s32(w.rev[k][e] + 4));
  s = vmlsq_s32(s, vld1q_s32(odd), vld1q_s32(w.rev[k][f]));
  return vmlsq_s32(s, vld1q_s32(odd + 4), vld1q_s32(w.rev[k][f] + 4));
}
QUORVEL_TARGET_NEON inline int32x4_t BackNeon(const int32_t* even, const int32_t* odd, const WindowLanes& w, int k,
                                              int e, int f) {
  int32x4_t s = vmulq_s32(vld1q_s32(even), vld1q_s32(w.fwd[k][e]));
  s = vmlaq_s32(s, vld1q_s32(even + 4), vld1q_s32(w.fwd[k][e] + 4));
  s = vmlaq_s32(s, vld1q_s32(odd), vld1q_s32(w.fwd[k][f]));
  return vmlaq_s32(s, vld1q_s32(odd + 4), vld1q_s32(w.fwd[k][f] + 4));
}
// The totals of four vectors, shifted to Q28, at out[0..3]. Pairwise
// additions of halves, which 32-bit ARM has as well as AArch64.
QUORVEL_TARGET_NEON inline void StoreNeon(Q28* out, int32x4_t v0, int32x4_t v1, int32x4_t v2, int32x4_t v3) {
  const int32x2_t s01 = vpadd_s32(vadd_s32(vget_low_s32(v0), vget_high_s32(v0)),
                                  vadd_s32(vget_low_s32(v1), vget_high_s32(v1)));
  const int32x2_t s23 = vpadd_s32(vadd_s32(vget_low_s32(v2), vget_high_s32(v2)),
                                  vadd_s32(vget_low_s32(v3), vget_high_s32(v3)));
  vst1q_s32(out, vshrq_n_s32(vcombine_s32(s01, s23), 2));
}

}  // namespace

QUORVEL_TARGET_NEON void WindowSlotNeon(const ChannelHistory& h, int b, Q28 out[32]) {
  const WindowLanes& w = SynthesisWindowLanes();
  const int own = b & 1, other = own ^ 1;
  const int e = b & 14, f = ((b + 15) & 14) | 1;
  int32x4_t v[4];
  for (int base = 0; base < 16; base += 4) {
    for (int i = 0; i < 4; ++i) v[i] = FrontNeon(EvenRow(h, own, base + i), OddRow(h, other, base + i), w, base + i, e, f);
    StoreNeon(out + base, v[0], v[1], v[2], v[3]);
  }
  {
    const int32_t* odd = h.lower[other][15];
    int32x4_t s = vmulq_s32(vld1q_s32(odd), vld1q_s32(w.rev[16][f]));
    s = vmlaq_s32(s, vld1q_s32(odd + 4), vld1q_s32(w.rev[16][f] + 4));
    v[0] = vnegq_s32(s);
  }
  for (int i = 1; i < 4; ++i) v[i] = BackNeon(EvenRow(h, own, 16 - i), OddRow(h, other, 16 - i), w, 16 - i, e, f);
  StoreNeon(out + 16, v[0], v[1], v[2], v[3]);
  for (int base = 20; base < 32; base += 4) {
    for (int i = 0; i < 4; ++i) {
      const int k = 32 - (base + i);
      v[i] = BackNeon(EvenRow(h, own, k), OddRow(h, other, k), w, k, e, f);
    }
    StoreNeon(out + base, v[0], v[1], v[2], v[3]);
  }
}

#endif  // QUORVEL_HAVE_NEON_KERNELS

}  // namespace quorvel
