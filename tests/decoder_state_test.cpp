// The decoder's life cycle on independent states: which calls reset it, what
// the probe reports, and how stream positions are counted across buffers.
#include "api/decoder_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <tuple>
#include <vector>

#include "bit_writer.h"
#include "quorvel/quorvel.h"

namespace quorvel {
namespace {

using test::HeaderFields;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kUnwritten = -7;

// A frame of `length` bytes with a zero body, which decodes as silence.
Bytes Frame(const HeaderFields& h = {}, size_t length = 417) {
  test::BitWriter w;
  test::PutHeader(w, h);
  Bytes bytes = w.Bytes();
  bytes.resize(length, 0);
  return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kFrame = Frame(), kHeader = Frame({}, 4), kZeros8(8, 0);
// Three frames and the start of a fourth: three calls decode.
const Bytes kStream = Cat({kFrame, kFrame, kFrame, kHeader, kZeros8});

struct Call {
  int32_t result, outBytes = kUnwritten, streamPos = kUnwritten;
  bool operator==(const Call&) const = default;
  friend std::ostream& operator<<(std::ostream& o, const Call& c) {
    return o << "{" << c.result << ", " << c.outBytes << ", " << c.streamPos << "}";
  }
};

Call Decompress(DecoderState& s, const uint8_t* data, int32_t length) {
  static Bytes out(kMaxResampledBytes);
  Call c;
  c.result = DecompressAudioOn(s, data, length, out.data(), &c.outBytes, &c.streamPos);
  return c;
}
Call Decompress(DecoderState& s, const Bytes& b) { return Decompress(s, b.data(), static_cast<int32_t>(b.size())); }
Call Next(DecoderState& s, int32_t length = 0) { return Decompress(s, nullptr, length); }

struct Probe {
  int32_t result, rate = kUnwritten, channels = kUnwritten, bitrate = kUnwritten;
  bool operator==(const Probe&) const = default;
  friend std::ostream& operator<<(std::ostream& o, const Probe& p) {
    return o << "{" << p.result << ", " << p.rate << ", " << p.channels << ", " << p.bitrate << "}";
  }
};

Probe ProbeBytes(DecoderState& s, const Bytes& b, int32_t rate = 0, std::optional<int32_t> length = {}) {
  Probe p;
  p.rate = rate;
  p.result =
      ProbeHeader(s, b.data(), length.value_or(static_cast<int32_t>(b.size())), &p.rate, &p.channels, &p.bitrate);
  return p;
}

std::unique_ptr<DecoderState> Opened() {
  auto s = std::make_unique<DecoderState>();
  InitDecoder(*s, 0, nullptr);
  return s;
}

// Opens a decoder and decodes two frames, so that its place is 417 bytes in.
void Advance(DecoderState& s) {
  InitDecoder(s, 0, nullptr);
  Decompress(s, kStream);
  Next(s);
}

// Until a buffer is given after a reset, a call without one asks for a
// buffer; the next Init then starts the count of positions afresh.
TEST(DecoderState, NullBufferAfterAResetAsksForABuffer) {
  const std::pair<const char*, std::function<void(DecoderState&)>> cases[] = {
      {"load", [](DecoderState&) {}},
      {"Init twice", [](DecoderState& s) { InitDecoder(s, 0, nullptr); }},
      {"Exit", [](DecoderState& s) { Advance(s), ExitDecoder(s); }},
      {"SeekStart", [](DecoderState& s) { Advance(s), SeekStartDecoder(s); }},
      {"SeekStart, SeekEnd", [](DecoderState& s) { Advance(s), SeekStartDecoder(s), SeekEndDecoder(s); }},
      {"probe", [](DecoderState& s) { Advance(s), ProbeBytes(s, kStream); }},
  };
  for (const auto& [name, setup] : cases) {
    SCOPED_TRACE(name);
    auto s = std::make_unique<DecoderState>();
    setup(*s);
    EXPECT_EQ(s->resetPending, 1);
    EXPECT_EQ(Next(*s, static_cast<int32_t>(kStream.size())), (Call{1, 0, kUnwritten}));
    InitDecoder(*s, 0, nullptr);
    EXPECT_EQ(s->resetPending, 1);
    EXPECT_EQ(Decompress(*s, kStream).streamPos, 0);
  }
}

// Init and SeekEnd in the middle of a stream change only the options: the
// place in the buffer, the equaliser and the processing flag stay.
TEST(DecoderState, OptionsChangeMidStreamKeepsThePlace) {
  const std::pair<const char*, std::function<void(DecoderState&)>> cases[] = {
      {"Init", [](DecoderState& s) { InitDecoder(s, 1, nullptr); }},
      {"SeekEnd", [](DecoderState& s) { SeekEndDecoder(s); }},
  };
  for (const auto& [name, change] : cases) {
    SCOPED_TRACE(name);
    auto s = std::make_unique<DecoderState>();
    InitDecoder(*s, 1, nullptr);
    EXPECT_EQ(Decompress(*s, kStream).streamPos, 0);
    s->gain = 0x01234567;
    s->eqGains[5] = 0x100;
    change(*s);
    EXPECT_EQ(s->gain, kOneQ28);
    EXPECT_EQ(s->eqGains[5], 0x100);
    EXPECT_EQ(s->processingEnabled, 1);
    EXPECT_EQ(Next(*s, static_cast<int32_t>(kStream.size())), (Call{0, 4608, 417}));
  }
}

TEST(DecoderState, ProbeResults) {
  const Bytes framed = Cat({kHeader, kZeros8});  // the start of a successor
  struct Case {
    const char* name;
    Bytes buffer;
    std::optional<int32_t> length;  // none: the buffer's size
    int32_t rateIn = 0;
    Probe expected;
  };
  const Case cases[] = {
      {"empty buffer", kStream, 0, 0, {0x8000, 0}},
      {"negative length", kStream, -5, 0, {0x8000, 0}},
      {"frame longer than the buffer", Bytes(kFrame.begin(), kFrame.end() - 1), {}, 0, {0x8000, 0}},
      {"a found frame needs its successor's sync", Cat({{0, 0}, kFrame, kZeros8}), {}, 0, {425, 0}},
      {"found and confirmed", Cat({{0, 0}, kFrame, framed}), {}, 0, {0, 44100, 2, 128000}},
      {"first frame, no confirmation", Cat({kFrame, kZeros8}), {}, 0, {0, 44100, 2, 128000}},
      {"LSF", Cat({Frame({.idBit = 0}), framed}), {}, 0, {0, 22050, 2, 64000}},
      {"MPEG-2.5", Cat({Frame({.mpeg25Bit = 0, .idBit = 0}, 835), framed}), {}, 0, {0, 11025, 2, 64000}},
      {"dual channel", Cat({Frame({.mode = 2}), framed}), {}, 0, {0, 44100, 2, 128000}},
      {"single channel", Cat({Frame({.mode = 3}), framed}), {}, 0, {0, 44100, 1, 128000}},
      {"a requested rate is kept", Cat({kFrame, framed}), {}, 48000, {0, 48000, 2, 128000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = Opened();
    const Probe p = ProbeBytes(*s, c.buffer, c.rateIn, c.length);
    EXPECT_EQ(p, c.expected);  // nothing is written unless a frame was found
    EXPECT_EQ(s->resampleEnabled, p.result == 0 && c.rateIn != 0);
  }
}

// A probe without data returns at once, writes nothing and leaves the
// stream in progress where it was, in the internal and the exported call.
TEST(DecoderState, ProbeWithoutDataChangesNothing) {
  auto place = [](const DecoderState& d) {
    const InputCursor& c = d.cursor;
    return std::tuple(d.resetPending, d.streamOffset, d.consumed, c.buffer, c.length, c.synchronised, c.frameStart,
                      c.resume, c.status);
  };
  const int32_t size = static_cast<int32_t>(kStream.size());
  auto s = Opened();
  Decompress(*s, kStream);
  const auto before = place(*s);
  int32_t rate = 0, channels = kUnwritten, bitrate = kUnwritten;
  EXPECT_EQ(ProbeHeader(*s, nullptr, size, &rate, &channels, &bitrate), 0x8000);
  EXPECT_EQ(place(*s), before);
  EXPECT_EQ(std::tuple(rate, channels, bitrate), std::tuple(0, kUnwritten, kUnwritten));
  EXPECT_EQ(Next(*s, size).streamPos, 417);

  Bytes out(QUORVEL_MAX_FRAME_BYTES);
  int32_t outBytes = kUnwritten, streamPos = kUnwritten;
  Init(0, nullptr);
  ASSERT_EQ(DecompressAudio(kStream.data(), size, out.data(), 0, &outBytes, &streamPos), QUORVEL_FRAME);
  EXPECT_EQ(GetHeaderInfo(nullptr, size, &rate, &channels, &bitrate), QUORVEL_BUFFER_DONE);
  EXPECT_EQ(DecompressAudio(nullptr, size, out.data(), 0, &outBytes, &streamPos), QUORVEL_FRAME);
  EXPECT_EQ(streamPos, 417);
  EXPECT_EQ(std::tuple(rate, channels, bitrate), std::tuple(0, kUnwritten, kUnwritten));
  Exit();
}

// The probe closes the stream and counts the next buffer from its frame.
TEST(DecoderState, NextBufferCountsFromTheProbedFrame) {
  auto s = Opened();
  ASSERT_EQ(ProbeBytes(*s, Cat({Bytes(100, 0), kStream})).result, 0);
  EXPECT_EQ(Decompress(*s, kStream).streamPos, 100);
  EXPECT_EQ(Next(*s).streamPos, 517);
}

// After 0x8000 nothing of the old buffer comes again, so the next buffer
// begins where the old one ended. The calls without a buffer pass a length
// that is not the buffer's: only the buffer's own length may decide between
// 0x8000 and a count, or a host would present the same bytes forever.
TEST(DecoderState, BufferDoneCountsTheWholeBuffer) {
  Bytes badLayer1 = Frame({.layerCode = 3, .bitrateIndex = 1}, 32);
  badLayer1[4] = 0xF0;  // forbidden allocation
  struct Case {
    const char* name;
    Bytes buffer;
    int32_t length;
    std::vector<Call> calls;  // the last returns 0x8000
    int32_t ended;            // stream position where the next buffer begins
  };
  const Case cases[] = {
      {"empty", kStream, 0, {{0x8000, 0, 0}}, 0},
      {"negative length", kStream, -3, {{0x8000, 0, 0}}, 0},
      {"no frame at all", Bytes(40, 0), 40, {{0, 0, 0}, {0x8000, 0, 0}}, 40},
      {"first frame too long", Bytes(kFrame.begin(), kFrame.end() - 20), 397, {{0x8000, 0, 0}}, 397},
      {"forbidden allocation", Cat({kFrame, badLayer1, kStream}), 1712, {{0, 4608, 0}, {0x8000, 0, 417}}, 1712},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_LE(static_cast<size_t>(std::max(c.length, 0)), c.buffer.size());
    auto s = Opened();
    s->streamOffset = 1000;
    for (size_t i = 0; i < c.calls.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "call " << i + 1);
      Call want = c.calls[i];
      want.streamPos += 1000;
      EXPECT_EQ(i == 0 ? Decompress(*s, c.buffer.data(), c.length) : Next(*s, c.length + 999), want);
    }
    EXPECT_EQ(Decompress(*s, kStream).streamPos, 1000 + c.ended);
  }
}

// A header with bitrate index 0 right after a buffer ran out: the stale "need
// data" must not end the new buffer; the header is skipped and the frame
// after it decodes.
TEST(DecoderState, FreeFormatHeaderAfterNeedDataIsSkipped) {
  auto s = Opened();
  ASSERT_EQ(Decompress(*s, Bytes(kFrame.begin(), kFrame.end() - 1)).result, 0x8000);
  ASSERT_EQ(s->cursor.status, StatusNeedData);
  const Bytes next = Cat({Frame({.bitrateIndex = 0}, 20), kStream});  // read in place: keep it alive
  EXPECT_EQ(Decompress(*s, next), (Call{0, 0, 416}));
  EXPECT_EQ(Next(*s), (Call{0, 4608, 416 + 20}));
}

// Positions are 32-bit and wrap, across the signed and the unsigned limit;
// the sanitizer build checks that no signed arithmetic overflows on the way.
TEST(DecoderState, StreamPositionsWrap) {
  for (uint32_t start : {0x7FFFFFF0u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(start);
    auto at = [start](uint32_t offset) { return static_cast<int32_t>(start + offset); };
    auto s = Opened();
    s->streamOffset = start;
    EXPECT_EQ(Decompress(*s, kStream).streamPos, at(0));
    EXPECT_EQ(Next(*s).streamPos, at(417));
    EXPECT_EQ(Next(*s).streamPos, at(834));
    EXPECT_EQ(Next(*s), (Call{12, 0, at(1251)}));
    EXPECT_EQ(Decompress(*s, Cat({kFrame, kZeros8})).streamPos, at(1251));
  }
}

}  // namespace
}  // namespace quorvel
