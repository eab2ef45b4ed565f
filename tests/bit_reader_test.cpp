// The bit reader and CRC-16: exact reads, skips and spans, the checksum's
// catalogue values, and the promise that nothing is read outside the buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "bitstream/crc16.h"
#include "test_seed.h"

namespace quorvel {
namespace {

BitReader ReaderOver(const std::vector<uint8_t>& bytes, uint32_t offset = 0) {
  BitReader r;
  StartReader(r, bytes.data(), static_cast<uint32_t>(bytes.size()), offset);
  return r;
}

// One step of a read sequence: n > 0 reads n bits, n < 0 skips -n bits.
struct Step {
  int n;
  uint32_t value;  // expected result of a read
};

struct SequenceCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<Step> steps;
  uint32_t current, bitsLeft, nextByte;  // the reader after the last step
};

TEST(BitReader, SequencesLeaveExactPositions) {
  const SequenceCase cases[] = {
      {"nibble, byte, nibble", {0xAB, 0xCD}, {{4, 0xA}, {8, 0xBC}, {4, 0xD}}, 2, 8, 2},
      {"sixteen bits", {0x12, 0x34}, {{16, 0x1234}}, 2, 8, 2},
      {"skip 11", {0x12, 0x34, 0x56}, {{-11, 0}}, 1, 5, 2},
      {"read 3, skip 5 uses the byte up", {0xFF, 0x5A}, {{3, 7}, {-5, 0}}, 0, 0, 1},
      {"a read after the used-up byte", {0xFF, 0x5A, 0x00}, {{3, 7}, {-5, 0}, {8, 0x5A}}, 2, 8, 2},
      {"skip across a byte boundary", {0xE0, 0xDA}, {{3, 7}, {-6, 0}, {7, 0x5A}}, 2, 8, 2},
      {"zero bits", {0x80}, {{0, 0}}, 0, 8, 0},
      {"32 bits across five bytes", {0x0F, 0xED, 0xCB, 0xA9, 0x87}, {{4, 0}, {32, 0xFEDCBA98}}, 4, 4, 5},
      {"skip then read unaligned", {0x01, 0x80, 0xFF}, {{-7, 0}, {2, 3}, {9, 3}}, 2, 6, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const BitReader start = ReaderOver(c.bytes);
    BitReader r = start;
    int32_t bits = 0;
    for (const Step& s : c.steps) {
      if (s.n < 0) {
        SkipBits(r, static_cast<uint32_t>(-s.n));
      } else {
        EXPECT_EQ(ReadBits(r, s.n), s.value) << "read of " << s.n;
      }
      bits += s.n < 0 ? -s.n : s.n;
      EXPECT_EQ(BitsBetween(start, r), bits);
      EXPECT_EQ(BitsBetween(r, start), -bits);
    }
    EXPECT_EQ(r.current, c.current);
    EXPECT_EQ(r.bitsLeft, c.bitsLeft);
    EXPECT_EQ(NextBytePosition(r), c.nextByte);
  }
}

// Reading from a buffer allocated to its exact size gives the same bits as
// reading the same bytes followed by zeros: inside the buffer nothing changes,
// and at or past its end every bit is 0. The allocation is exact so that the
// address sanitizer reports any byte read beyond it.
TEST(BitReader, ReadsPastTheEndAreZeros) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  for (uint32_t size : {0u, 1u, 3u, 8u, 29u}) {
    std::vector<uint8_t> padded(size + 64, 0);
    for (uint32_t i = 0; i < size; ++i) padded[i] = static_cast<uint8_t>(rng());
    auto exact = std::make_unique<uint8_t[]>(size ? size : 1);
    std::memcpy(exact.get(), padded.data(), size);
    BitReader a, b;
    StartReader(a, exact.get(), size, 0);
    StartReader(b, padded.data(), static_cast<uint32_t>(padded.size()), 0);
    while (NextBytePosition(b) < size + 40) {
      const int n = static_cast<int>(rng() % 33);
      if (rng() % 4 == 0) {
        SkipBits(a, static_cast<uint32_t>(n));
        SkipBits(b, static_cast<uint32_t>(n));
      } else {
        ASSERT_EQ(ReadBits(a, n), ReadBits(b, n)) << "size " << size << " at byte " << b.current;
      }
      ASSERT_EQ(a.current, b.current);
      ASSERT_EQ(a.bitsLeft, b.bitsLeft);
    }
    EXPECT_EQ(Crc16(a, 40, 0x1234), Crc16(b, 40, 0x1234));
  }
  // A reader placed far beyond a buffer reads nothing but zeros.
  const uint8_t one = 0xFF;
  BitReader r;
  StartReader(r, &one, 1, 4000);
  EXPECT_EQ(ReadBits(r, 32), 0u);
  SkipBits(r, 3);
  EXPECT_EQ(ReadBits(r, 16), 0u);
}

TEST(Crc16, CatalogueValuesAndTable) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t bits;
    uint16_t start, crc;
  };
  const Case cases[] = {
      {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 72, 0xFFFF, 0xAEE7},  // CRC-16/CMS check value
      {{0x00, 0x00}, 16, 0xFFFF, 0x800D},
      {{0xAB}, 0, 0x4321, 0x4321},  // an empty span leaves the register alone
  };
  for (const auto& c : cases) EXPECT_EQ(Crc16(ReaderOver(c.bytes), c.bits, c.start), c.crc);
  EXPECT_EQ(Crc16Table[0], 0x0000);
  EXPECT_EQ(Crc16Table[1], 0x8005);
  EXPECT_EQ(Crc16Table[255], 0x0202);
}

// The table path (whole bytes) and the bit path (the rest of a span) must be
// the same function: a span split anywhere, even bit by bit, gives the same
// register, and so does the same span starting at another bit offset.
TEST(Crc16, SpansSplitAnywhereAgree) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(40);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  const BitReader start = ReaderOver(bytes);
  const uint32_t whole = Crc16(start, 160, 0xFFFF);

  BitReader r = start;
  uint16_t crc = 0xFFFF;
  for (uint32_t done = 0; done < 160;) {
    const uint32_t n = std::min<uint32_t>(160 - done, 1 + rng() % 20);
    crc = Crc16(r, n, crc);
    SkipBits(r, n);
    done += n;
  }
  EXPECT_EQ(crc, whole);

  // 12 bits at a byte boundary and the same 12 bits three bits into a byte.
  const std::vector<uint8_t> aligned = {0xB5, 0xC0}, shifted = {0xF6, 0xB8};
  BitReader s = ReaderOver(shifted);
  SkipBits(s, 3);
  EXPECT_EQ(Crc16(ReaderOver(aligned), 12, 0xFFFF), Crc16(s, 12, 0xFFFF));
}

}  // namespace
}  // namespace quorvel
