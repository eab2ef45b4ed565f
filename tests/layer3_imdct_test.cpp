// The long IMDCT's 18-point transform against the direct sum over the
// table's Q28 cosines (tests/reference) and against its definition. The
// transform sums its exact Q56 products now, so the tolerances below (set
// for the earlier transform through two nine-point ones) hold with room to
// spare.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "layers/layer3_hybrid.h"
#include "layers/layer3_imdct_shared.h"
#include "layers/layer3_tables.h"
#include "reference/layer3_reference.h"
#include "test_seed.h"

namespace quorvel {
namespace {

// The fast transform rounds at five steps and divides by cosines down to
// 0.044, and both transforms' Q28 constants err in proportion to the values:
// the fast one stays within 64 Q28 units of the direct sum for inputs up to
// +-1.0, within 256 for any 32-bit input (a 16-bit output LSB is 8192 units).
constexpr int64_t kToleranceTypical = 64;
constexpr int64_t kTolerance = 256;

int64_t MaxDifference(const int32_t* x) {
  int64_t fast[18], direct[18];
  Dct4Of18(x, fast);
  reference::Dct4Of18Direct(x, direct);
  int64_t worst = 0;
  for (int m = 0; m < 18; ++m) worst = std::max(worst, fast[m] > direct[m] ? fast[m] - direct[m] : direct[m] - fast[m]);
  return worst;
}

TEST(Layer3Imdct, FastTransformMatchesDirectSumOnRandomInput) {
  const uint32_t seed = test::TestSeed();
  std::mt19937 rng(seed);
  struct Range {
    const char* name;
    int bits;  // values within +-2^bits
  };
  const Range ranges[] = {{"quiet", 12}, {"typical", 28}, {"loud", 30}, {"full", 31}};
  for (const Range& range : ranges) {
    int64_t worst = 0;
    for (int round = 0; round < 20000; ++round) {
      int32_t x[18];
      for (int32_t& v : x) {
        const int64_t span = int64_t{1} << range.bits;
        v = static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(rng() % (2 * span + 1)) - span, INT32_MIN,
                                                     INT32_MAX));
      }
      worst = std::max(worst, MaxDifference(x));
    }
    EXPECT_LE(worst, range.bits <= 28 ? kToleranceTypical : kTolerance) << range.name << " seed " << seed;
  }
}

TEST(Layer3Imdct, FastTransformAtTheExtremes) {
  // Every sign pattern's worst case: all values at +-2^31 in the pattern
  // that makes one output largest, and alternating ones.
  const struct {
    const char* name;
    int32_t (*value)(int k);
  } cases[] = {
      {"all most negative", [](int) { return INT32_MIN; }},
      {"all most positive", [](int) { return INT32_MAX; }},
      {"alternating", [](int k) { return k & 1 ? INT32_MIN : INT32_MAX; }},
      {"pairs", [](int k) { return (k >> 1) & 1 ? INT32_MIN : INT32_MAX; }},
      {"last only", [](int k) { return k == 17 ? INT32_MIN : 0; }},
  };
  for (const auto& c : cases) {
    int32_t x[18];
    for (int k = 0; k < 18; ++k) x[k] = c.value(k);
    EXPECT_LE(MaxDifference(x), kTolerance) << c.name;
  }
  for (int m = 0; m < 18; ++m) {  // the signs of output m's cosines
    int32_t x[18];
    for (int k = 0; k < 18; ++k) {
      x[k] = std::cos(M_PI / 72 * (2 * m + 1) * (2 * k + 1)) < 0 ? INT32_MIN : INT32_MAX;
    }
    EXPECT_LE(MaxDifference(x), kTolerance) << "output " << m;
  }
}

TEST(Layer3Imdct, ImpulsesGiveTheCosines) {
  for (int k = 0; k < 18; ++k) {
    int32_t x[18] = {};
    x[k] = 1 << 28;  // 1.0
    int64_t z[18];
    Dct4Of18(x, z);
    for (int m = 0; m < 18; ++m) {
      const double want = std::cos(M_PI / 72 * (2 * m + 1) * (2 * k + 1));
      EXPECT_NEAR(static_cast<double>(z[m]) / (1 << 28), want, 64.0 / (1 << 28)) << "k " << k << " m " << m;
    }
  }
}

// The fast kernels form a product of the long IMDCT once where the cosine
// table repeats its magnitude (layer3_imdct_shared.h): the entries that plan
// names, with its signs, rebuild the whole table, so the rounded values that
// stand for one cosine are equal and every row keeps its exact sum. The
// plain rows are rebuilt from the first row of each pair alone.
TEST(Layer3Imdct, SharedProductsRebuildTheCosineTable) {
  using namespace imdct_shared;
  int64_t rebuilt[18][18] = {};
  int times[18][18] = {};
  auto put = [&](int j, int k, int64_t c) {
    rebuilt[j][k] = c;
    ++times[j][k];
  };
  auto putTriple = [&](int j, int a, int64_t c) {
    put(j, a, c);
    put(j, 11 - a, -c);
    put(j, 12 + a, -c);
  };
  for (const Pair& rows : kPlainRowPairs) {
    for (const Pair& columns : kPlainColumnPairs) {
      const int64_t a = kImdctCosQ28[rows.first][columns.first];
      const int64_t b = columns.sign * int64_t{kImdctCosQ28[rows.first][columns.second]};
      put(rows.first, columns.first, a);
      put(rows.first, columns.second, columns.sign * b);
      put(rows.second, columns.first, rows.sign * b);
      put(rows.second, columns.second, rows.sign * columns.sign * a);
    }
  }
  for (int r = 0; r < 12; ++r) {
    const int j = kPlainIndices[r];
    const PatternUse use = kPatternOfPlainRow[r];
    for (int k : kThirdIndices) put(j, k, use.sign * int64_t{kImdctCosQ28[kPatternRow[use.pattern]][k]});
  }
  for (int j : kTripleRows) {
    for (int a = 0; a < 6; ++a) putTriple(j, a, kImdctCosQ28[j][a]);
  }
  for (int j : kNinefoldRows) {
    for (int s = 0; s < 2; ++s) {
      const int64_t c = kImdctCosQ28[j][kNinefoldColumn[s]];
      for (int i = 0; i < 3; ++i) putTriple(j, kNinefoldTriples[s][i], kNinefoldTripleSign[s][i] * c);
    }
  }
  // The pattern rows in pairs over the third columns.
  for (int q = 0; q < kPatternPairs; ++q) {
    const Pair& rows = kPlainRowPairs[q];
    for (const Pair& columns : kThirdColumnPairs) {
      const int64_t a = kImdctCosQ28[rows.first][columns.first];
      const int64_t b = columns.sign * int64_t{kImdctCosQ28[rows.first][columns.second]};
      EXPECT_EQ(kImdctCosQ28[rows.second][columns.first], rows.sign * b) << "pattern pair " << q;
      EXPECT_EQ(kImdctCosQ28[rows.second][columns.second], rows.sign * columns.sign * a) << "pattern pair " << q;
    }
    for (int k : kThirdFixedColumns) {
      EXPECT_EQ(kImdctCosQ28[rows.second][k], rows.sign * kImdctCosQ28[rows.first][k]) << "pattern pair " << q;
    }
  }
  // The rows of triples in pairs over the triples.
  for (const Pair& rows : kTripleRowPairs) {
    for (const Pair& triples : kTriplePairs) {
      const int64_t a = kImdctCosQ28[rows.first][triples.first];
      const int64_t b = triples.sign * int64_t{kImdctCosQ28[rows.first][triples.second]};
      EXPECT_EQ(kImdctCosQ28[rows.second][triples.first], rows.sign * b) << "triple rows " << rows.first;
      EXPECT_EQ(kImdctCosQ28[rows.second][triples.second], rows.sign * triples.sign * a)
          << "triple rows " << rows.first;
    }
    for (int a : kFixedTriples) {
      EXPECT_EQ(kImdctCosQ28[rows.second][a], rows.sign * kImdctCosQ28[rows.first][a]) << "triple rows " << rows.first;
    }
  }
  for (int j = 0; j < 18; ++j) {
    for (int k = 0; k < 18; ++k) {
      EXPECT_EQ(times[j][k], 1) << "row " << j << " column " << k;
      EXPECT_EQ(rebuilt[j][k], kImdctCosQ28[j][k]) << "row " << j << " column " << k;
    }
  }
}

// A plain row pair starts from its pattern pair's U' = P1 + sign P2 and V'
// = P1 - sign P2 (P1, P2 the pair's two patterns, layer3_imdct_shared.h):
// signU U' + signV V' must be twice the first row's signed pattern and
// sign (signU U' - signV V') twice the second's.
TEST(Layer3Imdct, PlainPairsStartFromTheirPatternPairs) {
  using namespace imdct_shared;
  auto patternOfRow = [](int j) {
    for (int p = 0; p < 4; ++p) {
      if (kPatternRow[p] == j) return p;
    }
    return -1;
  };
  auto plainIndex = [](int j) {
    for (int r = 0; r < 12; ++r) {
      if (kPlainIndices[r] == j) return r;
    }
    return -1;
  };
  for (int r = 0; r < 6; ++r) {
    const Pair& rows = kPlainRowPairs[r];
    const PatternPairUse use = kPatternPairOfPlainPair[r];
    const Pair& patternRows = kPlainRowPairs[use.pair];
    // Coefficients of the pattern pair's two patterns, indexed by pattern.
    int first[4] = {}, second[4] = {};
    const int p1 = patternOfRow(patternRows.first), p2 = patternOfRow(patternRows.second);
    ASSERT_GE(p1, 0);
    ASSERT_GE(p2, 0);
    first[p1] = use.signU + use.signV;
    first[p2] = patternRows.sign * (use.signU - use.signV);
    second[p1] = rows.sign * (use.signU - use.signV);
    second[p2] = rows.sign * patternRows.sign * (use.signU + use.signV);
    const PatternUse want1 = kPatternOfPlainRow[plainIndex(rows.first)];
    const PatternUse want2 = kPatternOfPlainRow[plainIndex(rows.second)];
    for (int p = 0; p < 4; ++p) {
      EXPECT_EQ(first[p], p == want1.pattern ? 2 * want1.sign : 0) << "pair " << r << " pattern " << p;
      EXPECT_EQ(second[p], p == want2.pattern ? 2 * want2.sign : 0) << "pair " << r << " pattern " << p;
    }
  }
}

}  // namespace
}  // namespace quorvel
