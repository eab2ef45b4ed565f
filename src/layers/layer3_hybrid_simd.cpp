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

#include "layers/layer3_imdct_shared.h"
#include "layers/layer3_tables.h"

namespace quorvel {

namespace {

// The cosines and the windows with each value in all four 64-bit lanes, as
// vpmuldq's memory operands.
struct Lanes {
  alignas(32) int64_t cosine[18][18][4];  // [row][k]
  alignas(32) int64_t window[3][36][4];
  // The short blocks' windowed cosines: [i][k], output i of a window from
  // its line k.
  alignas(32) int64_t shortCosine[12][6][4];
  // The plain rows' paired cosines (layer3_imdct_shared.h) in the order
  // SharedRows takes them: [column pair][row pair] a + b, a - b.
  alignas(32) int64_t pairedByColumn[6][6][2][4];
  // The cosines of a row pair over two column pairs and two fixed columns
  // (layer3_imdct_shared.h): [column pair] a + b, a - b; [fixed column]
  // twice the cosine. For the pattern pairs and the pairs of triple rows.
  struct RowPairCosines {
    alignas(32) int64_t paired[2][2][4];
    alignas(32) int64_t fixed[2][4];
  };
  RowPairCosines patternPair[imdct_shared::kPatternPairs];
  RowPairCosines tripleRowPair[2];
  // [u][kNinefoldRows[n]]: twice the cosine of the sum of nine lines u.
  alignas(32) int64_t ninefoldCosine[2][2][4];
  // The first halves of the windows with the signs of their outputs folded
  // in, and the roundings that give those outputs exactly (see
  // ImdctLong4Small): [parity of the first subband][window type][output n].
  alignas(32) int64_t signedWindow[2][3][18][4];
  alignas(32) int64_t signedRounding[2][18][4];
  alignas(32) int64_t half[4];  // 2^27
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
      for (int i = 0; i < 12; ++i) {
        for (int k = 0; k < 6; ++k) l.shortCosine[i][k][lane] = kImdctShortQ28[i][k];
      }
      for (int oddFirst = 0; oddFirst < 2; ++oddFirst) {
        for (int n = 0; n < 18; ++n) {
          // Output n goes to slot n, negated in the odd subbands of an odd
          // slot (f), and from the row negated where n >= 9 (s).
          const bool f = ((oddFirst + lane) & 1) && (n & 1), s = n >= 9;
          for (int type = 0; type < 3; ++type) {
            l.signedWindow[oddFirst][type][n][lane] = (f != s ? -1 : 1) * kImdctWindowQ28[type][n];
          }
          l.signedRounding[oddFirst][n][lane] = (int64_t{1} << 27) - (f != s ? 1 : 0) + (f ? int64_t{1} << 28 : 0);
        }
      }
      l.half[lane] = int64_t{1} << 27;
      using namespace imdct_shared;
      for (int c = 0; c < 6; ++c) {
        for (int r = 0; r < 6; ++r) {
          const Pair &rows = kPlainRowPairs[r], &columns = kPlainColumnPairs[c];
          const int64_t a = kImdctCosQ28[rows.first][columns.first];
          const int64_t b = columns.sign * kImdctCosQ28[rows.first][columns.second];
          l.pairedByColumn[c][r][0][lane] = a + b;
          l.pairedByColumn[c][r][1][lane] = a - b;
        }
      }
      auto rowPair = [lane](Lanes::RowPairCosines& c, int j, const Pair* columns, const int* fixed) {
        for (int p = 0; p < 2; ++p) {
          const int64_t a = kImdctCosQ28[j][columns[p].first], b = columns[p].sign * kImdctCosQ28[j][columns[p].second];
          c.paired[p][0][lane] = a + b;
          c.paired[p][1][lane] = a - b;
          c.fixed[p][lane] = 2 * kImdctCosQ28[j][fixed[p]];
        }
      };
      for (int q = 0; q < kPatternPairs; ++q) {
        rowPair(l.patternPair[q], kPlainRowPairs[q].first, kThirdColumnPairs, kThirdFixedColumns);
      }
      for (int q = 0; q < 2; ++q) rowPair(l.tripleRowPair[q], kTripleRowPairs[q].first, kTriplePairs, kFixedTriples);
      for (int u = 0; u < 2; ++u) {
        for (int n = 0; n < 2; ++n) {
          l.ninefoldCosine[u][n][lane] = 2 * kImdctCosQ28[kNinefoldRows[n]][kNinefoldColumn[u]];
        }
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
// half no saturation, and only the overlap-add's sum can leave 32 bits. A sum
// of nine such lines stays inside 32 bits too, so the rows may add lines that
// share a cosine before they multiply (layer3_imdct_shared.h).
constexpr int32_t kSmallLine = int32_t{1} << 27;

// Whether the 72 lines of the four subbands from `lines` are all below
// kSmallLine in magnitude (INT32_MIN's magnitude has its top bit set).
QUORVEL_TARGET_AVX2 inline bool LinesAreSmall(const Q28* lines) {
  __m256i any = _mm256_setzero_si256();
#pragma GCC unroll 9
  for (int q = 0; q < 9; ++q) {
    any = _mm256_or_si256(any, _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lines + 8 * q))));
  }
  return _mm256_testz_si256(any, _mm256_set1_epi32(-kSmallLine));
}

// Line k of the four subbands from `lines` in the low halves of the 64-bit
// lanes of x[k], as vpmuldq reads them; the high halves hold the next line.
// One gather fetches two lines: the odd line is the even one's high half.
QUORVEL_TARGET_AVX2 inline void GatherLines(const Q28* lines, __m256i* x) {
  const __m128i stride = _mm_setr_epi32(0, 18, 36, 54);
#pragma GCC unroll 9
  for (int k = 0; k < 18; k += 2) {
    const __m256i pair = _mm256_i32gather_epi64(reinterpret_cast<const long long*>(lines + k), stride, 4);
    x[k] = pair;
    x[k + 1] = _mm256_srli_epi64(pair, 32);
  }
}

// The product of v's low halves with a cosine in every lane of c.
QUORVEL_TARGET_AVX2 inline __m256i Product(__m256i v, const int64_t* c) {
  return _mm256_mul_epi32(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(c)));
}

// v plus `sign` times a.
QUORVEL_TARGET_AVX2 inline __m256i AddSigned(__m256i v, __m256i a, int sign) {
  return sign > 0 ? _mm256_add_epi64(v, a) : _mm256_sub_epi64(v, a);
}

// The sums U and V of the six row pairs plus their products with the sum
// and the difference of one column pair.
QUORVEL_TARGET_AVX2 inline void AddColumnPair(__m256i* u, __m256i* v, __m256i sum, __m256i difference,
                                              const int64_t (*cosines)[2][4]) {
#pragma GCC unroll 6
  for (int r = 0; r < 6; ++r) {
    u[r] = _mm256_add_epi64(u[r], Product(sum, cosines[r][0]));
    v[r] = _mm256_add_epi64(v[r], Product(difference, cosines[r][1]));
  }
}

// U and V of a row pair over two column pairs (their lines' sums and
// differences) and two fixed columns (layer3_imdct_shared.h): twice the
// first row is U + V, twice the second sign (U - V).
struct PairSums {
  __m256i u, v;
};

QUORVEL_TARGET_AVX2 inline PairSums RowPair(const __m256i* sums, const __m256i* differences, __m256i fixed0,
                                            __m256i fixed1, const Lanes::RowPairCosines& c) {
  const __m256i fixed = _mm256_add_epi64(Product(fixed0, c.fixed[0]), Product(fixed1, c.fixed[1]));
  return {_mm256_add_epi64(_mm256_add_epi64(fixed, Product(sums[0], c.paired[0][0])), Product(sums[1], c.paired[1][0])),
          _mm256_add_epi64(Product(differences[0], c.paired[0][1]), Product(differences[1], c.paired[1][1]))};
}

// The sum and the difference of a column pair's lines, x1 +- sign x2.
QUORVEL_TARGET_AVX2 inline void SumAndDifference(__m256i x1, __m256i x2, int sign, __m256i& sum,
                                                 __m256i& difference) {
  sum = AddSigned(x1, x2, sign);
  difference = AddSigned(x1, x2, -sign);
}

// Twice the 18 row sums of NineRows plus 2^28 (twice the rounding of a row
// to Q28) for lines below kSmallLine, with every product that rows share
// formed once (layer3_imdct_shared.h); x as GatherLines leaves it. Only the
// low halves of the lines and of the sums of lines are used, and those sums
// fit in them (sums of up to nine lines). The loop over the plain column
// pairs is kept so that its twelve sums stay in registers: unrolled, the
// compiler forms every product first.
QUORVEL_TARGET_AVX2 inline void SharedRows(const __m256i* x, const Lanes& lanes, __m256i* sum) {
  using namespace imdct_shared;
  const __m256i one = _mm256_set1_epi64x(int64_t{1} << 28), zero = _mm256_setzero_si256();
  // The plain column pairs' sums and differences (x1 +- sign x2).
  __m256i pairSum[6], pairDifference[6];
#pragma GCC unroll 6
  for (int c = 0; c < 6; ++c) {
    const Pair& columns = kPlainColumnPairs[c];
    const __m256i x1 = x[columns.first], x2 = x[columns.second];
    pairSum[c] = AddSigned(x1, x2, columns.sign);
    pairDifference[c] = AddSigned(x1, x2, -columns.sign);
  }
  // The third rows' triples of lines.
  __m256i triple[6];
#pragma GCC unroll 6
  for (int a = 0; a < 6; ++a) {
    triple[a] = _mm256_sub_epi64(_mm256_sub_epi64(x[a], x[11 - a]), x[12 + a]);
  }
  // The rows of triples in pairs (twice, from 2^28).
  __m256i tripleSum[2], tripleDifference[2];
#pragma GCC unroll 2
  for (int p = 0; p < 2; ++p) {
    const Pair& triples = kTriplePairs[p];
    SumAndDifference(triple[triples.first], triple[triples.second], triples.sign, tripleSum[p], tripleDifference[p]);
  }
#pragma GCC unroll 2
  for (int q = 0; q < 2; ++q) {
    const Pair& rows = kTripleRowPairs[q];
    const PairSums s = RowPair(tripleSum, tripleDifference, triple[kFixedTriples[0]], triple[kFixedTriples[1]],
                               lanes.tripleRowPair[q]);
    const __m256i u = rows.sign > 0 ? _mm256_add_epi64(s.u, one) : s.u;
    const __m256i v = rows.sign > 0 ? s.v : _mm256_add_epi64(s.v, one);
    sum[rows.first] = _mm256_add_epi64(u, v);
    sum[rows.second] = rows.sign > 0 ? _mm256_sub_epi64(u, v) : _mm256_sub_epi64(v, u);
  }
  // The two rows of nine lines (twice, from 2^28).
  __m256i ninefold[2];
#pragma GCC unroll 2
  for (int u = 0; u < 2; ++u) {
    static_assert(kNinefoldTripleSign[0][0] == 1 && kNinefoldTripleSign[1][0] == 1);
    ninefold[u] = triple[kNinefoldTriples[u][0]];
#pragma GCC unroll 2
    for (int i = 1; i < 3; ++i) {
      ninefold[u] = AddSigned(ninefold[u], triple[kNinefoldTriples[u][i]], kNinefoldTripleSign[u][i]);
    }
  }
#pragma GCC unroll 2
  for (int n = 0; n < 2; ++n) {
    sum[kNinefoldRows[n]] = _mm256_add_epi64(_mm256_add_epi64(Product(ninefold[0], lanes.ninefoldCosine[0][n]), one),
                                             Product(ninefold[1], lanes.ninefoldCosine[1][n]));
  }
  // The plain rows' third columns: four patterns, each shared by three
  // rows, in two pairs (U', V'), each pair's products over the paired third
  // columns and the fixed ones.
  __m256i thirdSum[2], thirdDifference[2];
#pragma GCC unroll 2
  for (int c = 0; c < 2; ++c) {
    const Pair& columns = kThirdColumnPairs[c];
    SumAndDifference(x[columns.first], x[columns.second], columns.sign, thirdSum[c], thirdDifference[c]);
  }
  PairSums pattern[kPatternPairs];
#pragma GCC unroll 2
  for (int q = 0; q < kPatternPairs; ++q) {
    pattern[q] = RowPair(thirdSum, thirdDifference, x[kThirdFixedColumns[0]], x[kThirdFixedColumns[1]],
                         lanes.patternPair[q]);
  }
  // The plain rows in pairs: twice the first is U + V, twice the second
  // sign (U - V). U and V start from the pattern pair's U' and V' (signed,
  // kPatternPairOfPlainPair) and 2^28 where it makes twice each rounding:
  // in U for sign 1, in V for sign -1.
  __m256i u[6], v[6];
#pragma GCC unroll 6
  for (int r = 0; r < 6; ++r) {
    const PatternPairUse use = kPatternPairOfPlainPair[r];
    const bool roundingInU = kPlainRowPairs[r].sign > 0;
    u[r] = AddSigned(roundingInU ? one : zero, pattern[use.pair].u, use.signU);
    v[r] = AddSigned(roundingInU ? zero : one, pattern[use.pair].v, use.signV);
  }
#pragma GCC unroll 1
  for (int c = 0; c < 6; ++c) AddColumnPair(u, v, pairSum[c], pairDifference[c], lanes.pairedByColumn[c]);
#pragma GCC unroll 6
  for (int r = 0; r < 6; ++r) {
    const Pair& rows = kPlainRowPairs[r];
    sum[rows.first] = _mm256_add_epi64(u[r], v[r]);
    sum[rows.second] = rows.sign > 0 ? _mm256_sub_epi64(u[r], v[r]) : _mm256_sub_epi64(v[r], u[r]);
  }
}

// Two windowed outputs of a row r (Q28 in the low halves, inside 32 bits):
// (r w + k) >> 28 for the window value in a's lanes and the rounding in
// ka's to the even 32-bit lanes, for b's and kb's to the odd ones; then the
// first output of the four subbands to the low 128 bits, the second to the
// high ones.
QUORVEL_TARGET_AVX2 inline __m256i WindowPair(__m256i r, const int64_t* a, const int64_t* ka, const int64_t* b,
                                              const int64_t* kb) {
  const __m256i first = _mm256_srli_epi64(
      _mm256_add_epi64(Product(r, a), _mm256_load_si256(reinterpret_cast<const __m256i*>(ka))), 28);
  const __m256i second =
      _mm256_slli_epi64(_mm256_add_epi64(Product(r, b), _mm256_load_si256(reinterpret_cast<const __m256i*>(kb))), 4);
  const __m256i halves = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  return _mm256_permutevar8x32_epi32(_mm256_blend_epi32(first, second, 0xAA), halves);
}

// Slots `low` (four subbands, low 128 bits) and `high` of a 32-bit vector.
QUORVEL_TARGET_AVX2 inline __m256i LoadSlots(const Q28* low, const Q28* high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}
QUORVEL_TARGET_AVX2 inline void StoreSlots(Q28* low, Q28* high, __m256i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(v, 1));
}

// Where an overlap-add negates its sum: the odd subbands' lanes of an odd
// slot, for slots i (low 128 bits) and 17 - i (high), by the parity of the
// first subband and of i.
struct NegatedLanes {
  alignas(32) int32_t mask[8];
};

constexpr NegatedLanes NegatedLanesFor(bool oddFirst, bool oddI) {
  NegatedLanes l{};
  for (int lane = 0; lane < 8; ++lane) {
    const bool oddSubband = oddFirst != (lane % 2 == 1), oddSlot = (lane >= 4) != oddI;
    l.mask[lane] = oddSubband && oddSlot ? -1 : 0;
  }
  return l;
}

constexpr NegatedLanes kNegatedLanes[2][2] = {{NegatedLanesFor(false, false), NegatedLanesFor(false, true)},
                                              {NegatedLanesFor(true, false), NegatedLanesFor(true, true)}};

// c + p saturated to 32 bits: the sum leaves the range only when c and p
// have one sign and the wrapped sum the other, and then the bound is c's
// sign's.
QUORVEL_TARGET_AVX2 inline __m256i SaturatingAdd32(__m256i c, __m256i p) {
  const __m256i s = _mm256_add_epi32(c, p);
  const __m256i wrapped = _mm256_and_si256(_mm256_xor_si256(c, s), _mm256_xor_si256(p, s));
  const __m256i bound = _mm256_xor_si256(_mm256_srai_epi32(c, 31), _mm256_set1_epi32(INT32_MAX));
  return _mm256_castps_si256(
      _mm256_blendv_ps(_mm256_castsi256_ps(s), _mm256_castsi256_ps(bound), _mm256_castsi256_ps(wrapped)));
}

// The four subbands with small lines (see kSmallLine): the same values as
// ImdctLong4General, in 32-bit lanes. From twice a row's sum plus 2^28 (as
// SharedRows gives it), the row r = (sum + 2^27) >> 28 is in the low 32 bits
// of each lane after a logical shift by 29 (r fits in them); rows i and
// 9 + i give slots i and 17 - i, one in each half of a vector.
//
// A slot's output is saturated f (s y + prev): y = (r w + 2^27) >> 28, s =
// -1 for slot 17 - i, f = -1 where the slot negates. Where f = -1 that is
// saturated (1 - s y) + ~prev, since -prev = ~prev + 1 and ~prev cannot
// overflow; either way one 32-bit saturating add c + p. c comes from the
// window product itself: -y = (-r w + 2^27 - 1) >> 28 exactly, and the 1 is
// 2^28 more in the rounding (Lanes::signedWindow, signedRounding).
QUORVEL_TARGET_AVX2 void ImdctLong4Small(const __m256i* roundedSum, int sb, const Lanes& lanes, int type,
                                         Q28* overlap, Q28* out) {
  const int64_t(*w)[4] = lanes.window[type];
  const int64_t(*signedW)[4] = lanes.signedWindow[sb & 1][type];
  const int64_t(*rounding)[4] = lanes.signedRounding[sb & 1];
  const __m256i invert[2] = {_mm256_load_si256(reinterpret_cast<const __m256i*>(kNegatedLanes[sb & 1][0].mask)),
                             _mm256_load_si256(reinterpret_cast<const __m256i*>(kNegatedLanes[sb & 1][1].mask))};
#pragma GCC unroll 9
  for (int i = 0; i < 9; ++i) {
    const __m256i first = _mm256_srli_epi64(roundedSum[i], 29);
    const __m256i second = _mm256_srli_epi64(roundedSum[9 + i], 29);
    Q28* prev0 = overlap + 32 * i + sb;
    Q28* prev17 = overlap + 32 * (17 - i) + sb;
    // Every window value and the overlap are loaded before the first store.
    const __m256i c = WindowPair(first, signedW[i], rounding[i], signedW[17 - i], rounding[17 - i]);
    const __m256i next = WindowPair(second, w[18 + i], lanes.half, w[35 - i], lanes.half);
    const __m256i p = _mm256_xor_si256(LoadSlots(prev0, prev17), invert[i & 1]);
    StoreSlots(out + 32 * i + sb, out + 32 * (17 - i) + sb, SaturatingAdd32(c, p));
    StoreSlots(prev0, prev17, next);
  }
}

// The four subbands with any line of kSmallLine or more: rows of 64 bits,
// split for their windows, and every output saturated.
QUORVEL_TARGET_AVX2 void ImdctLong4General(const Q28* lines, int sb, const Lanes& lanes, const int64_t (*w)[4],
                                           Q28* overlap, Q28* out) {
  __m256i x[18];
  GatherLines(lines, x);
  __m256i sum[18];
  NineRows(x, lanes.cosine, sum);
  NineRows(x, lanes.cosine + 9, sum + 9);
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

QUORVEL_TARGET_AVX2 void ImdctLong4(const Q28* xr, int sb, int type, Q28* overlap, Q28* out) {
  const Lanes& lanes = TableLanes();
  const Q28* lines = xr + 18 * sb;
  const int64_t(*w)[4] = lanes.window[type];
  if (!LinesAreSmall(lines)) {
    ImdctLong4General(lines, sb, lanes, w, overlap, out);
    return;
  }
  __m256i x[18];
  GatherLines(lines, x);
  __m256i sum[18];
  SharedRows(x, lanes, sum);
  ImdctLong4Small(sum, sb, lanes, type, overlap, out);
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

namespace {

// (t + 2^30) >> 31 in the low half of each lane where the result is known to
// fit in 32 bits: the low half of the logical shift is then the result.
QUORVEL_TARGET_AVX2 inline __m256i RoundQ31(__m256i t) {
  return _mm256_srli_epi64(_mm256_add_epi64(t, _mm256_set1_epi64x(int64_t{1} << 30)), 31);
}

// The anti-alias factors of the eight butterflies, in the lanes the
// products take: even lanes as loaded, odd lanes moved down.
struct AntialiasLanes {
  __m256i cs, ca, csOdd, caOdd;
};

// The eight butterflies of one boundary, bd = the eight lines above it, bu =
// the eight below, reversed into the lanes of their partners: the even
// lanes' products and the odd lanes' each in 64 bits, rounded with or
// without saturation.
template <bool kSaturate>
QUORVEL_TARGET_AVX2 inline __m256i RoundButterfly(__m256i t) {
  if constexpr (kSaturate) {
    return RoundQ31Saturated(t);
  } else {
    return RoundQ31(t);
  }
}

template <bool kSaturate>
QUORVEL_TARGET_AVX2 inline void Butterflies(Q28* x, __m256i bd, __m256i bu, const AntialiasLanes& c, __m256i reverse) {
  const __m256i bdOdd = _mm256_srli_epi64(bd, 32), buOdd = _mm256_srli_epi64(bu, 32);
  const __m256i upEven = RoundButterfly<kSaturate>(_mm256_sub_epi64(_mm256_mul_epi32(bu, c.cs), _mm256_mul_epi32(bd, c.ca)));
  const __m256i upOdd = RoundButterfly<kSaturate>(_mm256_sub_epi64(_mm256_mul_epi32(buOdd, c.csOdd), _mm256_mul_epi32(bdOdd, c.caOdd)));
  const __m256i downEven = RoundButterfly<kSaturate>(_mm256_add_epi64(_mm256_mul_epi32(bd, c.cs), _mm256_mul_epi32(bu, c.ca)));
  const __m256i downOdd = RoundButterfly<kSaturate>(_mm256_add_epi64(_mm256_mul_epi32(bdOdd, c.csOdd), _mm256_mul_epi32(buOdd, c.caOdd)));
  const __m256i up = _mm256_blend_epi32(upEven, _mm256_slli_epi64(upOdd, 32), 0xAA);
  const __m256i down = _mm256_blend_epi32(downEven, _mm256_slli_epi64(downOdd, 32), 0xAA);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(x), down);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(x - 8), _mm256_permutevar8x32_epi32(up, reverse));
}

}  // namespace

// The eight butterflies of a boundary at once. Where all sixteen lines lie
// below 2^30 in magnitude no result can saturate (|cs| + |ca| < 2^31.5, so
// every sum stays below 2^61.5 and every result below 2^30.5), and the
// rounding is two instructions rather than six.
QUORVEL_TARGET_AVX2 void AntialiasAvx2(Q28* xr, int boundaries) {
  const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  int32_t csLanes[8], caLanes[8];
  for (int i = 0; i < 8; ++i) {
    csLanes[i] = static_cast<int32_t>(kAntialiasCsQ31[i]);
    caLanes[i] = static_cast<int32_t>(kAntialiasCaQ31[i]);
  }
  AntialiasLanes c;
  c.cs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(csLanes));
  c.ca = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(caLanes));
  c.csOdd = _mm256_srli_epi64(c.cs, 32);
  c.caOdd = _mm256_srli_epi64(c.ca, 32);
  for (int sb = 1; sb <= boundaries; ++sb) {
    Q28* x = xr + 18 * sb;
    const __m256i bd = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i bu =
        _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x - 8)), reverse);
    // |INT32_MIN| stays INT32_MIN, whose top bit sends it the saturating way.
    const __m256i magnitudes = _mm256_or_si256(_mm256_abs_epi32(bd), _mm256_abs_epi32(bu));
    if (_mm256_testz_si256(magnitudes, _mm256_set1_epi32(static_cast<int32_t>(0xC0000000u)))) [[likely]] {
      Butterflies<false>(x, bd, bu, c, reverse);
    } else {
      Butterflies<true>(x, bd, bu, c, reverse);
    }
  }
}

namespace {

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
  const Lanes& lanes = TableLanes();
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
      const __m256i q = ShortRow(lines, lanes.shortCosine[i]);
      emit(6 + 6 * w + i, w == 0 ? q : _mm256_add_epi64(q, carry[i]));
    }
    for (int i = 0; i < 6; ++i) carry[i] = ShortRow(lines, lanes.shortCosine[6 + i]);
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
