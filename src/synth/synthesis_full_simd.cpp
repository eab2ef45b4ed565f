// The full tier's windowing in AVX2: the eight history columns of a parity
// times eight coefficients as 32 x 32 -> 64-bit products (vpmuldq takes the
// even columns, and after a 32-bit shift the odd ones), four 64-bit partial
// sums per term, then one reduction for every four outputs. The same sums as
// FullWindowSlotPlain, so the same bits; tests/full_tier_test.cpp checks it.
#include <utility>

#include "simd_target.h"
#include "synth/synthesis_full.h"
#include "synth/synthesis_x86.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>
#endif

namespace quorvel {

#if QUORVEL_HAVE_X86_KERNELS

namespace {

// Coefficients of FullWindowSlotPlain's lanes, split by column parity and
// widened to 64-bit lanes: lo[..][i] meets column 2i, hi[..][i] column 2i + 1.
struct FullWindowWideLanes {
  alignas(32) int64_t revLo[17][16][4];
  alignas(32) int64_t revHi[17][16][4];
  alignas(32) int64_t fwdLo[17][16][4];
  alignas(32) int64_t fwdHi[17][16][4];
};

FullWindowWideLanes MakeWideLanes() {
  FullWindowWideLanes w{};
  for (int k = 0; k < 17; ++k) {
    for (int s = 0; s < 16; ++s) {
      for (int i = 0; i < 4; ++i) {
        w.revLo[k][s][i] = SynthesisWindowQ16[k][s + 2 * ((8 - 2 * i) & 7)];
        w.revHi[k][s][i] = SynthesisWindowQ16[k][s + 2 * ((8 - 2 * i - 1) & 7)];
        w.fwdLo[k][s][i] = SynthesisWindowQ16[k][15 - s + 4 * i];
        w.fwdHi[k][s][i] = SynthesisWindowQ16[k][15 - s + 4 * i + 2];
      }
    }
  }
  return w;
}

const FullWindowWideLanes kWide = MakeWideLanes();

}  // namespace

namespace {

QUORVEL_TARGET_AVX2 inline __m256i Load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// values . coefficients as four 64-bit partial sums; `high` is values >> 32.
QUORVEL_TARGET_AVX2 inline __m256i Dot(__m256i values, __m256i high, const int64_t* lo, const int64_t* hi) {
  return _mm256_add_epi64(_mm256_mul_epi32(values, Load(lo)), _mm256_mul_epi32(high, Load(hi)));
}

// Four partial-sum vectors to the four totals, in order, rounded to Q28 and
// saturated like OutputValue: the sums are clamped to the range whose
// rounding fits 32 bits, so that the low half of a logical shift is the
// result.
QUORVEL_TARGET_AVX2 inline void Store4(Q28* out, __m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i ab = _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
  const __m256i cd = _mm256_add_epi64(_mm256_unpacklo_epi64(c, d), _mm256_unpackhi_epi64(c, d));
  __m256i sums = _mm256_add_epi64(_mm256_permute2x128_si256(ab, cd, 0x20), _mm256_permute2x128_si256(ab, cd, 0x31));
  const __m256i low = _mm256_set1_epi64x(-(int64_t{1} << 43));
  const __m256i high = _mm256_set1_epi64x((int64_t{1} << 43) - 2049);
  sums = _mm256_blendv_epi8(sums, low, _mm256_cmpgt_epi64(low, sums));
  sums = _mm256_blendv_epi8(sums, high, _mm256_cmpgt_epi64(sums, high));
  sums = _mm256_srli_epi64(_mm256_add_epi64(sums, _mm256_set1_epi64x(2048)), 12);
  const __m256i packed = _mm256_permutevar8x32_epi32(sums, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
}

template <int N>
constexpr const int64_t* CosTable() {
  if constexpr (N == 32) return FullDctCos32;
  if constexpr (N == 16) return FullDctCos16;
  if constexpr (N == 8) return FullDctCos8;
  if constexpr (N == 4) return FullDctCos4;
  return FullDctCos2;
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

// FullTransform of synthesis_full.cpp, one slot per lane.
template <int N>
QUORVEL_TARGET_AVX2 inline void Transform4(const __m256i* x, __m256i* y) {
  if constexpr (N == 1) {
    y[0] = x[0];
  } else {
    constexpr int H = N / 2;
    const int64_t* c = CosTable<N>();
    __m256i g[H], h[H], e[H], o[H];
    for (int n = 0; n < H; ++n) {
      g[n] = _mm256_add_epi64(x[n], x[N - 1 - n]);
      h[n] = MulQ31x4(_mm256_sub_epi64(x[n], x[N - 1 - n]), _mm256_set1_epi64x(c[n]));
    }
    Transform4<H>(g, e);
    Transform4<H>(h, o);
    for (int m = 0; m < H; ++m) y[2 * m] = e[m];
    y[1] = o[0];
    for (int m = 1; m < H; ++m) y[2 * m + 1] = _mm256_sub_epi64(_mm256_add_epi64(o[m], o[m]), y[2 * m - 1]);
  }
}

}  // namespace

QUORVEL_TARGET_AVX2 void FullDct32x4Avx2(const Q28* slots, int count, int32_t out[32][4]) {
  const Q28* s[4];
  for (int j = 0; j < 4; ++j) s[j] = slots + 32 * (j < count ? j : 0);
  __m256i x[32], y[32];
  for (int k = 0; k < 32; ++k) {
    x[k] = _mm256_slli_epi64(_mm256_setr_epi64x(s[0][k], s[1][k], s[2][k], s[3][k]), 2);  // Q30
  }
  Transform4<32>(x, y);
  // HistoryValue: clamped to the range whose rounding fits 32 bits, the low
  // half of a logical shift is the result.
  const __m256i low = _mm256_set1_epi64x(-(int64_t{1} << 37));
  const __m256i high = _mm256_set1_epi64x((int64_t{1} << 37) - 33);
  const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (int m = 0; m < 32; ++m) {
    __m256i v = _mm256_blendv_epi8(y[m], low, _mm256_cmpgt_epi64(low, y[m]));
    v = _mm256_blendv_epi8(v, high, _mm256_cmpgt_epi64(v, high));
    v = _mm256_srli_epi64(_mm256_add_epi64(v, _mm256_set1_epi64x(32)), 6);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[m]), _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, pick)));
  }
}

namespace {

// The front and back sums of window row k (1..15) into part[k] and part[32 - k].
template <int K>
QUORVEL_TARGET_AVX2 inline void WindowRow(const ChannelHistory& h, int own, int other, int e, int f, __m256i* part) {
  const __m256i even = Load(h.upper[own][K]);
  const __m256i odd = Load(h.lower[other][K - 1]);
  const __m256i evenHigh = _mm256_srli_epi64(even, 32);
  const __m256i oddHigh = _mm256_srli_epi64(odd, 32);
  part[K] = _mm256_sub_epi64(Dot(even, evenHigh, kWide.revLo[K][e], kWide.revHi[K][e]),
                             Dot(odd, oddHigh, kWide.revLo[K][f], kWide.revHi[K][f]));
  part[32 - K] = _mm256_add_epi64(Dot(even, evenHigh, kWide.fwdLo[K][e], kWide.fwdHi[K][e]),
                                  Dot(odd, oddHigh, kWide.fwdLo[K][f], kWide.fwdHi[K][f]));
}

template <int... K>
QUORVEL_TARGET_AVX2 inline void WindowRows(const ChannelHistory& h, int own, int other, int e, int f, __m256i* part,
                                           std::integer_sequence<int, K...>) {
  (WindowRow<K + 1>(h, own, other, e, f, part), ...);
}

}  // namespace

QUORVEL_TARGET_AVX2 void FullWindowSlotAvx2(const ChannelHistory& h, int b, Q28 out[32]) {
  const int own = b & 1, other = own ^ 1;
  const int e = b & 14, f = ((b + 15) & 14) | 1;
  alignas(32) __m256i part[32];  // the partial sums of out[j]
  {
    const __m256i even = Load(h.upper[own][0]);
    const __m256i odd = Load(h.upper[other][0]);
    part[0] = _mm256_sub_epi64(Dot(even, _mm256_srli_epi64(even, 32), kWide.revLo[0][e], kWide.revHi[0][e]),
                               Dot(odd, _mm256_srli_epi64(odd, 32), kWide.revLo[0][f], kWide.revHi[0][f]));
  }
  WindowRows(h, own, other, e, f, part, std::make_integer_sequence<int, 15>{});
  const __m256i last = Load(h.lower[other][15]);
  part[16] = _mm256_sub_epi64(_mm256_setzero_si256(),
                              Dot(last, _mm256_srli_epi64(last, 32), kWide.revLo[16][f], kWide.revHi[16][f]));
  for (int j = 0; j < 32; j += 4) Store4(out + j, part[j], part[j + 1], part[j + 2], part[j + 3]);
}

#endif  // QUORVEL_HAVE_X86_KERNELS

}  // namespace quorvel
