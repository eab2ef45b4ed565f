// Frame headers: the parsed fields and frame lengths of every version and
// layer, and the headers that must be rejected as invalid.
#include <gtest/gtest.h>

#include <vector>

#include "bit_writer.h"
#include "bitstream/frame.h"

namespace quorvel {
namespace {

using test::HeaderFields;

// Defaults: MPEG-1 Layer II, 128000 bit/s, 44100 Hz, stereo.
std::vector<uint8_t> Header(const HeaderFields& h) {
  test::BitWriter w;
  test::PutHeader(w, h);
  return w.Bytes();
}

struct HeaderCase {
  const char* name;
  std::vector<uint8_t> bytes;
  uint32_t layer, bitrate, sampleRate;
  int32_t modeCode;
  uint32_t modeExtension, flags, length;
};

TEST(FrameHeader, FieldsAndLengths) {
  const HeaderCase cases[] = {
      {"joint stereo Layer II", {0xFF, 0xFD, 0x90, 0x64}, 2, 160000, 44100, 2, 2, 0, 522},
      {"Layer II 128k", Header({}), 2, 128000, 44100, 3, 0, 0, 417},
      {"Layer II 128k extra slot", Header({.extraSlot = 1}), 2, 128000, 44100, 3, 0, FlagExtraSlot, 418},
      {"Layer I 384k 48000", Header({.layerCode = 3, .bitrateIndex = 12, .rateIndex = 1}), 1, 384000, 48000, 3, 0, 0,
       384},
      {"Layer I 32k", Header({.layerCode = 3, .bitrateIndex = 1}), 1, 32000, 44100, 3, 0, 0, 32},
      {"Layer I 32k extra slot", Header({.layerCode = 3, .bitrateIndex = 1, .extraSlot = 1}), 1, 32000, 44100, 3, 0,
       FlagExtraSlot, 36},
      {"LSF Layer II 64k", Header({.idBit = 0}), 2, 64000, 22050, 3, 0, FlagLsf, 417},
      {"MPEG-2.5 Layer II 8k 8000", Header({.mpeg25Bit = 0, .idBit = 0, .bitrateIndex = 1, .rateIndex = 2}), 2, 8000,
       8000, 3, 0, FlagLsf | FlagMpeg25, 144},
      {"MPEG-2.5 index 1, single channel", Header({.mpeg25Bit = 0, .idBit = 0, .rateIndex = 1, .mode = 3}), 2, 64000,
       12000, 0, 0, FlagLsf | FlagMpeg25, 768},
      {"longest frame, dual channel",
       Header({.mpeg25Bit = 0, .idBit = 0, .bitrateIndex = 14, .rateIndex = 2, .extraSlot = 1, .mode = 2}), 2, 160000,
       8000, 1, 0, FlagLsf | FlagMpeg25 | FlagExtraSlot, 2881},
      {"Layer III", Header({.layerCode = 1, .bitrateIndex = 9}), 3, 128000, 44100, 3, 0, 0, 417},
      {"LSF Layer III", Header({.idBit = 0, .layerCode = 1}), 3, 64000, 22050, 3, 0, FlagLsf, 208},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InputCursor cursor;
    SetBuffer(cursor, c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
    FrameState frame;
    ASSERT_EQ(ParseHeader(frame, cursor), 0);
    EXPECT_EQ(frame.layer, c.layer);
    EXPECT_EQ(frame.bitrate, c.bitrate);
    EXPECT_EQ(frame.sampleRate, c.sampleRate);
    EXPECT_EQ(frame.modeCode, c.modeCode);
    EXPECT_EQ(frame.modeExtension, c.modeExtension);
    EXPECT_EQ(frame.flags, c.flags);
    EXPECT_EQ(FrameLength(frame), c.length);
    EXPECT_EQ(cursor.reader.current, 4u);  // the body follows the header
    EXPECT_EQ(cursor.reader.bitsLeft, 8u);
  }
}

TEST(FrameHeader, ProtectedHeaderCarriesBothCrcs) {
  const std::vector<uint8_t> bytes = {0xFF, 0xFC, 0x90, 0x64, 0xAB, 0xCD, 0x12};
  InputCursor cursor;
  SetBuffer(cursor, bytes.data(), static_cast<uint32_t>(bytes.size()));
  FrameState frame;
  ASSERT_EQ(ParseHeader(frame, cursor), 0);
  EXPECT_EQ(frame.flags, FlagProtected);
  EXPECT_EQ(frame.runningCrc, 0x615C);  // header bits 16..31 from 0xFFFF
  EXPECT_EQ(frame.storedCrc, 0xABCD);
  EXPECT_EQ(FrameLength(frame), 522u);
  EXPECT_EQ(cursor.reader.current, 6u);
}

// Every invalid header is rejected as a bad header, one byte after which the
// search resumes, whatever status an earlier failure left behind: a stale
// "need data" would make the caller drop the rest of a good buffer.
TEST(FrameHeader, InvalidHeadersAreBadHeaders) {
  struct Case {
    const char* name;
    HeaderFields fields;
  };
  const Case cases[] = {
      {"MPEG-2.5 bit without LSF", {.mpeg25Bit = 0}},
      {"sample-rate index 3", {.rateIndex = 3}},
      {"LSF sample-rate index 3", {.idBit = 0, .rateIndex = 3}},
      {"reserved layer", {.layerCode = 0}},
      {"LSF reserved layer", {.idBit = 0, .layerCode = 0, .bitrateIndex = 14}},
      {"free format", {.bitrateIndex = 0}},
      {"bitrate index 15", {.bitrateIndex = 15}},
      {"LSF Layer I bitrate index 15", {.idBit = 0, .layerCode = 3, .bitrateIndex = 15}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = Header(c.fields);
    bytes.resize(3000, 0);
    for (Status stale : {StatusNeedData, StatusBadAllocation}) {
      InputCursor cursor;
      SetBuffer(cursor, bytes.data(), static_cast<uint32_t>(bytes.size()));
      cursor.status = stale;
      FrameState frame;
      EXPECT_EQ(FindFrame(frame, cursor), -1);
      EXPECT_EQ(cursor.status, StatusBadHeader);
      EXPECT_EQ(cursor.frameStart, 0u);
      EXPECT_EQ(cursor.resume, 1u);
      EXPECT_EQ(cursor.synchronised, 0);
    }
  }
}

TEST(FrameHeader, BitrateTableRows) {
  const uint32_t last[5] = {448000, 384000, 320000, 256000, 160000};
  for (size_t row = 0; row < BitrateTable.size(); ++row) {
    EXPECT_EQ(BitrateTable[row][0], 0u);
    EXPECT_EQ(BitrateTable[row][14], last[row]);
    for (size_t i = 1; i < 15; ++i) EXPECT_GT(BitrateTable[row][i], BitrateTable[row][i - 1]) << row << " " << i;
  }
}

}  // namespace
}  // namespace quorvel
