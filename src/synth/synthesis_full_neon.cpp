// The full tier's DCT and windowing in NEON, for 32-bit ARM and AArch64.
//
// The DCT runs two slots at once, one per 64-bit lane, the recursion of
// synthesis_full.cpp with MulQ31 as two widening products: the high part
// (d >> 31, within 32 bits) times the cosine signed, the low 31 bits times
// it unsigned, rounded and shifted into the first by vsra. vrshrn by 6 is
// FullHistoryValue (the rounding bias added in wider arithmetic, the low 32
// bits kept).
//
// The windowing accumulates the 64-bit sums of FullWindowSlotsPlain with
// vmlal.s32, two outputs per instruction, from coefficients laid out by age
// (the sign of the odd ages folded in); vqrshrn by 12 is OutputValue, the
// rounding half up and the saturation to 32 bits in one. Every product and
// sum is exact, so the bits are those of the plain versions;
// tests/full_tier_test.cpp checks them.
#include <cstring>

#include "cpu.h"
#include "synth/synthesis_full.h"

#if QUORVEL_HAVE_NEON_KERNELS
#include <arm_neon.h>

#include "simd_target.h"
#include "synth/synthesis_arm.h"

namespace quorvel {
namespace {

template <int N>
constexpr const int64_t* CosTable() {
  if constexpr (N == 32) return FullDctCos32;
  if constexpr (N == 16) return FullDctCos16;
  if constexpr (N == 8) return FullDctCos8;
  if constexpr (N == 4) return FullDctCos4;
  return FullDctCos2;
}

// MulQ31 of two lanes by one cosine (0 <= c < 2^31).
QUORVEL_TARGET_NEON inline int64x2_t MulQ31x2(int64x2_t d, int32_t c) {
  const int32x2_t high = vmovn_s64(vshrq_n_s64(d, 31));
  const uint32x2_t low = vand_u32(vmovn_u64(vreinterpretq_u64_s64(d)), vdup_n_u32(0x7FFFFFFF));
  const uint64x2_t lowProduct = vmlal_u32(vdupq_n_u64(uint64_t{1} << 30), low, vdup_n_u32(static_cast<uint32_t>(c)));
  const uint64x2_t highProduct = vreinterpretq_u64_s64(vmull_s32(high, vdup_n_s32(c)));
  return vreinterpretq_s64_u64(vsraq_n_u64(highProduct, lowProduct, 31));
}

template <int N>
__attribute__((always_inline)) QUORVEL_TARGET_NEON inline void Transform2(const int64x2_t* x, int64x2_t* y) {
  if constexpr (N == 1) {
    y[0] = x[0];
  } else {
    constexpr int H = N / 2;
    const int64_t* c = CosTable<N>();
    int64x2_t g[H], h[H], e[H], o[H];
    for (int n = 0; n < H; ++n) {
      g[n] = vaddq_s64(x[n], x[N - 1 - n]);
      h[n] = MulQ31x2(vsubq_s64(x[n], x[N - 1 - n]), static_cast<int32_t>(c[n]));
    }
    Transform2<H>(g, e);
    Transform2<H>(h, o);
    for (int m = 0; m < H; ++m) y[2 * m] = e[m];
    y[1] = o[0];
    for (int m = 1; m < H; ++m) y[2 * m + 1] = vsubq_s64(vaddq_s64(o[m], o[m]), y[2 * m - 1]);
  }
}

// Stores the history values v[m0..m3] (one slot per lane) as four
// consecutive entries at `first` of slot 0 and `second` of slot 1 (null: not
// stored).
QUORVEL_TARGET_NEON inline void StorePair(const int32x2_t* v, int m0, int m1, int m2, int m3, int32_t* first,
                                          int32_t* second) {
  const int32x4x2_t split = vuzpq_s32(vcombine_s32(v[m0], v[m1]), vcombine_s32(v[m2], v[m3]));
  vst1q_s32(first, split.val[0]);
  if (second) vst1q_s32(second, split.val[1]);
}

// FullDct32x4Plain of one or two slots, a and b (b == a when alone); true
// when the clamp changed a sample.
QUORVEL_TARGET_NEON bool Dct2(const Q28* a, const Q28* b, int count, FullChannelHistory& history, int index) {
  const int32x4_t limit = vdupq_n_s32(kFullInputLimit), negativeLimit = vdupq_n_s32(-kFullInputLimit);
  int64x2_t x[32], y[32];
  uint32x4_t clamped = vdupq_n_u32(0);  // any bit where a clamped sample differs from its input
  for (int k = 0; k < 32; k += 4) {
    const int32x4_t ra = vld1q_s32(a + k), rb = vld1q_s32(b + k);
    const int32x4_t sa = vmaxq_s32(vminq_s32(ra, limit), negativeLimit);
    const int32x4_t sb = vmaxq_s32(vminq_s32(rb, limit), negativeLimit);
    clamped = vorrq_u32(clamped, vreinterpretq_u32_s32(vorrq_s32(veorq_s32(ra, sa), veorq_s32(rb, sb))));
    const int32x4x2_t z = vzipq_s32(sa, sb);        // [a0 b0 a1 b1], [a2 b2 a3 b3]
    x[k] = vshll_n_s32(vget_low_s32(z.val[0]), 2);  // Q30
    x[k + 1] = vshll_n_s32(vget_high_s32(z.val[0]), 2);
    x[k + 2] = vshll_n_s32(vget_low_s32(z.val[1]), 2);
    x[k + 3] = vshll_n_s32(vget_high_s32(z.val[1]), 2);
  }
  Transform2<32>(x, y);
  int32x2_t v[32];
  for (int m = 0; m < 32; ++m) v[m] = vrshrn_n_s64(y[m], 6);
  FullHistorySlot& s0 = history.slot[index];
  FullHistorySlot* s1 = count > 1 ? &history.slot[index + 1] : nullptr;
  for (int k = 0; k < 16; k += 4) {
    StorePair(v, 16 + k, 17 + k, 18 + k, 19 + k, s0.even + k, s1 ? s1->even + k : nullptr);
    StorePair(v, 16 - k, 15 - k, 14 - k, 13 - k, s0.odd + k, s1 ? s1->odd + k : nullptr);
  }
  history.first[index] = vget_lane_s32(v[0], 0);
  if (s1) history.first[index + 1] = vget_lane_s32(v[0], 1);
  const uint32x2_t folded = vorr_u32(vget_low_u32(clamped), vget_high_u32(clamped));
  return (vget_lane_u32(folded, 0) | vget_lane_u32(folded, 1)) != 0;
}

// The window by age: front[a][k] = +-c_k[a] (minus at odd ages), the
// coefficient of out[k]; back[a][k] = c_k[15 - a], that of out[32 - k]
// (0 for k = 0, which has no such output).
struct FullWindowByAge {
  alignas(16) int32_t front[16][16];
  alignas(16) int32_t back[16][16];
};

const FullWindowByAge kWindowByAge = [] {
  FullWindowByAge w{};
  for (int a = 0; a < 16; ++a) {
    for (int k = 0; k < 16; ++k) {
      const int32_t c = SynthesisWindowQ16[k][a];
      w.front[a][k] = a % 2 == 0 ? c : -c;
      w.back[a][k] = k > 0 ? SynthesisWindowQ16[k][15 - a] : 0;
    }
  }
  return w;
}();

}  // namespace

// A slot alone in its pair repeats itself in the unused lane and that lane is
// never stored: no address past the last written slot is formed, since a
// frame of 18 slots can end its last group of two at the history's end.
QUORVEL_TARGET_NEON bool FullDct32x4Neon(const Q28* slots, int count, FullChannelHistory& history, int index) {
  bool clamped = false;
  for (int j = 0; j < count; j += 2) {
    const Q28* a = slots + 32 * j;
    const Q28* b = j + 1 < count ? a + 32 : a;
    clamped |= Dct2(a, b, count - j, history, index + j);
  }
  return clamped;
}

QUORVEL_TARGET_NEON void FullWindowSlotsNeon(const FullChannelHistory& history, int index, int count, Q28* out) {
  for (int n = 0; n < count; ++n, out += 32) {
    const int t = index + n;
    int32_t back[16];
    for (int half = 0; half < 16; half += 8) {
      int64x2_t front64[4], back64[4];
      for (int i = 0; i < 4; ++i) front64[i] = back64[i] = vdupq_n_s64(0);
      for (int a = 0; a < 16; ++a) {
        const FullHistorySlot& slot = history.slot[t - a];
        const int32_t* u = (a % 2 == 0 ? slot.even : slot.odd) + half;
        const int32x4_t u0 = vld1q_s32(u), u1 = vld1q_s32(u + 4);
        const int32x4_t f0 = vld1q_s32(kWindowByAge.front[a] + half), f1 = vld1q_s32(kWindowByAge.front[a] + half + 4);
        const int32x4_t b0 = vld1q_s32(kWindowByAge.back[a] + half), b1 = vld1q_s32(kWindowByAge.back[a] + half + 4);
        front64[0] = vmlal_s32(front64[0], vget_low_s32(u0), vget_low_s32(f0));
        front64[1] = vmlal_s32(front64[1], vget_high_s32(u0), vget_high_s32(f0));
        front64[2] = vmlal_s32(front64[2], vget_low_s32(u1), vget_low_s32(f1));
        front64[3] = vmlal_s32(front64[3], vget_high_s32(u1), vget_high_s32(f1));
        back64[0] = vmlal_s32(back64[0], vget_low_s32(u0), vget_low_s32(b0));
        back64[1] = vmlal_s32(back64[1], vget_high_s32(u0), vget_high_s32(b0));
        back64[2] = vmlal_s32(back64[2], vget_low_s32(u1), vget_low_s32(b1));
        back64[3] = vmlal_s32(back64[3], vget_high_s32(u1), vget_high_s32(b1));
      }
      vst1q_s32(out + half, vcombine_s32(vqrshrn_n_s64(front64[0], 12), vqrshrn_n_s64(front64[1], 12)));
      vst1q_s32(out + half + 4, vcombine_s32(vqrshrn_n_s64(front64[2], 12), vqrshrn_n_s64(front64[3], 12)));
      vst1q_s32(back + half, vcombine_s32(vqrshrn_n_s64(back64[0], 12), vqrshrn_n_s64(back64[1], 12)));
      vst1q_s32(back + half + 4, vcombine_s32(vqrshrn_n_s64(back64[2], 12), vqrshrn_n_s64(back64[3], 12)));
    }
    for (int k = 1; k < 16; ++k) out[32 - k] = back[k];
    // out[16]: X[0] of the slots of odd age.
    int64_t middle = 0;
    for (int a = 1; a < 16; a += 2) middle -= int64_t{SynthesisWindowQ16[16][a]} * history.first[t - a];
    out[16] = vget_lane_s32(vqrshrn_n_s64(vdupq_n_s64(middle), 12), 0);
  }
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_NEON_KERNELS
