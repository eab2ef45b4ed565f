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

// The cosines and the windows with each value in all four 64-bit lanes, as
// vpmuldq's memory operands.
struct Lanes {
  alignas(32) int64_t cosine[18][18][4];  // [row][k]
  alignas(32) int64_t window[3][36][4];
};

const Lanes& TableLanes() {
  static const Lanes lanes = [] {
    Lanes l{};
    for (int lane = 0; lane < 4; ++lane) {
      for (int j = 0; j < 18; ++j) {
        for (int k = 0; k < 18; ++k) l.cosine[j][k][lane] = kImdctCosQ28[j][k];
      }
      for (int type = 0; type < 3; ++type) {
        for (int i = 0; i < 36; ++i) l.window[type][i][lane] = kImdctWindowQ28[type][i];
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

// A row's sum r (Q56) for its windows: r rounded to Q28 is high 2^28 +
// low with low < 2^28, high in the low 32 bits of each lane (the rest is
// ignored by vpmuldq).
struct SplitRow {
  __m256i high, low;
};

QUORVEL_TARGET_AVX2 inline SplitRow Split(__m256i sum) {
  const __m256i t = _mm256_add_epi64(sum, _mm256_set1_epi64x(int64_t{1} << 27));
  return {_mm256_shuffle_epi32(_mm256_srai_epi32(t, 24), _MM_SHUFFLE(3, 3, 1, 1)),
          _mm256_and_si256(_mm256_srli_epi64(t, 28), _mm256_set1_epi64x((int64_t{1} << 28) - 1))};
}

// The rounded product of a split row with a window value (Q28, in every
// lane of w).
QUORVEL_TARGET_AVX2 inline __m256i Window(const SplitRow& r, const int64_t* w) {
  const __m256i wv = _mm256_load_si256(reinterpret_cast<const __m256i*>(w));
  const __m256i half = _mm256_set1_epi64x(int64_t{1} << 27);
  const __m256i low = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(r.low, wv), half), 28);
  return _mm256_add_epi64(_mm256_mul_epi32(r.high, wv), low);
}

// The sums of nine rows over the 18 lines, Q56.
QUORVEL_TARGET_AVX2 inline void NineRows(const __m256i* x, const int64_t (*cosine)[18][4], __m256i* sum) {
  __m256i s[9];
#pragma GCC unroll 9
  for (int j = 0; j < 9; ++j)
    s[j] = _mm256_mul_epi32(x[0], _mm256_load_si256(reinterpret_cast<const __m256i*>(cosine[j][0])));
#pragma GCC unroll 1
  for (int k = 1; k < 18; ++k) {
    const __m256i xk = x[k];
#pragma GCC unroll 9
    for (int j = 0; j < 9; ++j) {
      s[j] = _mm256_add_epi64(s[j],
                              _mm256_mul_epi32(xk, _mm256_load_si256(reinterpret_cast<const __m256i*>(cosine[j][k]))));
    }
  }
#pragma GCC unroll 9
  for (int j = 0; j < 9; ++j) sum[j] = s[j];
}

// Slot `slot` of the four subbands: y plus the overlap to out (negated in
// the odd subbands' lanes where the slot is odd), the second half's value
// to the overlap.
QUORVEL_TARGET_AVX2 inline void Slot(__m256i y, __m256i second, __m256i negate, Q28* prev, Q28* out) {
  __m256i sum = _mm256_add_epi64(y, _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev))));
  sum = _mm256_sub_epi64(_mm256_xor_si256(sum, negate), negate);
  StoreLowHalves(out, Saturate(sum));
  StoreLowHalves(prev, Saturate(second));
}

// The group's lines below kSmallLine in magnitude keep every row, and so
// every windowed output, inside 32 bits: a row's cosines sum to at most
// 11.76 x 2^28 in magnitude, so |r| <= 11.76 x 2^27 + 1 < 2^31, and a window
// value (at most 2^28) only shrinks it. Then a row needs no split, the second
// half no saturation, and only the overlap-add's sum can leave 32 bits.
constexpr int32_t kSmallLine = int32_t{1} << 27;

// y + 2^35 for a row r (in the low 32 bits of each lane) and a window value:
// see ImdctLong4Small.
QUORVEL_TARGET_AVX2 inline __m256i SmallWindow(__m256i r, const int64_t* w, __m256i roundOffset) {
  const __m256i p = _mm256_mul_epi32(r, _mm256_load_si256(reinterpret_cast<const __m256i*>(w)));
  return _mm256_srli_epi64(_mm256_add_epi64(p, roundOffset), 28);
}

// A slot's sum, negated in the lanes of `negate`, saturated, to dst[0..3].
QUORVEL_TARGET_AVX2 inline void NegateSaturateStore(__m256i s, __m256i negate, Q28* dst) {
  StoreLowHalves(dst, Saturate(_mm256_sub_epi64(_mm256_xor_si256(s, negate), negate)));
}

// The four subbands with small lines (see kSmallLine): the same values as
// below, fewer steps. A row r = (sum + 2^27) >> 28 is in the low 32 bits of
// each lane after a logical shift (r fits in them). A windowed output y =
// (r w + 2^27) >> 28 is found as y + 2^35 = (r w + 2^27 + 2^63) >>> 28: the
// wrapped 2^63 makes the shifted value non-negative, so the logical shift
// gives it exactly, and the 2^35 is taken off the overlap it is added to.
QUORVEL_TARGET_AVX2 void ImdctLong4Small(const __m256i* sum, int sb, const int64_t (*w)[4], Q28* overlap,
                                         Q28* out) {
  const __m256i roundRow = _mm256_set1_epi64x(int64_t{1} << 27);
  const __m256i roundOffset = _mm256_set1_epi64x(static_cast<int64_t>((uint64_t{1} << 63) | (uint64_t{1} << 27)));
  const __m256i offset = _mm256_set1_epi64x(int64_t{1} << 35);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i odd = (sb & 1) ? _mm256_setr_epi64x(-1, 0, -1, 0) : _mm256_setr_epi64x(0, -1, 0, -1);
  for (int i = 0; i < 9; ++i) {
    const __m256i first = _mm256_srli_epi64(_mm256_add_epi64(sum[i], roundRow), 28);
    const __m256i second = _mm256_srli_epi64(_mm256_add_epi64(sum[9 + i], roundRow), 28);
    const __m256i evenNegate = (i & 1) ? odd : zero, oddNegate = (i & 1) ? zero : odd;
    // Outputs i and 17 - i (the latter negated) with y + 2^35 each; every
    // window value is loaded before the first store.
    const __m256i y0 = SmallWindow(first, w[i], roundOffset), y17 = SmallWindow(first, w[17 - i], roundOffset);
    const __m256i y18 = SmallWindow(second, w[18 + i], roundOffset), y35 = SmallWindow(second, w[35 - i], roundOffset);
    Q28* prev0 = overlap + 32 * i + sb;
    Q28* prev17 = overlap + 32 * (17 - i) + sb;
    const __m256i p0 = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev0)));
    const __m256i p17 = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev17)));
    // y + prev = (y + 2^35) + (prev - 2^35); -y + prev = (prev + 2^35) - (y + 2^35).
    NegateSaturateStore(_mm256_add_epi64(y0, _mm256_sub_epi64(p0, offset)), evenNegate, out + 32 * i + sb);
    NegateSaturateStore(_mm256_sub_epi64(_mm256_add_epi64(p17, offset), y17), oddNegate, out + 32 * (17 - i) + sb);
    // The second half fits in 32 bits: its low halves less the 2^35.
    StoreLowHalves(prev0, y18);
    StoreLowHalves(prev17, y35);
  }
}

QUORVEL_TARGET_AVX2 void ImdctLong4(const Q28* xr, int sb, int type, Q28* overlap, Q28* out) {
  const Lanes& lanes = TableLanes();
  const __m128i stride = _mm_setr_epi32(0, 18, 36, 54);
  __m256i x[18];
  __m128i largest = _mm_setzero_si128();  // unsigned |line|: INT32_MIN's is 2^31
#pragma GCC unroll 18
  for (int k = 0; k < 18; ++k) {
    const __m128i g = _mm_i32gather_epi32(xr + 18 * sb + k, stride, 4);
    largest = _mm_max_epu32(largest, _mm_abs_epi32(g));
    x[k] = _mm256_cvtepi32_epi64(g);
  }
  __m256i sum[18];
  NineRows(x, lanes.cosine, sum);
  NineRows(x, lanes.cosine + 9, sum + 9);
  const int64_t(*w)[4] = lanes.window[type];
  if (_mm_testz_si128(largest, _mm_set1_epi32(-kSmallLine))) {
    ImdctLong4Small(sum, sb, w, overlap, out);
    return;
  }
  const __m256i zero = _mm256_setzero_si256();
  // Frequency inversion: the odd subbands' lanes, negated in odd slots;
  // slots i and 17 - i are one even and one odd.
  const __m256i odd = (sb & 1) ? _mm256_setr_epi64x(-1, 0, -1, 0) : _mm256_setr_epi64x(0, -1, 0, -1);
  for (int i = 0; i < 9; ++i) {
    // Row i gives outputs i and 17 - i (negated), row 9 + i outputs 18 + i
    // and 35 - i: slots i and 17 - i with their overlap.
    const SplitRow first = Split(sum[i]), second = Split(sum[9 + i]);
    const __m256i evenNegate = (i & 1) ? odd : zero, oddNegate = (i & 1) ? zero : odd;
    // Every window value is loaded before the first store (which may alias
    // anything), so that the compiler need not copy the table beforehand.
    const __m256i y0 = Window(first, w[i]), y18 = Window(second, w[18 + i]);
    const __m256i y17 = _mm256_sub_epi64(zero, Window(first, w[17 - i])), y35 = Window(second, w[35 - i]);
    Slot(y0, y18, evenNegate, overlap + 32 * i + sb, out + 32 * i + sb);
    Slot(y17, y35, oddNegate, overlap + 32 * (17 - i) + sb, out + 32 * (17 - i) + sb);
  }
}

// (t + 2^30) >> 31 saturated to 32 bits, in the low half of each lane:
// clamping t + 2^30 to [-2^62, 2^62) clamps the shifted value to 32 bits,
// whose bits a logical shift finds as well.
QUORVEL_TARGET_AVX2 inline __m256i RoundQ31Saturated(__m256i t) {
  const __m256i high = _mm256_set1_epi64x((int64_t{1} << 62) - 1), low = _mm256_set1_epi64x(-(int64_t{1} << 62));
  t = _mm256_add_epi64(t, _mm256_set1_epi64x(int64_t{1} << 30));
  t = _mm256_blendv_epi8(t, high, _mm256_cmpgt_epi64(t, high));
  t = _mm256_blendv_epi8(t, low, _mm256_cmpgt_epi64(low, t));
  return _mm256_srli_epi64(t, 31);
}

}  // namespace

QUORVEL_TARGET_AVX2 void ImdctLongAvx2(const Q28* xr, int begin, int end, int type, Q28* overlap, Q28* out) {
  int sb = begin;
  for (; sb + 4 <= end; sb += 4) ImdctLong4(xr, sb, type, overlap, out);
  if (sb < end) ImdctLongPlain(xr, sb, end, type, overlap, out);
}

// (t + 2^30) >> 31 in the low half of each lane where the result is known to
// fit in 32 bits: the low half of the logical shift is then the result.
QUORVEL_TARGET_AVX2 inline __m256i RoundQ31(__m256i t) {
  return _mm256_srli_epi64(_mm256_add_epi64(t, _mm256_set1_epi64x(int64_t{1} << 30)), 31);
}

// The eight butterflies of a boundary at once: the lines below it reversed
// into the lanes of their partners above, the even lanes' products and the
// odd lanes' (moved down) each in 64 bits. Where all sixteen lines lie below
// 2^30 in magnitude no result can saturate (|cs| + |ca| < 2^31.5, so every
// sum stays below 2^61.5 and every result below 2^30.5), and the rounding
// is two instructions rather than six.
QUORVEL_TARGET_AVX2 void AntialiasAvx2(Q28* xr, int boundaries) {
  const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  int32_t csLanes[8], caLanes[8];
  for (int i = 0; i < 8; ++i) {
    csLanes[i] = static_cast<int32_t>(kAntialiasCsQ31[i]);
    caLanes[i] = static_cast<int32_t>(kAntialiasCaQ31[i]);
  }
  const __m256i cs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(csLanes));
  const __m256i ca = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(caLanes));
  const __m256i csOdd = _mm256_srli_epi64(cs, 32), caOdd = _mm256_srli_epi64(ca, 32);
  for (int sb = 1; sb <= boundaries; ++sb) {
    Q28* x = xr + 18 * sb;
    const __m256i bd = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i bu =
        _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x - 8)), reverse);
    const __m256i bdOdd = _mm256_srli_epi64(bd, 32), buOdd = _mm256_srli_epi64(bu, 32);
    // |INT32_MIN| stays INT32_MIN, whose top bit sends it the saturating way.
    const __m256i magnitudes = _mm256_or_si256(_mm256_abs_epi32(bd), _mm256_abs_epi32(bu));
    if (_mm256_testz_si256(magnitudes, _mm256_set1_epi32(static_cast<int32_t>(0xC0000000u)))) [[likely]] {
      const __m256i upEven = RoundQ31(_mm256_sub_epi64(_mm256_mul_epi32(bu, cs), _mm256_mul_epi32(bd, ca)));
      const __m256i upOdd = RoundQ31(_mm256_sub_epi64(_mm256_mul_epi32(buOdd, csOdd), _mm256_mul_epi32(bdOdd, caOdd)));
      const __m256i downEven = RoundQ31(_mm256_add_epi64(_mm256_mul_epi32(bd, cs), _mm256_mul_epi32(bu, ca)));
      const __m256i downOdd =
          RoundQ31(_mm256_add_epi64(_mm256_mul_epi32(bdOdd, csOdd), _mm256_mul_epi32(buOdd, caOdd)));
      const __m256i up = _mm256_blend_epi32(upEven, _mm256_slli_epi64(upOdd, 32), 0xAA);
      const __m256i down = _mm256_blend_epi32(downEven, _mm256_slli_epi64(downOdd, 32), 0xAA);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(x), down);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(x - 8), _mm256_permutevar8x32_epi32(up, reverse));
      continue;
    }
    const __m256i upEven = RoundQ31Saturated(_mm256_sub_epi64(_mm256_mul_epi32(bu, cs), _mm256_mul_epi32(bd, ca)));
    const __m256i upOdd =
        RoundQ31Saturated(_mm256_sub_epi64(_mm256_mul_epi32(buOdd, csOdd), _mm256_mul_epi32(bdOdd, caOdd)));
    const __m256i downEven = RoundQ31Saturated(_mm256_add_epi64(_mm256_mul_epi32(bd, cs), _mm256_mul_epi32(bu, ca)));
    const __m256i downOdd =
        RoundQ31Saturated(_mm256_add_epi64(_mm256_mul_epi32(bdOdd, csOdd), _mm256_mul_epi32(buOdd, caOdd)));
    const __m256i up = _mm256_blend_epi32(upEven, _mm256_slli_epi64(upOdd, 32), 0xAA);
    const __m256i down = _mm256_blend_epi32(downEven, _mm256_slli_epi64(downOdd, 32), 0xAA);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x), down);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x - 8), _mm256_permutevar8x32_epi32(up, reverse));
  }
}

namespace {

// The short blocks' windowed cosines with each value in all four 64-bit
// lanes, as vpmuldq's memory operands: [i][k], output i of a window from its
// line k.
struct ShortLanes {
  alignas(32) int64_t cosine[12][6][4];
};

const ShortLanes& ShortTableLanes() {
  static const ShortLanes lanes = [] {
    ShortLanes l{};
    for (int i = 0; i < 12; ++i) {
      for (int k = 0; k < 6; ++k) {
        for (int lane = 0; lane < 4; ++lane) l.cosine[i][k][lane] = kImdctShortQ28[i][k];
      }
    }
    return l;
  }();
  return lanes;
}

// A 64-bit sum per lane, negated in the lanes of `negate`, saturated, to
// dst[0..3].
QUORVEL_TARGET_AVX2 inline void StoreShortSlot(Q28* dst, __m256i sum, __m256i negate) {
  StoreLowHalves(dst, Saturate(_mm256_sub_epi64(_mm256_xor_si256(sum, negate), negate)));
}

// Output i of one short window from its six lines: the exact Q56 sum.
QUORVEL_TARGET_AVX2 inline __m256i ShortRow(const __m256i* x, const int64_t (*cosine)[4]) {
  __m256i sum = _mm256_mul_epi32(x[0], _mm256_load_si256(reinterpret_cast<const __m256i*>(cosine[0])));
#pragma GCC unroll 5
  for (int k = 1; k < 6; ++k) {
    sum = _mm256_add_epi64(sum, _mm256_mul_epi32(x[k], _mm256_load_si256(reinterpret_cast<const __m256i*>(cosine[k]))));
  }
  return sum;
}

// The short IMDCTs of four subbands whose lines all lie below kSmallLine in
// magnitude. Each window's outputs sum at most six products of a line with
// a value of at most 2^28, and two windows overlap, so |q| < 3 x 2^57 and
// the rounded output y < 2^31: y + 2^35 = (q + 2^27 + 2^63) >>> 28 exactly,
// as in ImdctLong4Small, and the second half is stored without saturation.
QUORVEL_TARGET_AVX2 void ImdctShort4Small(const __m256i* x, int sb, Q28* overlap, Q28* out) {
  const ShortLanes& lanes = ShortTableLanes();
  const __m256i roundOffset = _mm256_set1_epi64x(static_cast<int64_t>((uint64_t{1} << 63) | (uint64_t{1} << 27)));
  const __m256i offset = _mm256_set1_epi64x(int64_t{1} << 35);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i odd = (sb & 1) ? _mm256_setr_epi64x(-1, 0, -1, 0) : _mm256_setr_epi64x(0, -1, 0, -1);
  // Output slot p (0..35) with its Q56 sum q: the first half adds the
  // overlap, the second half becomes it.
  auto emit = [&](int p, __m256i q) QUORVEL_TARGET_AVX2 {
    const __m256i biased = _mm256_srli_epi64(_mm256_add_epi64(q, roundOffset), 28);  // y + 2^35
    if (p < 18) {
      Q28* prev = overlap + 32 * p + sb;
      const __m256i previous = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev)));
      StoreShortSlot(out + 32 * p + sb, _mm256_add_epi64(biased, _mm256_sub_epi64(previous, offset)),
                     (p & 1) ? odd : zero);
    } else {
      StoreLowHalves(overlap + 32 * (p - 18) + sb, biased);
    }
  };
  // Slots 0..5 take the overlap alone.
  for (int p = 0; p < 6; ++p) {
    Q28* prev = overlap + 32 * p + sb;
    StoreShortSlot(out + 32 * p + sb, _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev))),
                   (p & 1) ? odd : zero);
  }
  // Window w covers slots 6 + 6w .. 17 + 6w; its second six outputs wait
  // for the next window's first six.
  __m256i carry[6];
  for (int w = 0; w < 3; ++w) {
    const __m256i* lines = x + 6 * w;
    for (int i = 0; i < 6; ++i) {
      const __m256i q = ShortRow(lines, lanes.cosine[i]);
      emit(6 + 6 * w + i, w == 0 ? q : _mm256_add_epi64(q, carry[i]));
    }
    for (int i = 0; i < 6; ++i) carry[i] = ShortRow(lines, lanes.cosine[6 + i]);
  }
  for (int i = 0; i < 6; ++i) emit(24 + i, carry[i]);
  // Slots 30..35 of the second half are zero.
  for (int p = 30; p < 36; ++p) _mm_storeu_si128(reinterpret_cast<__m128i*>(overlap + 32 * (p - 18) + sb), _mm_setzero_si128());
}

}  // namespace

QUORVEL_TARGET_AVX2 void ImdctShortAvx2(const Q28* xr, int begin, int end, Q28* overlap, Q28* out) {
  const __m128i stride = _mm_setr_epi32(0, 18, 36, 54);
  int sb = begin;
  for (; sb + 4 <= end; sb += 4) {
    __m256i x[18];
    __m128i largest = _mm_setzero_si128();  // unsigned |line|: INT32_MIN's is 2^31
#pragma GCC unroll 18
    for (int k = 0; k < 18; ++k) {
      const __m128i g = _mm_i32gather_epi32(xr + 18 * sb + k, stride, 4);
      largest = _mm_max_epu32(largest, _mm_abs_epi32(g));
      x[k] = _mm256_cvtepi32_epi64(g);
    }
    if (_mm_testz_si128(largest, _mm_set1_epi32(-kSmallLine))) {
      ImdctShort4Small(x, sb, overlap, out);
    } else {
      ImdctShortPlain(xr, sb, sb + 4, overlap, out);
    }
  }
  if (sb < end) ImdctShortPlain(xr, sb, end, overlap, out);
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_X86_KERNELS
