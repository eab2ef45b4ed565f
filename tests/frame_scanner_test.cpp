// Locating frames in hand-built buffers: what each FindFrame and DecodeFrame
// leaves in the cursor, so that the callers know which bytes to keep.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "bit_writer.h"
#include "bitstream/frame.h"
#include "layers/layer_decoders.h"

namespace quorvel {
namespace {

using test::HeaderFields;
using Bytes = std::vector<uint8_t>;

// A frame of `length` bytes: the header, then `fill` bytes (a zero body
// allocates nothing and decodes as silence).
Bytes Frame(const HeaderFields& h = {}, size_t length = 417, uint8_t fill = 0) {
  test::BitWriter w;
  test::PutHeader(w, h);
  Bytes bytes = w.Bytes();
  bytes.resize(length, fill);
  return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct Scan {
  InputCursor cursor;
  FrameState frame;
  explicit Scan(const Bytes& buffer) { SetBuffer(cursor, buffer.data(), static_cast<uint32_t>(buffer.size())); }
};

// FindFrame's result, then status (a success leaves it alone), frameStart,
// resume and synchronised.
using Expect = std::tuple<int, int32_t, uint32_t, uint32_t, int32_t>;

Expect Find(Scan& s) {
  const int result = FindFrame(s.frame, s.cursor);
  return {result, s.cursor.status, s.cursor.frameStart, s.cursor.resume, s.cursor.synchronised};
}

TEST(FrameScanner, Transitions) {
  const Bytes frame = Frame(), header = Frame({}, 4), zeros8(8, 0), candidate = {0xFF, 0xFD, 0x90, 0x64};
  struct Case {
    const char* name;
    Bytes buffer;
    std::vector<Expect> calls;
  };
  const Case cases[] = {
      {"empty buffer", {}, {{-1, StatusNeedData, 0, 0, 0}, {-1, StatusNeedData, 0, 0, 0}}},
      {"seven bytes", Bytes(frame.begin(), frame.begin() + 7), {{-1, StatusNeedData, 0, 0, 0}}},
      {"a first frame needs no confirmation",
       Cat({frame, zeros8}),
       {{0, 0, 0, 417, 1}, {-1, StatusBadHeader, 417, 418, 0}}},
      {"frames back to back",
       Cat({frame, frame, Bytes(8, 0xAA)}),
       {{0, 0, 0, 417, 1}, {0, 0, 417, 834, 1}, {-1, StatusBadHeader, 834, 835, 0}, {-1, StatusNeedData, 834, 835, 0}}},
      {"lost sync, then a confirmed frame",
       Cat({{0, 0}, frame, header, zeros8}),
       {{-1, StatusBadHeader, 0, 1, 0}, {0, StatusBadHeader, 2, 419, 1}}},
      {"lost sync, and the successor is no frame",
       Cat({{0, 0}, frame, zeros8}),
       {{-1, StatusBadHeader, 0, 1, 0}, {-1, StatusNeedData, 2, 419, 0}}},
      // The candidate at byte 1 would be 522 bytes long; byte 523 lies in the
      // zero body of the second real frame, so it is passed over.
      {"a false candidate is passed over",
       Cat({{0}, candidate, Bytes(5, 0), frame, frame, zeros8}),
       {{-1, StatusBadHeader, 0, 1, 0}, {0, StatusBadHeader, 10, 427, 1}, {0, StatusBadHeader, 427, 844, 1}}},
      {"a first frame longer than the buffer", Bytes(frame.begin(), frame.end() - 1), {{-1, StatusNeedData, 0, 0, 0}}},
      {"seven bytes after the frame", Cat({frame, Bytes(7, 0)}), {{-1, StatusNeedData, 0, 0, 0}}},
      {"a second frame cut short",
       Cat({frame, Bytes(frame.begin(), frame.begin() + 300)}),
       {{0, 0, 0, 417, 1}, {-1, StatusNeedData, 417, 417, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scan s(c.buffer);
    for (size_t i = 0; i < c.calls.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "call " << i + 1);
      EXPECT_EQ(Find(s), c.calls[i]);
    }
  }
}

TEST(FrameScanner, NoBufferSinceReset) {
  InputCursor cursor;
  ResetCursor(cursor);
  FrameState frame;
  EXPECT_EQ(FindFrame(frame, cursor), -1);
  EXPECT_EQ(cursor.status, StatusNoInput);
}

// A frame whose body the layer decoder rejects, or whose layer has no
// decoder, is skipped: `resume` stands after it and the following frame is
// found without a search.
TEST(FrameScanner, DecoderFailureResumesAfterTheFrame) {
  // Layer I, 32000 bit/s, one channel: the protected span is the 128-bit allocation.
  const HeaderFields layer1 = {.layerCode = 3, .protectionBit = 0, .bitrateIndex = 1, .mode = 3};
  Bytes badCrc = Frame(layer1, 32);
  const uint16_t crc = test::FrameCrc({badCrc.begin(), badCrc.begin() + 4}, {badCrc.begin() + 6, badCrc.end()}, 128);
  const uint16_t wrong = static_cast<uint16_t>(crc ^ 0xFFFF);
  badCrc[4] = static_cast<uint8_t>(wrong >> 8);
  badCrc[5] = static_cast<uint8_t>(wrong);
  Bytes badAllocation = Frame({.layerCode = 3, .bitrateIndex = 1}, 32);
  badAllocation[4] = 0xF0;  // allocation code 15 for the first subband

  struct Case {
    const char* name;
    Bytes frame;
    int32_t status;
  };
  const Case cases[] = {
      {"CRC mismatch", badCrc, StatusCrcError},
      {"forbidden allocation", badAllocation, StatusBadAllocation},
      {"Layer III", Frame({.layerCode = 1, .bitrateIndex = 9}, 417), StatusUnsupportedLayer},
      {"LSF Layer III", Frame({.idBit = 0, .layerCode = 1}, 208), StatusUnsupportedLayer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes buffer = Cat({c.frame, Frame(), Bytes(8, 0)});
    Scan s(buffer);
    const uint32_t length = static_cast<uint32_t>(c.frame.size());
    EXPECT_EQ(DecodeFrame(s.frame, s.cursor), -1);
    EXPECT_EQ(s.cursor.status, c.status);
    EXPECT_EQ(s.cursor.frameStart, 0u);
    EXPECT_EQ(s.cursor.resume, length);
    EXPECT_EQ(s.cursor.synchronised, 1);
    EXPECT_EQ(DecodeFrame(s.frame, s.cursor), 0);
    EXPECT_EQ(s.cursor.frameStart, length);
  }
}

// A damaged Layer I frame whose allocation asks for far more bits than the
// frame holds. Only the frame and 8 bytes lie in the buffer, allocated to its
// exact size so that the address sanitizer sees any byte read beyond it; the
// decoder must get the same samples as from the same bytes followed by zeros.
TEST(FrameScanner, DamagedFrameReadsNothingBeyondTheBuffer) {
  const Bytes frame = Frame({.layerCode = 3, .bitrateIndex = 1}, 32, 0xEE);  // every allocation 15 bits
  const Bytes buffer = Cat({frame, Bytes(8, 0xEE)});
  auto exact = std::make_unique<uint8_t[]>(buffer.size());
  std::memcpy(exact.get(), buffer.data(), buffer.size());
  const Bytes padded = Cat({buffer, Bytes(4000, 0)});

  auto tight = std::make_unique<Scan>(Bytes{});
  SetBuffer(tight->cursor, exact.get(), static_cast<uint32_t>(buffer.size()));
  auto loose = std::make_unique<Scan>(padded);
  ASSERT_EQ(DecodeFrame(tight->frame, tight->cursor), 0);
  ASSERT_EQ(DecodeFrame(loose->frame, loose->cursor), 0);
  EXPECT_TRUE(tight->frame.samples == loose->frame.samples);
}

}  // namespace
}  // namespace quorvel
