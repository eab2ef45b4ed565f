// Layer II: table selection and lookups, the quantisation classes, sample
// requantisation, and frame bodies written bit by bit.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <tuple>

#include "bit_writer.h"
#include "layers/layer2_tables.h"
#include "reference/layer_reference.h"

namespace quorvel {
namespace {

using test::BitWriter;

constexpr Q28 kSentinel = 0x5A5A5A5A;
constexpr Q28 kThird = 0x0AAA8000;  // 3 levels, sample 2, unscaled

FrameState Header(uint32_t flags, int32_t mode, uint32_t bitrate, uint32_t rate, uint32_t ext = 0) {
  FrameState f;
  f.layer = 2;
  f.flags = flags;
  f.modeCode = mode;
  f.bitrate = bitrate;
  f.sampleRate = rate;
  f.modeExtension = ext;
  return f;
}

TEST(Layer2, SelectsTheAllocationTable) {
  const std::tuple<uint32_t, int32_t, uint32_t, uint32_t, int> cases[] = {
      {0, kModeStereo, 192000, 48000, 0},       {0, kModeStereo, 192000, 44100, 1},
      {0, kModeStereo, 192000, 32000, 1},       {0, kModeJointStereo, 64000, 32000, 3},
      {0, kModeJointStereo, 64000, 44100, 2},   {0, kModeJointStereo, 64000, 48000, 2},
      {0, kModeSingleChannel, 56000, 44100, 0}, {0, kModeSingleChannel, 384000, 44100, 1},
      {0, kModeDualChannel, 96000, 48000, 2},   {0, kModeSingleChannel, 48000, 32000, 3},
      {0, kModeSingleChannel, 80000, 32000, 0}, {0, kModeStereo, 160000, 44100, 0},
      {FlagLsf, kModeStereo, 32000, 22050, 4},  {FlagLsf | FlagMpeg25, kModeSingleChannel, 8000, 8000, 4},
  };
  for (auto [flags, mode, bitrate, rate, table] : cases) {
    EXPECT_EQ(SelectLayer2Table(Header(flags, mode, bitrate, rate)), table)
        << bitrate << " bit/s, mode " << mode << ", " << rate << " Hz";
  }
  const int sblimits[] = {27, 30, 8, 12, 30};
  for (int t = 0; t < 5; ++t) EXPECT_EQ(Layer2AllocTable[t].sblimit, sblimits[t]) << "table " << t;
}

TEST(Layer2, LooksUpAllocationWidthAndClass) {
  const std::tuple<int, int, int, uint32_t, int> cases[] = {
      // table, subband, nbal, code, levels
      {0, 0, 4, 1, 3},      {0, 0, 4, 15, 65535}, {0, 3, 4, 14, 8191}, {0, 11, 3, 7, 65535}, {0, 26, 2, 3, 65535},
      {1, 29, 2, 2, 5},     {2, 5, 3, 7, 127},    {2, 1, 4, 2, 5},     {3, 11, 3, 3, 9},     {4, 0, 4, 3, 7},
      {4, 3, 4, 15, 16383}, {4, 4, 3, 7, 127},    {4, 10, 3, 1, 3},    {4, 11, 2, 3, 9},     {4, 29, 2, 2, 5},
  };
  for (auto [table, sb, nbal, code, levels] : cases) {
    EXPECT_EQ(AllocClass[Layer2AllocTable[table].classOf[sb]].nbal, nbal) << "table " << table << " sb " << sb;
    EXPECT_EQ(QuantClassFor(table, sb, code).levels, levels) << "table " << table << " sb " << sb << " code " << code;
  }
}

TEST(Layer2, QuantClassesFollowTheirRule) {
  const int firstLevels[5] = {3, 5, 7, 9, 15}, firstSampleBits[5] = {2, 3, 0, 4, 0}, firstBits[5] = {5, 7, 3, 10, 4};
  for (int i = 0; i < 17; ++i) {
    const QuantClassEntry& q = QuantClass[i];
    const int levels = i < 5 ? firstLevels[i] : (1 << i) - 1;
    const int sampleBits = i < 5 ? firstSampleBits[i] : 0;
    const int codewordBits = i < 5 ? firstBits[i] : i;
    const int nb = sampleBits ? sampleBits : codewordBits;
    EXPECT_EQ(q.levels, levels) << "class " << i;
    EXPECT_EQ(q.sampleBits, sampleBits) << "class " << i;
    EXPECT_EQ(q.codewordBits, codewordBits) << "class " << i;
    EXPECT_EQ(q.C, std::llround(std::ldexp(1.0, 28 + nb) / levels)) << "class " << i;
    EXPECT_EQ(q.D, sampleBits ? 0x08000000 : std::llround(std::ldexp(1.0, 29 - nb))) << "class " << i;
    if (sampleBits) {
      EXPECT_LE(std::pow(levels, 3), std::ldexp(1.0, codewordBits)) << "class " << i;
    }
  }
  EXPECT_EQ(QuantClass[1].C, 0x1999999A);
  EXPECT_EQ(QuantClass[16].C, 0x10001000);
}

TEST(Layer2, RequantisesTriples) {
  const std::tuple<int, std::vector<uint32_t>, std::array<Q28, 3>> cases[] = {
      // class, codes, samples
      {0, {0}, {-kThird, -kThird, -kThird}},
      {0, {26}, {kThird, kThird, kThird}},
      {0, {1}, {0, -kThird, -kThird}},
      {0, {27}, {-kThird, -kThird, -kThird}},
      {0, {28}, {0, -kThird, -kThird}},
      {0, {29}, {kThird, -kThird, -kThird}},
      {0, {30}, {-kThird, 0, -kThird}},
      {0, {31}, {0, 0, -kThird}},
      {1, {0 + 5 * 2 + 25 * 4}, {-0x0CCD0000, 0, 0x0CCD0000}},
      {3, {0 + 9 * 4 + 81 * 8}, {-0x0E390000, 0, 0x0E390000}},
      {16, {0, 0x7FFF, 0x8000}, {-0x0FFFE000, 0, 0x2000}},
      {16, {0xFFFF, 0xFFFF, 0xFFFF}, {0x10000000, 0x10000000, 0x10000000}},
  };
  for (const auto& [cls, codes, expected] : cases) {
    const QuantClassEntry& q = QuantClass[cls];
    BitWriter w;
    for (uint32_t code : codes) w.Put(code, q.codewordBits);
    BitReader r;
    StartReader(r, w.Bytes().data(), static_cast<uint32_t>(w.Bytes().size()), 0);
    const BitReader start = r;
    Q28 out[3];
    reference::ReadLayer2Triple(r, q, out);
    EXPECT_EQ(BitsBetween(start, r), static_cast<int32_t>(codes.size() * q.codewordBits)) << "class " << cls;
    EXPECT_EQ(std::to_array(out), expected) << "class " << cls << " code " << codes[0];
  }
}

struct Decoded {
  std::unique_ptr<FrameState> frame;
  InputCursor cursor{};
  int result = 0;
  int32_t bitsRead = 0;
};

// crcSpan > 0 protects the body with the CRC of that many bits; wrongCrc flips it.
Decoded Decode(const FrameState& header, const std::vector<uint8_t>& body, uint32_t crcSpan = 0,
               bool wrongCrc = false) {
  Decoded d{std::make_unique<FrameState>(header)};
  for (auto& channel : d.frame->samples) channel.fill(kSentinel);
  StartReader(d.cursor.reader, body.data(), static_cast<uint32_t>(body.size()), 0);
  const BitReader start = d.cursor.reader;
  if (crcSpan) {
    d.frame->flags |= FlagProtected;
    d.frame->runningCrc = 0xFFFF;
    d.frame->storedCrc = static_cast<uint16_t>(Crc16(start, crcSpan, 0xFFFF) ^ (wrongCrc ? 1 : 0));
  }
  d.result = DecodeLayer2(d.cursor, *d.frame);
  d.bitsRead = BitsBetween(start, d.cursor.reader);
  return d;
}

void ExpectUntouched(const FrameState& frame, int fromChannel, const char* what) {
  for (int ch = fromChannel; ch < 2; ++ch) {
    for (Q28 v : frame.samples[ch]) ASSERT_EQ(v, kSentinel) << what << ", channel " << ch;
  }
}

TEST(Layer2, ScalefactorsByScfsiAndTheirChecks) {
  // A 24 kHz single-channel frame (table 4: 75 allocation bits) with only
  // subband 0 transmitted, 3 levels, every sample 2.
  const FrameState header = Header(FlagLsf, kModeSingleChannel, 64000, 24000);
  const struct {
    int scfsi;
    std::array<int, 3> written, parts;
    uint32_t crcSpan;
    bool wrongCrc;
    int32_t status;  // 0: decoded
  } cases[] = {
      {0, {3, 6, 9}, {3, 6, 9}, 0, false, 0},
      {1, {3, 6, 9}, {3, 3, 6}, 0, false, 0},
      {2, {3, 6, 9}, {3, 3, 3}, 77, false, 0},
      {3, {3, 6, 9}, {3, 6, 6}, 0, false, 0},
      {0, {63, 6, 9}, {}, 0, false, StatusBadScalefactor},
      {0, {3, 63, 9}, {}, 0, false, StatusBadScalefactor},
      {0, {3, 6, 63}, {}, 0, false, StatusBadScalefactor},
      {1, {3, 63, 0}, {}, 0, false, StatusBadScalefactor},
      {3, {3, 63, 0}, {}, 0, false, StatusBadScalefactor},
      // The CRC covers the allocation and scfsi bits and is checked before any scalefactor.
      {0, {63, 63, 63}, {}, 77, false, StatusBadScalefactor},
      {0, {63, 63, 63}, {}, 77, true, StatusCrcError},
  };
  for (const auto& c : cases) {
    BitWriter w;
    w.Put(1, 4).Put(0, 31).Put(0, 32).Put(0, 8).Put(c.scfsi, 2);  // 75 allocation bits, scfsi
    for (int i = 0; i < (c.scfsi == 0 ? 3 : c.scfsi == 2 ? 1 : 2); ++i) w.Put(c.written[i], 6);
    for (int group = 0; group < 12; ++group) w.Put(26, 5);
    const Decoded d = Decode(header, w.Bytes(), c.crcSpan, c.wrongCrc);
    SCOPED_TRACE(testing::Message() << "scfsi " << c.scfsi << ", scalefactors " << c.written[0] << " " << c.written[1]
                                    << " " << c.written[2] << ", crc " << c.wrongCrc);
    ExpectUntouched(*d.frame, c.status ? 0 : 1, "");
    if (c.status) {
      EXPECT_EQ(d.result, -1);
      EXPECT_EQ(d.cursor.status, c.status);
      EXPECT_TRUE(c.status != StatusCrcError || d.bitsRead == 77) << "CRC checked right after scfsi";
      continue;
    }
    ASSERT_EQ(d.result, 0);
    for (int slot = 0; slot < 36; ++slot) {
      const Q28* s = &d.frame->samples[0][slot * 32];
      EXPECT_EQ(s[0], FixMul(ScalefactorTable[c.parts[slot / 12]], kThird)) << "slot " << slot;
      for (int sb = 1; sb < 32; ++sb) ASSERT_EQ(s[sb], 0) << "slot " << slot << " sb " << sb;
    }
  }
}

TEST(Layer2, JointStereoBoundIsLimitedBySblimit) {
  // 64 kbit/s joint stereo at 44.1 kHz: table 2, sblimit 8, so the bound of
  // mode extension 3 (16) becomes 8 and every subband has two allocations.
  // Allocation: 2 x (2 x 4 + 6 x 3) bits, the last code (channel 1, subband 7) is 1.
  BitWriter w;
  w.Put(0, 32).Put(0, 17).Put(1, 3).Put(2, 2).Put(3, 6);
  for (int group = 0; group < 12; ++group) w.Put(26, 5);
  const Decoded d = Decode(Header(0, kModeJointStereo, 64000, 44100, 3), w.Bytes(), 52 + 2);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.bitsRead, 52 + 2 + 6 + 12 * 5);
  for (int slot = 0; slot < 36; ++slot) {
    EXPECT_EQ(d.frame->samples[0][slot * 32 + 7], 0) << "slot " << slot;
    EXPECT_EQ(d.frame->samples[1][slot * 32 + 7], kThird) << "slot " << slot;
  }
}

TEST(Layer2, AllZeroAllocationHasOnlyAllocationBits) {
  const std::pair<FrameState, int32_t> cases[] = {{Header(0, kModeStereo, 192000, 48000), 2 * 88},
                                                  {Header(0, kModeJointStereo, 192000, 48000, 0), 2 * 16 + 72},
                                                  {Header(FlagLsf, kModeSingleChannel, 8000, 22050), 75}};
  for (const auto& [header, bits] : cases) {
    const Decoded d = Decode(header, std::vector<uint8_t>(64, 0), static_cast<uint32_t>(bits));
    ASSERT_EQ(d.result, 0) << bits;
    EXPECT_EQ(d.bitsRead, bits);
    const int nch = ChannelCount(header);
    for (int ch = 0; ch < nch; ++ch) {
      for (Q28 v : d.frame->samples[ch]) ASSERT_EQ(v, 0) << "channel " << ch;
    }
    ExpectUntouched(*d.frame, nch, "a single-channel frame leaves channel 1 alone");
  }
}

}  // namespace
}  // namespace quorvel
