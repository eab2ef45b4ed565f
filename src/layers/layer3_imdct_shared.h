// Where the long IMDCT's cosine table (kImdctCosQ28, rows j with n = 2j + 19
// for j < 9 and n = 2j + 37 above, columns k with m = 2k + 1, the cosine of
// pi / 72 n m) repeats its values, so that a kernel can form a product once
// and use it wherever it appears. Where 3 divides neither n nor m the row
// holds each magnitude once; where 3 divides one of them the magnitudes are
// the six cosines of pi / 72 times an odd multiple of 3, where 9 divides one
// the two of 9 and 27 — each appearing several times, rounded to the same
// integer. tests/layer3_imdct_test.cpp rebuilds the whole table from the
// entries named here.
#pragma once

namespace quorvel::imdct_shared {

// The rows and the columns whose n (m) 3 does not divide.
constexpr int kPlainIndices[12] = {0, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17};

// The plain rows and columns in pairs {first, second, sign}: the second's n
// (m) is 17 times the first's modulo 72, up to sign. Since 17^2 = 1 + 4 x 72,
// two paired rows on two paired columns hold one block: with x2' = sign(k)
// x2, a = cos[j1][k1] and b = sign(k) cos[j1][k2], the first row takes a x1
// + b x2' and the second sign(j) (b x1 + a x2'). Twice these are (a + b)(x1
// + x2') +- (a - b)(x1 - x2'): two products for four.
struct Pair {
  int first, second, sign;
};
constexpr Pair kPlainRowPairs[6] = {{0, 8, 1}, {2, 6, -1}, {3, 14, -1}, {5, 12, 1}, {9, 17, 1}, {11, 15, -1}};
constexpr Pair kPlainColumnPairs[6] = {{0, 8, 1}, {2, 6, -1}, {3, 12, 1}, {5, 14, -1}, {9, 17, 1}, {11, 15, -1}};

// The columns (and the rows) whose m (n) is a multiple of 3.
constexpr int kThirdIndices[6] = {1, 4, 7, 10, 13, 16};

// In a plain row the six third columns take one of four patterns: that of
// row kPatternRow[pattern], times sign. Indexed as kPlainIndices.
constexpr int kPatternRow[4] = {0, 2, 6, 8};
struct PatternUse {
  int pattern;
  int sign;
};
constexpr PatternUse kPatternOfPlainRow[12] = {{0, 1}, {1, 1}, {1, 1}, {0, 1},  {2, 1}, {3, 1},
                                               {2, -1}, {3, -1}, {3, 1}, {2, 1}, {0, 1}, {1, 1}};

// The pattern rows pair as plain rows do (kPlainRowPairs[0] and [1]), their
// third columns as the plain columns do but for the two that 17 maps to
// themselves (m = 9, 27), where the second row's cosine is sign(j) times the
// first's: pair q's patterns are then (U' + V') / 2 and sign(j) (U' - V') / 2
// with U' over sums of paired lines and twice the fixed lines, V' over
// differences.
constexpr Pair kThirdColumnPairs[2] = {{1, 10, -1}, {7, 16, 1}};
constexpr int kThirdFixedColumns[2] = {4, 13};
constexpr int kPatternPairs = 2;

// Twice a plain row pair's patterns, as its U and V take them: U = signU
// U'[pair], V = signV V'[pair]. Indexed as kPlainRowPairs.
struct PatternPairUse {
  int pair, signU, signV;
};
constexpr PatternPairUse kPatternPairOfPlainPair[6] = {{0, 1, 1}, {1, 1, 1},  {1, 1, 1},
                                                       {0, 1, 1}, {1, 1, -1}, {0, -1, 1}};

// A third row has one cosine per triple of columns (a, 11 - a, 12 + a),
// a = 0..5, the last two negated: it sums cos[j][a] t[a] with the triple
// t[a] = x[a] - x[11 - a] - x[12 + a].
constexpr int kTripleRows[4] = {1, 7, 10, 16};

// The rows of triples pair as well, and so do the triples as columns: the
// same block as kThirdColumnPairs, with triples t[a] for lines.
constexpr Pair kTripleRowPairs[2] = {{1, 16, 1}, {7, 10, -1}};
constexpr Pair kTriplePairs[2] = {{0, 3, -1}, {2, 5, 1}};
constexpr int kFixedTriples[2] = {1, 4};

// Rows 4 and 13 (9 divides n) have one cosine per nine columns: the triples
// make up two sums, u = t[0] - t[3] - t[4] (cosine cos[j][0]) and v = t[2] +
// t[5] - t[1] (cosine cos[j][2]).
constexpr int kNinefoldRows[2] = {4, 13};
constexpr int kNinefoldTriples[2][3] = {{0, 3, 4}, {2, 5, 1}};       // [u, v]
constexpr int kNinefoldTripleSign[2][3] = {{1, -1, -1}, {1, 1, -1}};  // of each triple in u, v
constexpr int kNinefoldColumn[2] = {0, 2};                            // whose cosine u, v take

}  // namespace quorvel::imdct_shared
