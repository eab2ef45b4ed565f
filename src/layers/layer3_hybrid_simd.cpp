// The long IMDCT in AVX2, four subbands at a time, one in each 64-bit lane:
// vpmuldq forms the exact products of the 32-bit lines with the Q28
// cosines, so the rows sum exactly as in ImdctLongPlain. AVX2 has no 64-bit
// arithmetic shift: a row r = (sum + 2^27) >> 28 enters its window as r =
// high 2^28 + low, high = (sum + 2^27) >> 56 from the top 32 bits of each
// lane, low = the 28 bits below (non-negative, so a logical shift finds
// them), and r w = high w 2^28 + low w: the same rounded product as the
// plain (r w + 2^27) >> 28, from two 32-bit multiplications.
#include "layers/layer3_hybrid_x86.h"
#include "simd_target.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>

#include "layers/layer3_tables.h"

namespace quorvel {

namespace {

// The cosines with each value in all four 64-bit lanes, for vpmuldq.
struct CosineLanes {
  alignas(32) int64_t value[18][18][4];
};

const CosineLanes& Cosines() {
  static const CosineLanes lanes = [] {
    CosineLanes l{};
    for (int j = 0; j < 18; ++j) {
      for (int k = 0; k < 18; ++k) {
        for (int lane = 0; lane < 4; ++lane) l.value[j][k][lane] = kImdctCosQ28[j][k];
      }
    }
    return l;
  }();
  return lanes;
}

QUORVEL_TARGET_AVX2 inline __m256i Saturate(__m256i v) {
  const __m256i high = _mm256_set1_epi64x(INT32_MAX), low = _mm256_set1_epi64x(INT32_MIN);
  v = _mm256_blendv_epi8(v, high, _mm256_cmpgt_epi64(v, high));
  return _mm256_blendv_epi8(v, low, _mm256_cmpgt_epi64(low, v));
}

// The low halves of the four 64-bit lanes to p[0..3].
QUORVEL_TARGET_AVX2 inline void StoreLowHalves(Q28* p, __m256i v) {
  const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, pick)));
}

// A row split for its windows: high in the low 32 bits of each lane (the
// rest is ignored by vpmuldq), low < 2^28.
struct SplitRow {
  __m256i high, low;
};

// The rounded product of a split row with the window value w (Q28).
QUORVEL_TARGET_AVX2 inline __m256i Window(const SplitRow& r, int64_t w) {
  const __m256i wv = _mm256_set1_epi64x(w);
  const __m256i half = _mm256_set1_epi64x(int64_t{1} << 27);
  const __m256i low = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(r.low, wv), half), 28);
  return _mm256_add_epi64(_mm256_mul_epi32(r.high, wv), low);
}

QUORVEL_TARGET_AVX2 void ImdctLong4(const Q28* xr, int sb, const int64_t* w, Q28* overlap, Q28* out) {
  const CosineLanes& cos = Cosines();
  const __m128i stride = _mm_setr_epi32(0, 18, 36, 54);
  __m256i x[18];
  for (int k = 0; k < 18; ++k) x[k] = _mm256_cvtepi32_epi64(_mm_i32gather_epi32(xr + 18 * sb + k, stride, 4));
  const __m256i half = _mm256_set1_epi64x(int64_t{1} << 27);
  const __m256i lowMask = _mm256_set1_epi64x((int64_t{1} << 28) - 1);
  SplitRow r[18];
  for (int j = 0; j < 18; ++j) {
    const auto* c = reinterpret_cast<const __m256i*>(cos.value[j]);
    __m256i sum = _mm256_mul_epi32(x[0], _mm256_load_si256(c));
    for (int k = 1; k < 18; ++k) sum = _mm256_add_epi64(sum, _mm256_mul_epi32(x[k], _mm256_load_si256(c + k)));
    const __m256i t = _mm256_add_epi64(sum, half);
    r[j].low = _mm256_and_si256(_mm256_srli_epi64(t, 28), lowMask);
    r[j].high = _mm256_shuffle_epi32(_mm256_srai_epi32(t, 24), _MM_SHUFFLE(3, 3, 1, 1));
  }
  __m256i y[36];
  const __m256i zero = _mm256_setzero_si256();
  for (int i = 0; i < 9; ++i) {
    y[i] = Window(r[i], w[i]);
    y[17 - i] = _mm256_sub_epi64(zero, Window(r[i], w[17 - i]));
    y[18 + i] = Window(r[9 + i], w[18 + i]);
    y[35 - i] = Window(r[9 + i], w[35 - i]);
  }
  // Frequency inversion: the odd subbands' lanes, negated in odd slots.
  const __m256i odd = (sb & 1) ? _mm256_setr_epi64x(-1, 0, -1, 0) : _mm256_setr_epi64x(0, -1, 0, -1);
  for (int i = 0; i < 18; ++i) {
    Q28* prev = overlap + 32 * i + sb;
    __m256i sum = _mm256_add_epi64(y[i], _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev))));
    if (i & 1) sum = _mm256_sub_epi64(_mm256_xor_si256(sum, odd), odd);
    StoreLowHalves(out + 32 * i + sb, Saturate(sum));
    StoreLowHalves(prev, Saturate(y[18 + i]));
  }
}

}  // namespace

QUORVEL_TARGET_AVX2 void ImdctLongAvx2(const Q28* xr, int begin, int end, int type, Q28* overlap, Q28* out) {
  const int64_t* w = kImdctWindowQ28[type];
  int sb = begin;
  for (; sb + 4 <= end; sb += 4) ImdctLong4(xr, sb, w, overlap, out);
  if (sb < end) ImdctLongPlain(xr, sb, end, type, overlap, out);
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_X86_KERNELS
