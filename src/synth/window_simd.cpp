// Windowing of several slots at once, one slot per vector lane: each term of
// a windowed sum is eight (or four) consecutive history values of one row
// times one coefficient in every lane, so the sums need no horizontal
// additions, and the 16 values a term loads feed out[k] and out[32 - k]
// alike. Products and sums are taken on unsigned lanes, modulo 2^32, the
// final shift on the signed view: the same bits as WindowSlots.
//
// The sums come out with the outputs in rows and the slots in lanes; a
// transposition turns them back into 32 samples per slot.
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
    for (int row = 0; row < 2; ++row) {
      const int k = 16 * row;
      for (int a = 0; a < 16; ++a) {
        const int32_t c = SynthesisWindow[k][a];
        const int32_t front = a % 2 == 0 ? (k == 16 ? 0 : c) : WrapNeg(c);
        for (int q = 0; q < 8; ++q) w.front[row][a][q] = front;
      }
    }
    for (int k = 1; k < 16; ++k) {
      for (int i = 0; i < 8; ++i) {
        const int32_t even = SynthesisWindow[k][2 * i], odd = SynthesisWindow[k][15 - 2 * i];
        for (int q = 0; q < 8; ++q) {
          w.pairSum[k][i][q] = even;
          w.pairOdd[k][i][q] = WrapAdd(even, odd);
          w.pairEven[k][i][q] = WrapSub(odd, even);
        }
      }
    }
    return w;
  }();
  return lanes;
}

}  // namespace quorvel

#if QUORVEL_HAVE_X86_KERNELS || QUORVEL_HAVE_NEON_KERNELS

namespace quorvel {
namespace {

using U4 = uint32_t __attribute__((vector_size(16)));
using U8 = uint32_t __attribute__((vector_size(32)));

// The same lanes at any 4-byte alignment: reading through them is an
// unaligned load (vector types may alias their element type).
using U4Unaligned = uint32_t __attribute__((vector_size(16), aligned(4)));
using U8Unaligned = uint32_t __attribute__((vector_size(32), aligned(4)));
template <class U>
struct UnalignedLanes;
template <>
struct UnalignedLanes<U4> {
  using type = U4Unaligned;
};
template <>
struct UnalignedLanes<U8> {
  using type = U8Unaligned;
};
#define QUORVEL_LOAD_LANES(U, p) (*reinterpret_cast<const typename UnalignedLanes<U>::type*>(p))

// The lanes of one history: the slots at positions t.., so that age a of
// row m is the vector of positions t - a...
template <class U>
struct ChannelLanes {
  const ChannelHistory& h;
  int t;
  __attribute__((always_inline)) void operator()(int m, int age, U& out) const {
    out = QUORVEL_LOAD_LANES(U, &h.value[m][t - age]);
  }
};

// Eight lanes from two histories: four slots of each (see WindowTails).
struct PairedLanes {
  const ChannelHistory& h0;
  int t0;
  const ChannelHistory& h1;
  int t1;
  __attribute__((always_inline)) void operator()(int m, int age, U8& out) const {
    const U4 low = QUORVEL_LOAD_LANES(U4, &h0.value[m][t0 - age]);
    const U4 high = QUORVEL_LOAD_LANES(U4, &h1.value[m][t1 - age]);
    out = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
  }
};

// The unshifted windowed sums of the slots in the lanes that `lanes` loads:
// sums[j] for output j. Forced inline into each kernel, which gives it the
// kernel's instruction set (a function taking or returning vectors outside a
// target region would change the ABI, hence the results by reference).
template <class U, class Lanes>
__attribute__((always_inline)) inline void WindowLanesBody(const Lanes& lanes, U sums[32]) {
  const WindowLanes& w = SynthesisWindowLanes();
  {
    U front = {};
    for (int a = 0; a < 16; ++a) {
      U u;
      lanes(16, a, u);
      front += u * QUORVEL_LOAD_LANES(U, w.front[0][a]);
    }
    sums[0] = front;
  }
  for (int k = 1; k < 16; ++k) {
    // The ages in pairs (see window_lanes.h).
    U k1 = {}, k2 = {}, k3 = {};
    for (int i = 0; i < 8; ++i) {
      U x, y;
      lanes(16 + k, 2 * i, x);
      lanes(16 - k, 15 - 2 * i, y);
      k1 += (x + y) * QUORVEL_LOAD_LANES(U, w.pairSum[k][i]);
      k2 += y * QUORVEL_LOAD_LANES(U, w.pairOdd[k][i]);
      k3 += x * QUORVEL_LOAD_LANES(U, w.pairEven[k][i]);
    }
    sums[k] = k1 - k2;
    sums[32 - k] = k1 + k3;
  }
  {
    U front = {};
    for (int a = 1; a < 16; a += 2) {
      U u;
      lanes(0, a, u);
      front += u * QUORVEL_LOAD_LANES(U, w.front[1][a]);
    }
    sums[16] = front;
  }
}

}  // namespace
}  // namespace quorvel

#endif

#if QUORVEL_HAVE_X86_KERNELS

namespace quorvel {
namespace {

// Rows v[0..3] (outputs) of four lanes (slots) to the four slots' rows, each
// shifted to Q28, stored at out + 32 j for the first `count` slots.
QUORVEL_TARGET_SSE41 inline void StoreTransposed4(const U4* v, int count, Q28* out) {
  const __m128i r0 = _mm_srai_epi32(reinterpret_cast<__m128i>(v[0]), 2);
  const __m128i r1 = _mm_srai_epi32(reinterpret_cast<__m128i>(v[1]), 2);
  const __m128i r2 = _mm_srai_epi32(reinterpret_cast<__m128i>(v[2]), 2);
  const __m128i r3 = _mm_srai_epi32(reinterpret_cast<__m128i>(v[3]), 2);
  const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpackhi_epi32(r0, r1);
  const __m128i t2 = _mm_unpacklo_epi32(r2, r3), t3 = _mm_unpackhi_epi32(r2, r3);
  const __m128i slot[4] = {_mm_unpacklo_epi64(t0, t2), _mm_unpackhi_epi64(t0, t2), _mm_unpacklo_epi64(t1, t3),
                           _mm_unpackhi_epi64(t1, t3)};
  for (int j = 0; j < count; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * j), slot[j]);
}

// The same for eight rows of eight lanes.
QUORVEL_TARGET_AVX2 inline void StoreTransposed8(const U8* v, int count, Q28* out) {
  __m256i r[8], t[8], u[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm256_srai_epi32(reinterpret_cast<__m256i>(v[i]), 2);
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  // u[i] holds slot i in its low half and slot i + 4 in its high half.
  for (int i = 0; i < 4; ++i) {
    if (i < count) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * i), _mm256_permute2x128_si256(u[i], u[i + 4], 0x20));
    }
    if (i + 4 < count) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * (i + 4)),
                          _mm256_permute2x128_si256(u[i], u[i + 4], 0x31));
    }
  }
}

// Rows v[0..7] (outputs) of eight lanes to the slots' rows, lanes 0..3 at
// out0 + 32 j and lanes 4..7 at out1 + 32 j, for j below `count` (1..4).
QUORVEL_TARGET_AVX2 inline void StoreTransposedPair(const U8* v, int count, Q28* out0, Q28* out1) {
  __m256i r[8], t[8], u[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm256_srai_epi32(reinterpret_cast<__m256i>(v[i]), 2);
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  for (int i = 0; i < count; ++i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + 32 * i), _mm256_permute2x128_si256(u[i], u[i + 4], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + 32 * i), _mm256_permute2x128_si256(u[i], u[i + 4], 0x31));
  }
}

}  // namespace

QUORVEL_TARGET_SSE41 void WindowTailsSse41(const ChannelHistory& h0, int position0, const ChannelHistory& h1,
                                           int position1, int count, Q28* out0, Q28* out1) {
  WindowSlotsSse41(h0, position0, count, out0);
  WindowSlotsSse41(h1, position1, count, out1);
}

QUORVEL_TARGET_AVX2 void WindowTailsAvx2(const ChannelHistory& h0, int position0, const ChannelHistory& h1,
                                         int position1, int count, Q28* out0, Q28* out1) {
  U8 sums[32];
  WindowLanesBody<U8>(PairedLanes{h0, position0, h1, position1}, sums);
  for (int base = 0; base < 32; base += 8) StoreTransposedPair(sums + base, count, out0 + base, out1 + base);
}

QUORVEL_TARGET_SSE41 void WindowSlotsSse41(const ChannelHistory& h, int position, int count, Q28* out) {
  for (int half = 0; half < (count > 4 ? 2 : 1); ++half) {
    U4 sums[32];
    WindowLanesBody<U4>(ChannelLanes<U4>{h, position + 4 * half}, sums);
    const int n = count - 4 * half < 4 ? count - 4 * half : 4;
    for (int base = 0; base < 32; base += 4) StoreTransposed4(sums + base, n, out + 128 * half + base);
  }
}

QUORVEL_TARGET_AVX2 void WindowSlotsAvx2(const ChannelHistory& h, int position, int count, Q28* out) {
  U8 sums[32];
  WindowLanesBody<U8>(ChannelLanes<U8>{h, position}, sums);
  for (int base = 0; base < 32; base += 8) StoreTransposed8(sums + base, count, out + base);
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_X86_KERNELS

#if QUORVEL_HAVE_NEON_KERNELS

namespace quorvel {

namespace {

// Rows v[0..3] (outputs) of four lanes (slots) to the four slots' rows, each
// shifted to Q28, stored at out + 32 j for the first `count` slots.
QUORVEL_TARGET_NEON inline void StoreTransposed4Neon(const U4* v, int count, Q28* out) {
  const int32x4x2_t t01 = vtrnq_s32(vshrq_n_s32(vreinterpretq_s32_u32((uint32x4_t)v[0]), 2),
                                    vshrq_n_s32(vreinterpretq_s32_u32((uint32x4_t)v[1]), 2));
  const int32x4x2_t t23 = vtrnq_s32(vshrq_n_s32(vreinterpretq_s32_u32((uint32x4_t)v[2]), 2),
                                    vshrq_n_s32(vreinterpretq_s32_u32((uint32x4_t)v[3]), 2));
  const int32x4_t slot[4] = {vcombine_s32(vget_low_s32(t01.val[0]), vget_low_s32(t23.val[0])),
                             vcombine_s32(vget_low_s32(t01.val[1]), vget_low_s32(t23.val[1])),
                             vcombine_s32(vget_high_s32(t01.val[0]), vget_high_s32(t23.val[0])),
                             vcombine_s32(vget_high_s32(t01.val[1]), vget_high_s32(t23.val[1]))};
  for (int j = 0; j < count; ++j) vst1q_s32(out + 32 * j, slot[j]);
}

}  // namespace

QUORVEL_TARGET_NEON void WindowSlotsNeon(const ChannelHistory& h, int position, int count, Q28* out) {
  for (int half = 0; half < (count > 4 ? 2 : 1); ++half) {
    U4 sums[32];
    WindowLanesBody<U4>(ChannelLanes<U4>{h, position + 4 * half}, sums);
    const int n = count - 4 * half < 4 ? count - 4 * half : 4;
    for (int base = 0; base < 32; base += 4) StoreTransposed4Neon(sums + base, n, out + 128 * half + base);
  }
}

QUORVEL_TARGET_NEON void WindowTailsNeon(const ChannelHistory& h0, int position0, const ChannelHistory& h1,
                                         int position1, int count, Q28* out0, Q28* out1) {
  WindowSlotsNeon(h0, position0, count, out0);
  WindowSlotsNeon(h1, position1, count, out1);
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_NEON_KERNELS
