// Layer I: sample requantisation, the scalefactor and requantisation tables,
// and the frame body checks, on bodies written bit by bit.
#include "layers/layer1.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <tuple>

#include "bit_writer.h"
#include "reference/layer_reference.h"

namespace quorvel {
namespace {

constexpr Q28 kSentinel = 0x5A5A5A5A;

// Bit fields in stream order: {value, width}; widths beyond 32 write zeros.
std::vector<uint8_t> Bits(std::initializer_list<std::pair<uint32_t, int>> fields) {
  test::BitWriter w;
  for (auto [value, n] : fields) {
    for (int i = n - 1; i >= 0; --i) w.PutBit(i < 32 ? (value >> i) & 1 : 0);
  }
  return w.Bytes();
}

struct Decoded {
  std::unique_ptr<FrameState> frame = std::make_unique<FrameState>();
  InputCursor cursor{};
  int result = 0;
  int32_t bitsRead = 0;
};

// crcSpan > 0 protects the body with the CRC of that many bits; wrongCrc flips it.
Decoded Decode(const std::vector<uint8_t>& body, int32_t mode, uint32_t ext, uint32_t crcSpan = 0,
               bool wrongCrc = false) {
  Decoded d;
  for (auto& channel : d.frame->samples) channel.fill(kSentinel);
  d.frame->layer = 1;
  d.frame->modeCode = mode;
  d.frame->modeExtension = ext;
  StartReader(d.cursor.reader, body.data(), static_cast<uint32_t>(body.size()), 0);
  const BitReader start = d.cursor.reader;
  if (crcSpan) {
    d.frame->flags = FlagProtected;
    d.frame->runningCrc = 0xFFFF;
    d.frame->storedCrc = static_cast<uint16_t>(Crc16(start, crcSpan, 0xFFFF) ^ (wrongCrc ? 1 : 0));
  }
  d.result = DecodeLayer1(d.cursor, *d.frame);
  d.bitsRead = BitsBetween(start, d.cursor.reader);
  return d;
}

Q28 ReadSample(uint32_t code, int nb) {
  test::BitWriter w;
  w.Put(code, nb);
  BitReader r;
  StartReader(r, w.Bytes().data(), static_cast<uint32_t>(w.Bytes().size()), 0);
  const Q28 value = reference::ReadLayer1Sample(r, nb);
  EXPECT_EQ(r.current * 8 + 8 - r.bitsLeft, static_cast<uint32_t>(nb)) << "a sample takes exactly nb bits";
  return value;
}

TEST(Layer1, ReadLayer1Sample) {
  const std::tuple<int, uint32_t, Q28> cases[] = {
      {2, 0, -0x0AAA8000},      {2, 1, 0},           {2, 2, 0x0AAA8000}, {2, 3, 0x15550000}, {15, 0, -0x0FFFC000},
      {15, 0x7FFF, 0x10000000}, {15, 0x4000, 0x4000}};
  for (auto [nb, code, expected] : cases) EXPECT_EQ(ReadSample(code, nb), expected) << "nb " << nb << " code " << code;
  // Every width against 2^nb / (2^nb - 1) * (fraction + 2^(1 - nb)).
  for (int nb = 2; nb <= 15; ++nb) {
    for (uint32_t code = 0; code < (1u << nb); code += 1 + (code >> 3)) {
      const double half = std::ldexp(1.0, nb - 1), fraction = (code - half) / half;
      EXPECT_NEAR(ReadSample(code, nb) / 0x1p28, 2 * half / (2 * half - 1) * (fraction + 1 / half), 2e-4)
          << "nb " << nb << " code " << code;
    }
  }
}

TEST(Layer1, TablesFollowTheirRules) {
  EXPECT_EQ(ScalefactorTable[0], 0x20000000);
  EXPECT_EQ(ScalefactorTable[3], 0x10000000);
  EXPECT_EQ(ScalefactorTable[62], 323);
  EXPECT_EQ(ScalefactorTable[63], 0);
  for (int i = 0; i < 63; ++i) {
    EXPECT_EQ(ScalefactorTable[i], std::llround(std::pow(2.0L, 29.0L - i / 3.0L))) << "scalefactor " << i;
    EXPECT_TRUE(i % 3 || ScalefactorTable[i] == 1 << (29 - i / 3)) << "scalefactor " << i;
  }
  EXPECT_EQ(Layer1RequantTable[2], 0x15555555);
  EXPECT_EQ(Layer1RequantTable[15], 0x10002000);
  for (int nb = 2; nb <= 15; ++nb) {
    EXPECT_EQ(Layer1RequantTable[nb], std::llround(std::ldexp(1.0L, 28 + nb) / (std::ldexp(1.0L, nb) - 1))) << nb;
  }
}

TEST(Layer1, ScalesEachChannelWithItsOwnScalefactor) {
  EXPECT_EQ(FixMul(ScalefactorTable[6], -0x0AAA8000), -0x05554000);
  // Joint stereo, bound 4: nb = 2 in subband 0 of channel 1 and in the shared
  // subband 5, scaled by 2.0 on channel 0 and by 1.0 on channel 1; every sample code 0.
  const std::vector<uint8_t> body = Bits({{0, 4}, {1, 4}, {0, 28}, {1, 4}, {0, 104}, {0, 12}, {3, 6}, {0, 12 * 2 * 2}});
  const Decoded d = Decode(body, kModeJointStereo, 0);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.bitsRead, 4 * 36 + 3 * 6 + 12 * 2 * 2);
  const Q28 expected[2][6] = {{0, 0, 0, 0, 0, -0x15550000}, {-0x15550000, 0, 0, 0, 0, -0x0AAA8000}};
  for (int i = 0; i < 384; ++i) {
    for (int ch = 0; ch < 2; ++ch) {
      ASSERT_EQ(d.frame->samples[ch][i], i % 32 < 6 ? expected[ch][i % 32] : 0) << "channel " << ch << " index " << i;
    }
  }
}

TEST(Layer1, RejectedFramesLeaveSamplesUntouched) {
  const struct {
    const char* name;
    int32_t mode;
    uint32_t ext;
    std::vector<uint8_t> body;
    bool wrongCrc;
    int32_t status, bitsRead;
  } cases[] = {
      {"wrong CRC, before the allocation", kModeStereo, 0, Bits({{0x11111111, 32}}), true, StatusCrcError, 0},
      {"allocation 15 below the bound", kModeStereo, 0, Bits({{0, 4}, {15, 4}}), false, StatusBadAllocation, 8},
      {"allocation 15 in a shared subband", kModeJointStereo, 3, Bits({{0, 144}, {15, 4}}), false, StatusBadAllocation,
       148},
      {"scalefactor 63", kModeSingleChannel, 0, Bits({{0, 28}, {4, 4}, {0, 96}, {63, 6}}), false, StatusBadScalefactor,
       134},
      // The codes are read eight at a time: a code 15 late in the field, or
      // two of them, still stop the reader right after the first.
      {"allocation 15 in the second word", kModeStereo, 0, Bits({{0, 36}, {15, 4}, {15, 4}}), false,
       StatusBadAllocation, 40},
      {"allocation 15 as the last code", kModeStereo, 0, Bits({{0, 252}, {15, 4}}), false, StatusBadAllocation, 256},
      {"scalefactor 63 after a sound one", kModeSingleChannel, 0,
       Bits({{0, 24}, {4, 4}, {4, 4}, {0, 96}, {5, 6}, {63, 6}, {63, 6}}), false, StatusBadScalefactor, 140},
  };
  for (const auto& c : cases) {
    const Decoded d = Decode(c.body, c.mode, c.ext, c.wrongCrc ? 256 : 0, c.wrongCrc);
    EXPECT_EQ(d.result, -1) << c.name;
    EXPECT_EQ(d.cursor.status, c.status) << c.name;
    EXPECT_EQ(d.bitsRead, c.bitsRead) << c.name;
    for (const auto& channel : d.frame->samples) {
      for (Q28 s : channel) ASSERT_EQ(s, kSentinel) << c.name;
    }
  }
}

TEST(Layer1, CrcCoversExactlyTheAllocationField) {
  // 0x11 bytes: every allocation code 1 and no scalefactor 63.
  const std::vector<uint8_t> body(300, 0x11);
  const std::tuple<int32_t, uint32_t, uint32_t> cases[] = {
      {kModeSingleChannel, 0, 128}, {kModeStereo, 0, 256}, {kModeJointStereo, 3, 192}};
  for (auto [mode, ext, span] : cases) {
    EXPECT_EQ(Decode(body, mode, ext, span).result, 0) << "span " << span;
    for (uint32_t other : {span - 4, span + 4}) {
      EXPECT_EQ(Decode(body, mode, ext, other).cursor.status, StatusCrcError) << span << " checked as " << other;
    }
  }
}

TEST(Layer1, AllZeroAllocationGivesZerosWithoutFurtherBits) {
  const Decoded d = Decode(std::vector<uint8_t>(200, 0), kModeStereo, 0, 256);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.bitsRead, 256);
  for (const auto& channel : d.frame->samples) {
    for (int i = 0; i < kSamplesPerChannel; ++i) {
      ASSERT_EQ(channel[i], i < 384 ? 0 : kSentinel) << "Layer I writes slots 0-11 only; index " << i;
    }
  }
}

}  // namespace
}  // namespace quorvel
