// The generated Layer III tables: a few pinned entries of each kind, and every
// Huffman code of the source text decoding back to its values through the
// lookup tables, also when it is followed by other bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "bit_writer.h"
#include "layers/layer3.h"
#include "layers/layer3_tables.h"

namespace quorvel::test {
namespace {

TEST(Layer3Tables, EveryPairCodeDecodesToItsValues) {
  int checked = 0;
  for (int i = 0; i < kHuffmanCodeCount; ++i) {
    const HuffmanCode& c = kHuffmanCodes[i];
    // Tables 16 and 24 stand for 17..23 and 25..31, which share their codes.
    std::vector<int> tables = {c.table};
    if (c.table == 16) tables = {16, 17, 18, 19, 20, 21, 22, 23};
    if (c.table == 24) tables = {24, 25, 26, 27, 28, 29, 30, 31};
    for (const uint32_t follow : {0u, 0xFFFFFFFFu, 0x5A5A5A5Au}) {
      BitWriter w;
      w.Put(follow, 3).Put(c.code, c.length).Put(follow, 32).Put(0, 32).Put(0, 32);
      for (const int t : tables) {
        uint32_t pos = 3;
        const uint32_t v = DecodePairCode(w.Bytes().data(), pos, t);
        ASSERT_EQ(v, (uint32_t{c.x} << 4) | c.y) << "table " << t << " code " << i;
        ASSERT_EQ(pos, 3u + c.length) << "table " << t << " code " << i;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 3 * (kHuffmanCodeCount + 7 * 256 * 2));
}

TEST(Layer3Tables, EveryQuadrupleCodeDecodesToItsValues) {
  for (const Count1Code& c : kCount1Codes) {
    BitWriter w;
    w.Put(c.code, c.length).Put(0xFFFFFFFFu, 32).Put(0, 32).Put(0, 32);
    uint32_t pos = 0;
    EXPECT_EQ(DecodeQuadCode(w.Bytes().data(), pos, c.table), c.vwxy);
    EXPECT_EQ(pos, c.length);
  }
}

TEST(Layer3Tables, TableFlagsAndLinbits) {
  struct Row {
    int table, linbits, usable;
  };
  for (const Row& r : std::vector<Row>{{0, 0, 1}, {1, 0, 1}, {4, 0, 0}, {14, 0, 0}, {15, 0, 1}, {16, 1, 1},
                                       {23, 13, 1}, {24, 4, 1}, {31, 13, 1}}) {
    EXPECT_EQ(kHuffmanTables[r.table].linbits, r.linbits) << r.table;
    EXPECT_EQ(kHuffmanTables[r.table].usable, r.usable) << r.table;
  }
}

TEST(Layer3Tables, PinnedEntries) {
  EXPECT_EQ(kSfbLong[0][21], 418);  // 44.1 kHz
  EXPECT_EQ(kSfbShort[1][12], 126);  // 48 kHz
  EXPECT_EQ(kSfbLong[8][17], 566);  // 8 kHz
  EXPECT_EQ(kPretab[15], 2);
  EXPECT_EQ(kSlen[0][15], 4);
  EXPECT_EQ(kSlen[1][4], 0);
  EXPECT_EQ(kNrOfSfb[5][2][1], 18);
  // x^(4/3) to within one unit of the 31-bit mantissa.
  for (const int x : {1, 2, 3, 15, 16, 100, 1000, 8191, 8206}) {
    const double exact = std::pow(static_cast<double>(x), 4.0 / 3.0);
    const double table = kPow43Mantissa[x] * std::ldexp(1.0, kPow43Exponent[x] - 30);
    EXPECT_NEAR(table / exact, 1.0, 1e-9) << x;
  }
  EXPECT_EQ(kPow43Mantissa[0], 0u);
  EXPECT_EQ(kPow43Mantissa[8], 1u << 30);  // 16 exactly
  EXPECT_EQ(kPow43Exponent[8], 4);
  EXPECT_EQ(kQuarterPowerQ30[2], 1518500250);  // sqrt(2) in Q30
  EXPECT_EQ(kAntialiasCsQ31[0], 1841452036);
  EXPECT_EQ(kAntialiasCaQ31[7], -7945635);
  EXPECT_EQ(kIntensityLeftQ31[3], 1073741824);  // a half each
  EXPECT_EQ(kLsfIntensityQ31[1][2], 1073741824);  // (2^-1/2)^2
  // Windowed cosines: long block type 0 at i = 0, k = 0, and a short one.
  const double pi = std::acos(-1.0);
  EXPECT_NEAR(kImdctCosQ28[0][0] / std::ldexp(1.0, 28), std::cos(pi / 72 * 19), 1e-8);
  EXPECT_NEAR(kImdctCosQ28[9][17] / std::ldexp(1.0, 28), std::cos(pi / 72 * 55 * 35), 1e-8);  // row i = 18
  EXPECT_NEAR(kImdctWindowQ31[0][0] / std::ldexp(1.0, 31), std::sin(pi / 72), 1e-9);
  EXPECT_EQ(kImdctWindowQ31[1][20], int64_t{1} << 31);  // the start window's flat part
  EXPECT_NEAR(kImdctShortQ28[5][3] / std::ldexp(1.0, 28), std::sin(pi / 12 * 5.5) * std::cos(pi / 24 * 17 * 7), 1e-9);
  EXPECT_EQ(kImdctWindowQ31[2][5], 0);  // the stop window starts with zeros
}

}  // namespace
}  // namespace quorvel::test
