// Layer III's front end: Huffman streams of random values (escapes and signs
// included) written with the code list and decoded back, whole pairs and
// quadruples from the fast tables and the others; the rows of small
// magnitudes against the requantisation they stand for, and that against
// the formula; every requantisation and mid/side kernel against the plain
// one on seeded random input, with sentinels around what it may write, and
// a whole granule's requantisation against the definition line by line.
#include "layers/layer3_front.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "bit_writer.h"
#include "cpu.h"
#include "layers/layer3.h"
#include "layers/layer3_tables.h"
#include "test_seed.h"

namespace quorvel::test {
namespace {

std::vector<KernelLevel> SupportedLevels() {
  std::vector<KernelLevel> levels;
  for (KernelLevel level : kAllKernelLevels) {
    if (KernelLevelSupported(level)) levels.push_back(level);
  }
  return levels;
}

// The code list's entry for (x, y) in the code table behind `table`.
const HuffmanCode* FindPairCode(int table, int x, int y) {
  const int source = table >= 24 ? 24 : table >= 16 ? 16 : table;
  for (int i = 0; i < kHuffmanCodeCount; ++i) {
    const HuffmanCode& c = kHuffmanCodes[i];
    if (c.table == source && c.x == x && c.y == y) return &c;
  }
  return nullptr;
}

const Count1Code* FindQuadCode(int table, int vwxy) {
  for (const Count1Code& c : kCount1Codes) {
    if (c.table == table && c.vwxy == vwxy) return &c;
  }
  return nullptr;
}

// The largest value of each table: 1, 2, 3, 5, 7 or 15, and with linbits
// up to 15 + 2^linbits - 1.
int LargestValue(int table) {
  static constexpr int kLargest[16] = {0, 1, 2, 2, 0, 3, 3, 5, 5, 5, 7, 7, 7, 15, 0, 15};
  return table < 16 ? kLargest[table] : 15 + (1 << kHuffmanTables[table].linbits) - 1;
}

// Writes one value's escape (for a table with linbits) after the code is
// written; the sign is written by the caller.
void PutPair(BitWriter& w, int table, int32_t x, int32_t y) {
  const int linbits = kHuffmanTables[table].linbits;
  const int ax = std::abs(x), ay = std::abs(y);
  const int cx = linbits && ax >= 15 ? 15 : ax, cy = linbits && ay >= 15 ? 15 : ay;
  const HuffmanCode* code = FindPairCode(table, cx, cy);
  ASSERT_NE(code, nullptr) << "table " << table << " " << cx << "," << cy;
  w.Put(code->code, code->length);
  if (linbits && cx == 15) w.Put(static_cast<uint32_t>(ax - 15), linbits);
  if (x) w.PutBit(x < 0);
  if (linbits && cy == 15) w.Put(static_cast<uint32_t>(ay - 15), linbits);
  if (y) w.PutBit(y < 0);
}

// Mostly small values (the fast lookups), some large ones and escapes.
int32_t RandomValue(std::mt19937& rng, int largest) {
  const uint32_t kind = rng() % 8;
  int32_t v = 0;
  if (kind < 4) {
    v = static_cast<int32_t>(rng() % std::min(largest + 1, 3));
  } else if (kind < 7) {
    v = static_cast<int32_t>(rng() % std::min(largest + 1, 16));
  } else {
    v = static_cast<int32_t>(rng() % (largest + 1));
  }
  return (rng() & 1) ? -v : v;
}

TEST(Layer3Front, BigValuesDecodeBackWithEscapesAndSigns) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  for (int table = 1; table < 32; ++table) {
    if (table == 4 || table == 14) continue;
    for (int round = 0; round < 20; ++round) {
      const int count = 2 * static_cast<int>(1 + rng() % 288);
      std::vector<int32_t> values(count);
      BitWriter w;
      const int lead = static_cast<int>(rng() % 8);
      w.Put(0x55, lead);
      for (int i = 0; i < count; i += 2) {
        values[i] = RandomValue(rng, LargestValue(table));
        values[i + 1] = RandomValue(rng, LargestValue(table));
        PutPair(w, table, values[i], values[i + 1]);
      }
      const auto written = static_cast<uint32_t>(w.BitCount());
      std::vector<uint8_t> data = w.Bytes();
      data.resize(data.size() + 40, 0);  // the reservoir's zero padding
      std::vector<int32_t> out(count, 0x7EADBEEF);
      uint32_t pos = static_cast<uint32_t>(lead);
      ASSERT_TRUE(DecodeBigValues(data.data(), pos, written, table, count, out.data())) << "table " << table;
      EXPECT_EQ(pos, written) << "table " << table;
      ASSERT_EQ(out, values) << "table " << table << " count " << count;
      // The same data with an end before its last pair: damage.
      pos = static_cast<uint32_t>(lead);
      const bool whole = DecodeBigValues(data.data(), pos, written - 1, table, count, out.data());
      EXPECT_TRUE(!whole || pos > written - 1) << "table " << table;
    }
  }
}

TEST(Layer3Front, QuadruplesDecodeBackAndStopAtTheEnd) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  for (int table = 0; table < 2; ++table) {
    for (int round = 0; round < 200; ++round) {
      const int from = 2 * static_cast<int>(rng() % 200);
      const int quads = static_cast<int>(rng() % ((576 - from) / 4 + 1));
      std::vector<int32_t> expected(576, 0x7EADBEEF);
      BitWriter w;
      uint32_t lastStart = 0;
      for (int q = 0; q < quads; ++q) {
        const int vwxy = static_cast<int>(rng() % 16);
        const Count1Code* code = FindQuadCode(table, vwxy);
        ASSERT_NE(code, nullptr);
        lastStart = static_cast<uint32_t>(w.BitCount());
        w.Put(code->code, code->length);
        for (int k = 0; k < 4; ++k) {
          const int bit = (vwxy >> (3 - k)) & 1;
          const bool negative = bit && (rng() & 1);
          if (bit) w.PutBit(negative);
          expected[from + 4 * q + k] = bit ? (negative ? -1 : 1) : 0;
        }
      }
      const auto written = static_cast<uint32_t>(w.BitCount());
      std::vector<uint8_t> data = w.Bytes();
      data.resize(data.size() + 40, 0);
      std::vector<int32_t> out(576, 0x7EADBEEF);
      uint32_t pos = 0;
      EXPECT_EQ(DecodeQuadruples(data.data(), pos, written, table, from, out.data()), from + 4 * quads);
      EXPECT_EQ(pos, written);
      ASSERT_EQ(out, expected) << "table " << table << " from " << from << " quadruples " << quads;
      if (quads == 0) continue;
      // An end inside the last quadruple leaves it out.
      std::vector<int32_t> cut(576, 0x7EADBEEF);
      pos = 0;
      EXPECT_EQ(DecodeQuadruples(data.data(), pos, written - 1, table, from, cut.data()), from + 4 * (quads - 1));
      for (int k = 0; k < 4; ++k) EXPECT_EQ(cut[from + 4 * (quads - 1) + k], 0x7EADBEEF);
      EXPECT_LE(lastStart, written - 1);
    }
  }
}

TEST(Layer3Front, FastPairEntriesAgreeWithTheCodeList) {
  // Every entry that is not 0 holds a code of its table, then one sign bit
  // per non-zero value, within kPairFastBits bits.
  constexpr int kBits = kPairFastBits;
  int resolved = 0;
  for (const int table : {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 24}) {
    for (uint32_t bits = 0; bits < (1u << kBits); ++bits) {
      const uint32_t e = kPairFast[kPairFastStart[table] + bits];
      if (!e) continue;
      ++resolved;
      const int length = static_cast<int>(e & 15);
      const int32_t x = static_cast<int32_t>(e << 23) >> 27, y = static_cast<int32_t>(e << 18) >> 27;
      const HuffmanCode* code = FindPairCode(table, std::abs(x), std::abs(y));
      ASSERT_NE(code, nullptr);
      const int signs = (x != 0) + (y != 0);
      ASSERT_EQ(length, code->length + signs) << "table " << table << " bits " << bits;
      ASSERT_EQ(bits >> (kBits - code->length), code->code) << "table " << table << " bits " << bits;
      uint32_t signBits = (bits >> (kBits - length)) & ((1u << signs) - 1);
      // x's sign bit comes first, y's last.
      if (y) {
        EXPECT_EQ(signBits & 1, y < 0 ? 1u : 0u);
        signBits >>= 1;
      }
      if (x) {
        EXPECT_EQ(signBits & 1, x < 0 ? 1u : 0u);
      }
      if (table >= 16) {
        EXPECT_TRUE(std::abs(x) < 15 && std::abs(y) < 15) << "escapes are not resolved";
      }
    }
  }
  EXPECT_GT(resolved, 15 * 100);
  // Pinned: table 1, bits 1xxx... is (0, 0).
  EXPECT_EQ(kPairFast[kPairFastStart[1] + (1u << (kBits - 1))], 1u);
  EXPECT_EQ(kPairFastStart[17], kPairFastStart[16]);
  EXPECT_EQ(kPairFastStart[31], kPairFastStart[24]);
}

TEST(Layer3Front, SmallRowsAreTheRequantisationTheyStandFor) {
  for (int32_t q = kSmallLowestQ - 300; q <= kSmallHighestQ + 20; ++q) {
    const Q28* row = SmallRequantRow(q);
    if (q < kSmallLowestQ || q > kSmallHighestQ) {
      EXPECT_EQ(row, nullptr) << "q " << q;
      // Below the table every small magnitude rounds to zero.
      if (q < kSmallLowestQ) {
        for (int a = 0; a < kSmallMagnitudes; ++a) ASSERT_EQ(Requantise(a, q), 0) << "q " << q << " a " << a;
      }
      continue;
    }
    ASSERT_NE(row, nullptr);
    for (int a = 0; a < kSmallMagnitudes; ++a) ASSERT_EQ(row[a], Requantise(a, q)) << "q " << q << " a " << a;
  }
}

TEST(Layer3Front, RequantisationFollowsTheFormula) {
  // |v|^(4/3) 2^(q/4) in Q28, within one unit where it does not saturate.
  for (const int32_t v : {1, -1, 2, 7, -15, 16, 100, -1000, 8191, 8206}) {
    for (int32_t q = -260; q <= 45; q += 7) {
      const double exact = std::pow(std::abs(v), 4.0 / 3.0) * std::pow(2.0, q / 4.0) * 268435456.0;
      const Q28 r = Requantise(v, q);
      if (exact >= 2147483647.0) {
        EXPECT_EQ(r, v < 0 ? -2147483647 : 2147483647) << v << " " << q;
      } else {
        EXPECT_NEAR(std::abs(static_cast<double>(r)), exact, 1.0) << v << " " << q;
        if (r) {
          EXPECT_EQ(r < 0, v < 0) << v << " " << q;
        }
      }
    }
  }
}

TEST(Layer3Front, RequantisationKernelsMatchPlain) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  constexpr Q28 kSentinel = 0x5EE5EE5E;
  for (KernelLevel level : SupportedLevels()) {
    const Layer3FrontKernels& kernels = Layer3FrontKernelsFor(level);
    for (int round = 0; round < 2000; ++round) {
      const int count = round < 40 ? round : static_cast<int>(rng() % 577);
      const int32_t q = -220 + static_cast<int32_t>(rng() % 280);
      std::vector<int32_t> is(count + 16);
      for (auto& v : is) {
        const uint32_t kind = rng() % 16;
        const int32_t a = kind < 12 ? static_cast<int32_t>(rng() % 16) : static_cast<int32_t>(rng() % 8207);
        v = (rng() & 1) ? -a : a;
      }
      std::vector<Q28> want(count + 16, kSentinel), got(count + 16, kSentinel);
      RequantisePlain(is.data() + 8, count, q, want.data() + 8);
      kernels.requantise(is.data() + 8, count, q, got.data() + 8);
      ASSERT_EQ(got, want) << KernelLevelName(level) << " count " << count << " q " << q;
      for (int i = 0; i < count; ++i) ASSERT_EQ(want[8 + i], Requantise(is[8 + i], q));
    }
  }
}

// A granule's bands as the decoder makes them: adjacent from line 0, of
// even widths (some of 2 or 4 lines, so that groups of eight span several),
// cut anywhere, with exponents inside and outside the rows of small
// magnitudes; the lines above them hold values the kernels must not use.
TEST(Layer3Front, GranuleRequantisationKernelsMatchPlainAndTheDefinition) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  constexpr Q28 kSentinel = 0x5EE5EE5E;
  for (KernelLevel level : SupportedLevels()) {
    const Layer3FrontKernels& kernels = Layer3FrontKernelsFor(level);
    for (int round = 0; round < 1000; ++round) {
      std::vector<RequantBand> bands;
      const int last = round < 8 ? kGranuleLines - round : static_cast<int>(rng() % (kGranuleLines + 1));
      int line = 0;
      while (line < last && static_cast<int>(bands.size()) < kMaxRequantBands) {
        const int width = 2 * static_cast<int>(1 + rng() % (rng() % 4 == 0 ? 40 : 3));
        const int end = std::min(line + width, last);
        const uint32_t kind = rng() % 8;
        const int32_t q = kind == 0   ? kSmallLowestQ - 1 - static_cast<int32_t>(rng() % 100)
                          : kind == 1 ? kSmallHighestQ + 1 + static_cast<int32_t>(rng() % 10)
                          : kind == 2 ? (rng() & 1 ? kSmallLowestQ : kSmallHighestQ)
                                      : kSmallLowestQ + static_cast<int32_t>(rng() % (kSmallHighestQ - kSmallLowestQ + 1));
        bands.push_back(RequantBand{line, end, q});
        line = end;
      }
      std::vector<int32_t> is(kGranuleLines);
      for (auto& v : is) {
        const uint32_t kind = rng() % 16;
        const int32_t a = kind < 11   ? static_cast<int32_t>(rng() % 16)
                          : kind < 15 ? static_cast<int32_t>(rng() % 8207)
                                      : (rng() & 1 ? kPow43Limit : 16);
        v = (rng() & 1) ? -a : a;
      }
      std::vector<Q28> want(kGranuleLines, kSentinel), got(kGranuleLines, kSentinel);
      const int count = static_cast<int>(bands.size());
      RequantiseGranulePlain(is.data(), bands.data(), count, want.data());
      kernels.requantiseGranule(is.data(), bands.data(), count, got.data());
      ASSERT_EQ(got, want) << KernelLevelName(level) << " round " << round << " bands " << count;
      for (const RequantBand& band : bands) {
        for (int i = band.start; i < band.end; ++i) ASSERT_EQ(want[i], Requantise(is[i], band.q)) << "line " << i;
      }
      for (int i = line; i < kGranuleLines; ++i) ASSERT_EQ(want[i], 0) << "line " << i;
    }
  }
}

TEST(Layer3Front, MidSideKernelsMatchPlain) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  constexpr Q28 kSentinel = 0x5EE5EE5E;
  const int32_t edges[] = {INT32_MIN, INT32_MIN + 1, -(1 << 30) - 1, -(1 << 30),    -(1 << 30) + 1, -1, 0,
                           1,         (1 << 30) - 1, 1 << 30,        INT32_MAX - 1, INT32_MAX};
  for (KernelLevel level : SupportedLevels()) {
    const Layer3FrontKernels& kernels = Layer3FrontKernelsFor(level);
    for (int round = 0; round < 2000; ++round) {
      const int count = round < 40 ? round : static_cast<int>(rng() % 577);
      const uint32_t spread = rng() % 4;  // small, Q28-sized, full range, or edges
      std::vector<Q28> left(count + 16), right(count + 16);
      for (int i = 0; i < count + 16; ++i) {
        for (Q28* v : {&left[i], &right[i]}) {
          if (spread == 0) *v = static_cast<int32_t>(rng() % 2001) - 1000;
          if (spread == 1) *v = static_cast<int32_t>(rng() >> 2) - (1 << 29);
          if (spread == 2) *v = static_cast<int32_t>(rng());
          if (spread == 3) *v = edges[rng() % std::size(edges)];
        }
      }
      for (int i = 0; i < 8; ++i) left[i] = right[i] = left[count + 8 + i] = right[count + 8 + i] = kSentinel;
      std::vector<Q28> wantL = left, wantR = right, gotL = left, gotR = right;
      MidSidePlain(wantL.data() + 8, wantR.data() + 8, count);
      kernels.midSide(gotL.data() + 8, gotR.data() + 8, count);
      ASSERT_EQ(gotL, wantL) << KernelLevelName(level) << " count " << count << " spread " << spread;
      ASSERT_EQ(gotR, wantR) << KernelLevelName(level) << " count " << count << " spread " << spread;
      for (int i = 8; i < count + 8; ++i) {
        const double m = left[i], s = right[i];
        for (const auto& [got, exact] :
             {std::pair{wantL[i], (m + s) / std::sqrt(2.0)}, std::pair{wantR[i], (m - s) / std::sqrt(2.0)}}) {
          const double clamped = std::fmin(std::fmax(exact, -2147483648.0), 2147483647.0);
          ASSERT_NEAR(got, clamped, 1.0) << m << " " << s;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvel::test
