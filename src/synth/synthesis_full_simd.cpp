// The full tier's DCT and windowing in AVX2.
//
// The DCT runs four slots at once, one per 64-bit lane, and stores them in
// the history through 4 x 4 transposes.
//
// The windowing keeps the outputs in the lanes and takes the slots of ages a
// (even) and 15 - a together: with x = X[16 + k] of the one, y = X[16 - k]
// of the other, p = c_k[a] and q = c_k[15 - a], the pair adds p x - q y to
// out[k] and q x + p y to out[32 - k] (see FullWindowSlotsPlain), which is
// k1 - k2 and k1 + k3 for the three products
//   k1 = p (x + y),  k2 = (p + q) y,  k3 = (q - p) x
// instead of four. x + y fits 32 bits because history values lie below
// 2^30 in magnitude, and vpmuldq reads 32 bits. The lane of out[32 - 0] is unused;
// out[16] is an eight-term sum of its own. All products and sums are exact,
// so the bits are those of the plain version; tests/full_tier_test.cpp
// checks it.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "simd_target.h"
#include "synth/synthesis_full.h"
#include "synth/synthesis_x86.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>
#endif

namespace quorvel {

#if QUORVEL_HAVE_X86_KERNELS

namespace {

// The coefficients of the three products of each pair of ages (a = 2i and
// 15 - a) and lane k, widened to 64-bit lanes; middle[] those of out[16]
// for the X[0] of the slots t - 15, t - 13, .., t - 1 (ages 15, 13, .., 1).
struct FullWindowPairLanes {
  alignas(32) int64_t sum[8][16];   // p, for x + y
  alignas(32) int64_t odd[8][16];   // p + q, for y
  alignas(32) int64_t even[8][16];  // q - p, for x
  alignas(32) int64_t middle[8];
};

FullWindowPairLanes MakePairLanes() {
  FullWindowPairLanes w{};
  for (int i = 0; i < 8; ++i) {
    const int a = 2 * i;
    for (int k = 0; k < 16; ++k) {
      const int64_t p = SynthesisWindowQ16[k][a], q = SynthesisWindowQ16[k][15 - a];
      w.sum[i][k] = p;
      w.odd[i][k] = p + q;
      w.even[i][k] = q - p;
    }
    w.middle[i] = -SynthesisWindowQ16[16][15 - a];
  }
  return w;
}

const FullWindowPairLanes kPairLanes = MakePairLanes();

// The coefficient of out[16] for the X[0] of the slot of age 2i + 1, in four lanes.
struct FullMiddleLanes {
  alignas(32) int64_t age[8][4];
};

const FullMiddleLanes kMiddleByAge = [] {
  FullMiddleLanes m{};
  for (int i = 0; i < 8; ++i) {
    for (int lane = 0; lane < 4; ++lane) m.age[i][lane] = -SynthesisWindowQ16[16][2 * i + 1];
  }
  return m;
}();

}  // namespace

namespace {

QUORVEL_TARGET_AVX2 inline __m256i Load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// The cosines of each level, each repeated in four lanes, so that the
// products read them from memory without a broadcast.
struct WideCosines {
  alignas(32) int64_t level32[16][4];
  alignas(32) int64_t level16[8][4];
  alignas(32) int64_t level8[4][4];
  alignas(32) int64_t level4[2][4];
  alignas(32) int64_t level2[1][4];
};

WideCosines MakeWideCosines() {
  WideCosines w{};
  for (int lane = 0; lane < 4; ++lane) {
    for (int n = 0; n < 16; ++n) w.level32[n][lane] = FullDctCos32[n];
    for (int n = 0; n < 8; ++n) w.level16[n][lane] = FullDctCos16[n];
    for (int n = 0; n < 4; ++n) w.level8[n][lane] = FullDctCos8[n];
    for (int n = 0; n < 2; ++n) w.level4[n][lane] = FullDctCos4[n];
    w.level2[0][lane] = FullDctCos2[0];
  }
  return w;
}

const WideCosines kWideCosines = MakeWideCosines();

template <int N>
const int64_t (*CosTable())[4] {
  if constexpr (N == 32) return kWideCosines.level32;
  if constexpr (N == 16) return kWideCosines.level16;
  if constexpr (N == 8) return kWideCosines.level8;
  if constexpr (N == 4) return kWideCosines.level4;
  return kWideCosines.level2;
}

// MulQ31 in four 64-bit lanes. The low 32 bits of a logical shift by 31 are
// those of the arithmetic one, and they are all vpmuldq reads; the low part's
// product is not negative, so its shift may be logical too.
QUORVEL_TARGET_AVX2 inline __m256i MulQ31x4(__m256i d, __m256i c) {
  const __m256i high = _mm256_srli_epi64(d, 31);
  const __m256i low = _mm256_and_si256(d, _mm256_set1_epi64x(0x7FFFFFFF));
  const __m256i lowProduct = _mm256_add_epi64(_mm256_mul_epu32(low, c), _mm256_set1_epi64x(int64_t{1} << 30));
  return _mm256_add_epi64(_mm256_mul_epi32(high, c), _mm256_srli_epi64(lowProduct, 31));
}

// MulQ31 of a Q30 value given in Q28, d = 4 d' (|d'| < 2^60): MulQ31x4
// with the split at bit 29, round(d' c / 2^29), the same bits.
QUORVEL_TARGET_AVX2 inline __m256i MulQ29x4(__m256i d, __m256i c) {
  const __m256i high = _mm256_srli_epi64(d, 29);
  const __m256i low = _mm256_and_si256(d, _mm256_set1_epi64x(0x1FFFFFFF));
  const __m256i lowProduct = _mm256_add_epi64(_mm256_mul_epu32(low, c), _mm256_set1_epi64x(int64_t{1} << 28));
  return _mm256_add_epi64(_mm256_mul_epi32(high, c), _mm256_srli_epi64(lowProduct, 29));
}

// The same for |d'| < 2^31: one product, whose rounding shift is made
// logical by a bias of 2^62 (|d' c| < 2^62), taken off again as 2^33.
QUORVEL_TARGET_AVX2 inline __m256i MulQ29Narrowx4(__m256i d, __m256i c) {
  const __m256i product = _mm256_mul_epi32(d, c);
  const __m256i biased = _mm256_add_epi64(product, _mm256_set1_epi64x((int64_t{1} << 62) + (int64_t{1} << 28)));
  return _mm256_sub_epi64(_mm256_srli_epi64(biased, 29), _mm256_set1_epi64x(int64_t{1} << 33));
}

// MulQ29Narrowx4 plus 2^34, the bias left in: with a bias of 2^63 the
// product's 64 bits, read unsigned, hold the result plus 2^34 after the
// shift. Used for the 32-point differences only: the 16-point transform
// of these results passes a common offset only into its output 0, as 16
// times the offset, 2^38, and the 32-point recursion turns that into +-2^38
// on each odd output, which FullHistoryValue (bits 6..37) never sees.
QUORVEL_TARGET_AVX2 inline __m256i MulQ29NarrowOffsetx4(__m256i d, __m256i c) {
  const __m256i product = _mm256_mul_epi32(d, c);
  return _mm256_srli_epi64(_mm256_add_epi64(product, _mm256_set1_epi64x(INT64_MIN + (int64_t{1} << 28))), 29);
}

// FullTransform of synthesis_full.cpp, one slot per lane. Inlined whole:
// called, the 16-point halves pass their values through memory.
//
// kQ28: x holds the Q30 values divided by 4, exactly (the input, and the
// sums of sums that no product has touched yet); then so does y[0], and the
// other outputs are Q30 as always. The 32-point input differences lie below
// 2^30 in Q28 and those of the 16-point sums below 2^31 (each input within
// +-kFullInputLimit < 2^29), so their products take a single vpmuldq.
template <int N, bool kQ28>
__attribute__((always_inline)) QUORVEL_TARGET_AVX2 inline void Transform4(const __m256i* x, __m256i* y) {
  if constexpr (N == 1) {
    y[0] = x[0];
  } else {
    constexpr int H = N / 2;
    const int64_t(*c)[4] = CosTable<N>();
    __m256i g[H], h[H], e[H], o[H];
    for (int n = 0; n < H; ++n) {
      g[n] = _mm256_add_epi64(x[n], x[N - 1 - n]);
      const __m256i d = _mm256_sub_epi64(x[n], x[N - 1 - n]);
      if constexpr (N == 32) {
        h[n] = MulQ29NarrowOffsetx4(d, Load(c[n]));
      } else if constexpr (kQ28 && N == 16) {
        h[n] = MulQ29Narrowx4(d, Load(c[n]));
      } else if constexpr (kQ28) {
        h[n] = MulQ29x4(d, Load(c[n]));
      } else {
        h[n] = MulQ31x4(d, Load(c[n]));
      }
    }
    Transform4<H, kQ28>(g, e);
    Transform4<H, false>(h, o);
    for (int m = 0; m < H; ++m) y[2 * m] = e[m];
    y[1] = o[0];
    for (int m = 1; m < H; ++m) y[2 * m + 1] = _mm256_sub_epi64(_mm256_add_epi64(o[m], o[m]), y[2 * m - 1]);
  }
}

}  // namespace

namespace {

// The low 32 bits of the 64-bit lanes of a and b, in order: [a0 a1 a2 a3 b0 b1 b2 b3].
QUORVEL_TARGET_AVX2 inline __m256i PackLow(__m256i a, __m256i b) {
  const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
  return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
}

// FullInputValue in eight lanes.
QUORVEL_TARGET_AVX2 inline __m256i Clamp(__m256i v) {
  return _mm256_max_epi32(_mm256_min_epi32(v, _mm256_set1_epi32(kFullInputLimit)), _mm256_set1_epi32(-kFullInputLimit));
}

// FullHistoryValue of each 64-bit lane (Q30), in its low half and in its
// high half: bits 6..37 of the value plus 32.
QUORVEL_TARGET_AVX2 inline __m256i HistoryLow(__m256i v) {
  return _mm256_srli_epi64(_mm256_add_epi64(v, _mm256_set1_epi64x(32)), 6);
}
QUORVEL_TARGET_AVX2 inline __m256i HistoryHigh(__m256i v) {
  return _mm256_slli_epi64(_mm256_add_epi64(v, _mm256_set1_epi64x(32)), 26);
}

// Eight entries of a slot's record from `offset` (in int32) on.
QUORVEL_TARGET_AVX2 inline void StoreEntries(FullHistorySlot* slot, int offset, __m256i entries) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(reinterpret_cast<int32_t*>(slot) + offset), entries);
}

// Stores the history values of eight transform outputs c[0..7] (one slot
// per 64-bit lane) as eight consecutive entries at `offset` (in int32) of
// each slot's record. Pairs of outputs share the lanes of a slot, pairs of
// pairs a 128-bit half, and each slot's two halves are joined for one store.
QUORVEL_TARGET_AVX2 inline void StoreGroup(const __m256i* const c[8], FullHistorySlot* const slots[4], int count,
                                           int offset) {
  __m256i p[4];  // p[i], lane j: slot j's entries 2i and 2i + 1
  for (int i = 0; i < 4; ++i) p[i] = _mm256_blend_epi32(HistoryLow(*c[2 * i]), HistoryHigh(*c[2 * i + 1]), 0xAA);
  const __m256i a = _mm256_unpacklo_epi64(p[0], p[1]);  // slot 0: entries 0..3 | slot 2: 0..3
  const __m256i b = _mm256_unpackhi_epi64(p[0], p[1]);  // slots 1 and 3
  const __m256i d = _mm256_unpacklo_epi64(p[2], p[3]);  // slot 0: entries 4..7 | slot 2: 4..7
  const __m256i e = _mm256_unpackhi_epi64(p[2], p[3]);  // slots 1 and 3
  const __m256i rows[4] = {_mm256_permute2x128_si256(a, d, 0x20), _mm256_permute2x128_si256(b, e, 0x20),
                           _mm256_permute2x128_si256(a, d, 0x31), _mm256_permute2x128_si256(b, e, 0x31)};
  if (count == 4) {  // the common case, without a test per slot
    for (int j = 0; j < 4; ++j) StoreEntries(slots[j], offset, rows[j]);
  } else {
    for (int j = 0; j < count; ++j) StoreEntries(slots[j], offset, rows[j]);
  }
}

}  // namespace

QUORVEL_TARGET_AVX2 bool FullDct32x4Avx2(const Q28* slots, int count, FullChannelHistory& history, int index) {
  const Q28* s[4];
  for (int j = 0; j < 4; ++j) s[j] = slots + 32 * (j < count ? j : 0);
  __m256i x[32], y[32];
  // The largest and smallest input, for the clamp's report (the slots past
  // `count` repeat the first, so only the given ones count), in a pass of
  // their own: folded into the one below, the compiler keeps every input
  // for a reduction at the end.
  __m256i high = Load(s[0]), low = high;
  for (int k = 0; k < 32; k += 8) {
    for (int j = 0; j < 4; ++j) {
      high = _mm256_max_epi32(high, Load(s[j] + k));
      low = _mm256_min_epi32(low, Load(s[j] + k));
    }
  }
  const __m256i beyond = _mm256_or_si256(_mm256_cmpgt_epi32(high, _mm256_set1_epi32(kFullInputLimit)),
                                         _mm256_cmpgt_epi32(_mm256_set1_epi32(-kFullInputLimit), low));
  // Eight subbands of the four slots at a time, transposed: u[i] holds
  // subband i of each slot in its low half and subband i + 4 in its high one.
  for (int k = 0; k < 32; k += 8) {
    const __m256i r0 = Clamp(Load(s[0] + k)), r1 = Clamp(Load(s[1] + k)), r2 = Clamp(Load(s[2] + k)),
                  r3 = Clamp(Load(s[3] + k));
    const __m256i t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
    const __m256i t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
    const __m256i u[4] = {_mm256_unpacklo_epi64(t0, t2), _mm256_unpackhi_epi64(t0, t2), _mm256_unpacklo_epi64(t1, t3),
                          _mm256_unpackhi_epi64(t1, t3)};
    for (int i = 0; i < 4; ++i) {
      x[k + i] = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(u[i]));  // Q28
      x[k + i + 4] = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(u[i], 1));
    }
  }
  Transform4<32, true>(x, y);
  // FullHistoryValue of X[0], which is in Q28: (4 X + 32) >> 6 is (X + 8) >> 4,
  // and the low half of a logical shift is the result.
  y[0] = _mm256_srli_epi64(_mm256_add_epi64(y[0], _mm256_set1_epi64x(8)), 4);
  // Those from count on are not written; they point at the last written one,
  // since a frame of 18 slots (LSF Layer III) can end its last group of two
  // at the history's end, and an address further on would lie outside it.
  FullHistorySlot* const slot[4] = {&history.slot[index], &history.slot[index + std::min(1, count - 1)],
                                    &history.slot[index + std::min(2, count - 1)],
                                    &history.slot[index + std::min(3, count - 1)]};
  constexpr int kEven = offsetof(FullHistorySlot, even) / 4, kOdd = offsetof(FullHistorySlot, odd) / 4;
  for (int g = 0; g < 2; ++g) {
    const __m256i* even[8];  // even[8g + i] = X[16 + 8g + i]
    const __m256i* odd[8];   // odd[8g + i] = X[16 - 8g - i]
    for (int i = 0; i < 8; ++i) {
      even[i] = &y[16 + 8 * g + i];
      odd[i] = &y[16 - 8 * g - i];
    }
    StoreGroup(even, slot, count, kEven + 8 * g);
    StoreGroup(odd, slot, count, kOdd + 8 * g);
  }
  alignas(32) int32_t first[8];  // X[0] of each slot, in the low halves
  _mm256_store_si256(reinterpret_cast<__m256i*>(first), y[0]);
  for (int j = 0; j < count; ++j) history.first[index + j] = first[2 * j];
  return !_mm256_testz_si256(beyond, beyond);
}

namespace {

// Four history values sign-extended to 64-bit lanes.
QUORVEL_TARGET_AVX2 inline __m256i Values(const int32_t* values) {
  return _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values)));
}

QUORVEL_TARGET_AVX2 inline void Accumulate(__m256i& acc, __m256i values, const int64_t* coefficients) {
  acc = _mm256_add_epi64(acc, _mm256_mul_epi32(values, Load(coefficients)));
}

// Four Q40 sums to Q28 in the low halves of the lanes, rounded and saturated
// like OutputValue: clamped to the range whose rounding fits 32 bits, the
// low half of a logical shift is the result.
QUORVEL_TARGET_AVX2 inline __m256i OutputValues(__m256i sums) {
  const __m256i low = _mm256_set1_epi64x(-(int64_t{1} << 43));
  const __m256i high = _mm256_set1_epi64x((int64_t{1} << 43) - 2049);
  sums = _mm256_blendv_epi8(sums, low, _mm256_cmpgt_epi64(low, sums));
  sums = _mm256_blendv_epi8(sums, high, _mm256_cmpgt_epi64(sums, high));
  return _mm256_srli_epi64(_mm256_add_epi64(sums, _mm256_set1_epi64x(2048)), 12);
}

// The three products of the pair of ages 2i and 15 - 2i of the slot at index
// t, for all 16 lanes.
QUORVEL_TARGET_AVX2 inline void AgePair(const FullChannelHistory& h, int t, int i, __m256i k1[4], __m256i k2[4],
                                        __m256i k3[4]) {
  const FullHistorySlot& evenSlot = h.slot[t - 2 * i];
  const FullHistorySlot& oddSlot = h.slot[t - 15 + 2 * i];
  for (int g = 0; g < 4; ++g) {
    const __m256i x = Values(evenSlot.even + 4 * g);
    const __m256i y = Values(oddSlot.odd + 4 * g);
    Accumulate(k1[g], _mm256_add_epi64(x, y), kPairLanes.sum[i] + 4 * g);
    Accumulate(k2[g], y, kPairLanes.odd[i] + 4 * g);
    Accumulate(k3[g], x, kPairLanes.even[i] + 4 * g);
  }
}

// AgePair of the pair i = 0, which starts the sums: k1 from `start`, k2 and
// k3 from zero.
QUORVEL_TARGET_AVX2 inline void FirstAgePair(const FullChannelHistory& h, int t, __m256i start, __m256i k1[4],
                                             __m256i k2[4], __m256i k3[4]) {
  const FullHistorySlot& evenSlot = h.slot[t];
  const FullHistorySlot& oddSlot = h.slot[t - 15];
  for (int g = 0; g < 4; ++g) {
    const __m256i x = Values(evenSlot.even + 4 * g);
    const __m256i y = Values(oddSlot.odd + 4 * g);
    k1[g] = _mm256_add_epi64(start, _mm256_mul_epi32(_mm256_add_epi64(x, y), Load(kPairLanes.sum[0] + 4 * g)));
    k2[g] = _mm256_mul_epi32(y, Load(kPairLanes.odd[0] + 4 * g));
    k3[g] = _mm256_mul_epi32(x, Load(kPairLanes.even[0] + 4 * g));
  }
}

// out[16] of the slot at index t: X[0] of the slots t - 15 .. t, whose even
// entries (odd ages) vpmuldq reads.
QUORVEL_TARGET_AVX2 inline Q28 Middle(const FullChannelHistory& h, int t) {
  const __m256i older = Load(&h.first[t - 15]), newer = Load(&h.first[t - 7]);
  __m256i sum = _mm256_add_epi64(_mm256_mul_epi32(older, Load(kPairLanes.middle)),
                                 _mm256_mul_epi32(newer, Load(kPairLanes.middle + 4)));
  const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  const int64_t total = _mm_cvtsi128_si64(_mm_add_epi64(half, _mm_unpackhi_epi64(half, half)));
  const int64_t v = (total + 2048) >> 12;
  return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

// The sums start from this bias (see StoreOutputs).
constexpr int64_t kOutputBias = (int64_t{1} << 43) + 2048;

// The eight sums of a slot, each plus kOutputBias, to out[0..31] (see the
// lanes in FullWindowSlotsAvx2).
QUORVEL_TARGET_AVX2 inline void StoreOutputs(const __m256i front[4], const __m256i back[4], Q28* out) {
  __m256i q[8];  // Q28 values in the low halves of the lanes: front[0..3], back[0..3]
  // Sums within [-2^43 - 2048, 2^43 - 2048) need no saturation: biased by
  // 2^43 + 2048 they lie in [0, 2^44), and the low half of their logical
  // shift is the result plus 2^31. Any other sum sends all eight the
  // saturating way.
  __m256i any = _mm256_setzero_si256();
  for (int g = 0; g < 4; ++g) {
    q[g] = front[g];
    q[4 + g] = back[g];
    any = _mm256_or_si256(any, _mm256_or_si256(q[g], q[4 + g]));
  }
  __m256i offset = _mm256_set1_epi32(INT32_MIN);
  if (_mm256_testz_si256(any, _mm256_set1_epi64x(-(int64_t{1} << 44)))) [[likely]] {
    for (__m256i& v : q) v = _mm256_srli_epi64(v, 12);
  } else {
    const __m256i bias = _mm256_set1_epi64x(kOutputBias);
    for (int g = 0; g < 4; ++g) {
      q[g] = OutputValues(_mm256_sub_epi64(front[g], bias));
      q[4 + g] = OutputValues(_mm256_sub_epi64(back[g], bias));
    }
    offset = _mm256_setzero_si256();
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_xor_si256(PackLow(q[0], q[1]), offset));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_xor_si256(PackLow(q[2], q[3]), offset));
  // k = 0..7 and 8..15 to out[31..17], reversed; lane 0 (k = 0) lands on
  // out[16], which the caller writes afterwards.
  const __m256i low = _mm256_xor_si256(PackLow(q[4], q[5]), offset);
  const __m256i high = _mm256_xor_si256(PackLow(q[6], q[7]), offset);
  const __m256i reverse = _mm256_setr_epi32(0, 7, 6, 5, 4, 3, 2, 1);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16),
                      _mm256_blend_epi32(_mm256_permutevar8x32_epi32(high, reverse), low, 0x01));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 24),
                      _mm256_blend_epi32(_mm256_permutevar8x32_epi32(low, reverse), high, 0x01));
}

}  // namespace

QUORVEL_TARGET_AVX2 void FullWindowSlotsAvx2(const FullChannelHistory& history, int index, int count, Q28* out) {
  for (int n = 0; n < count; ++n, out += 32) {
    const int t = index + n;
    __m256i k1[4], k2[4], k3[4];
    // k1 carries the bias into both front and back (k1 - k2, k1 + k3).
    FirstAgePair(history, t, _mm256_set1_epi64x(kOutputBias), k1, k2, k3);
    // A loop, not unrolled: unrolled, the compiler regroups the sums into
    // trees whose partial sums no longer fit the registers.
    for (int i = 1; i < 8; ++i) AgePair(history, t, i, k1, k2, k3);
    // front[g]: out[4g..4g+3]; back[g]: out[32 - k] for k = 4g..4g+3 (k = 0 unused).
    __m256i front[4], back[4];
    for (int g = 0; g < 4; ++g) {
      front[g] = _mm256_sub_epi64(k1[g], k2[g]);
      back[g] = _mm256_add_epi64(k1[g], k3[g]);
    }
    StoreOutputs(front, back, out);  // out[16] is written below
  }
  out -= 32 * count;
  // out[16], four slots at a time, one per lane; the rest one by one.
  int n = 0;
  for (; n + 4 <= count; n += 4) {
    const int t = index + n;
    __m256i sum = _mm256_setzero_si256();
    for (int i = 0; i < 8; ++i) {
      sum = _mm256_add_epi64(sum, _mm256_mul_epi32(Values(&history.first[t - 2 * i - 1]), Load(kMiddleByAge.age[i])));
    }
    const __m256i q = OutputValues(sum);  // the results in the low halves of the lanes
    const __m128i low = _mm256_castsi256_si128(q), high = _mm256_extracti128_si256(q, 1);
    out[32 * n + 16] = _mm_cvtsi128_si32(low);
    out[32 * n + 48] = _mm_extract_epi32(low, 2);
    out[32 * n + 80] = _mm_cvtsi128_si32(high);
    out[32 * n + 112] = _mm_extract_epi32(high, 2);
  }
  for (; n < count; ++n) out[32 * n + 16] = Middle(history, index + n);
}

#endif  // QUORVEL_HAVE_X86_KERNELS

}  // namespace quorvel
