// The frame-per-call protocol: results, output counts and stream positions
// for buffers that end in every possible place, with damaged frames, after a
// probe, and through the exported calls.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "api/decoder_state.h"
#include "bit_writer.h"
#include "quorvel/quorvel.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;
using Call = std::tuple<int32_t, int32_t, int32_t>;  // result, outBytes, streamPos

enum Crc { kNoCrc, kGoodCrc, kBadCrc };

// A silent frame (every allocation 0) of `length` bytes; `firstBodyByte`
// replaces the first byte after the header and CRC word.
Bytes MakeFrame(uint32_t layerCode, uint32_t bitrateIndex, uint32_t mode, uint32_t length, Crc crc = kNoCrc,
                uint8_t firstBodyByte = 0) {
  test::HeaderFields h;
  h.layerCode = layerCode;
  h.bitrateIndex = bitrateIndex;
  h.rateIndex = 1;  // 48000 Hz
  h.mode = mode;
  h.protectionBit = crc == kNoCrc ? 1 : 0;
  test::BitWriter w;
  test::PutHeader(w, h);
  const Bytes header = w.Bytes();
  Bytes body(length - 4 - (crc == kNoCrc ? 0 : 2), 0);
  body[0] = firstBodyByte;
  if (crc != kNoCrc) w.Put(test::FrameCrc(header, body, 176) ^ (crc == kBadCrc ? 1 : 0), 16);
  Bytes frame = w.Bytes();
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

const Bytes kLayer2 = MakeFrame(2, 10, 0, 576);     // stereo, 192 kbit/s
const Bytes kLayer2Mono = MakeFrame(2, 6, 3, 288);  // 96 kbit/s
const Bytes kLayer1 = MakeFrame(3, 4, 0, 128);      // stereo, 128 kbit/s

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes Zeros(size_t n) { return Bytes(n, 0); }
Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

struct Host {
  std::unique_ptr<DecoderState> state = std::make_unique<DecoderState>();
  Bytes out = Bytes(kMaxResampledBytes);
  Host() { InitDecoder(*state, 0, nullptr); }
  Call Decode(const uint8_t* data, int32_t length) {
    int32_t outBytes = -1, streamPos = -1;
    const int32_t result = DecompressAudioOn(*state, data, length, out.data(), &outBytes, &streamPos);
    return {result, outBytes, streamPos};
  }
  // The buffer, then null-buffer calls: as many calls as `count`.
  std::vector<Call> Calls(const Bytes& buffer, size_t count) {
    std::vector<Call> calls;
    const int32_t length = static_cast<int32_t>(buffer.size());
    for (size_t i = 0; i < count; ++i) calls.push_back(Decode(i == 0 ? buffer.data() : nullptr, length));
    return calls;
  }
};

TEST(DecompressAudio, ResultsForEachShapeOfBuffer) {
  const struct {
    const char* name;
    Bytes buffer;
    std::vector<Call> calls;
  } cases[] = {
      {"two frames and 100 bytes of a third",
       Join({kLayer2, kLayer2, Head(kLayer2, 100)}),
       {{0, 4608, 0}, {0, 4608, 576}, {100, 0, 1152}, {100, 0, 1152}}},
      {"fewer than 8 bytes after the last frame",
       Join({kLayer2, kLayer2, Zeros(5)}),
       {{0, 4608, 0}, {581, 0, 576}, {581, 0, 576}}},
      {"8 bytes without sync after the last frame",
       Join({kLayer2, kLayer2, Zeros(8)}),
       {{0, 4608, 0}, {0, 4608, 576}, {0, 0, 1152}, {8, 0, 1152}}},
      {"a frame longer than the buffer", Head(kLayer2, 300), {{0x8000, 0, 0}, {0x8000, 0, 0}}},
      {"a frame ending 7 bytes before the end", Join({kLayer2, Zeros(7)}), {{0x8000, 0, 0}}},
      {"Layer I stereo", Join({kLayer1, kLayer1, Zeros(8)}), {{0, 1536, 0}, {0, 1536, 128}}},
      {"Layer II single channel", Join({kLayer2Mono, kLayer2Mono, Zeros(8)}), {{0, 2304, 0}, {0, 2304, 288}}},
      {"a protected frame", Join({MakeFrame(2, 10, 0, 576, kGoodCrc), kLayer2, Zeros(8)}), {{0, 4608, 0}}},
      {"a CRC error, then the next frame",
       Join({MakeFrame(2, 10, 0, 576, kBadCrc), kLayer2, kLayer2, Zeros(8)}),
       {{0, 0, 0}, {0, 4608, 576}, {0, 4608, 1152}}},
      {"a forbidden Layer I allocation",
       Join({MakeFrame(3, 4, 0, 128, kNoCrc, 0xF0), kLayer1, Zeros(8)}),
       {{0x8000, 0, 0}}},
  };
  for (const auto& c : cases) {
    Host host;
    EXPECT_EQ(host.Calls(c.buffer, c.calls.size()), c.calls) << c.name;
  }
}

TEST(DecompressAudio, KeptTailIsDecodedFromTheNextBuffer) {
  Host host;
  const Bytes first = Join({kLayer2, kLayer2, Zeros(5)});
  ASSERT_EQ(host.Calls(first, 2).back(), Call(581, 0, 576));
  const Bytes next = Join({Bytes(first.end() - 581, first.end()), Zeros(3)});
  EXPECT_EQ(host.Calls(next, 3), (std::vector<Call>{{0, 4608, 576}, {0, 0, 1152}, {8, 0, 1152}}));
}

TEST(DecompressAudio, PositionsCountFromAProbedFrame) {
  Host host;
  const Bytes stream = Join({Zeros(100), kLayer2, kLayer2, Zeros(8)});
  int32_t rate = 0, channels = 0, bitrate = 0;
  ASSERT_EQ(ProbeHeader(*host.state, stream.data(), static_cast<int32_t>(stream.size()), &rate, &channels, &bitrate),
            0);
  EXPECT_EQ(std::tie(rate, channels, bitrate), std::make_tuple(48000, 2, 192000));
  EXPECT_EQ(host.Decode(stream.data() + 100, static_cast<int32_t>(stream.size() - 100)), Call(0, 4608, 100));
}

TEST(DecompressAudio, ExportedCallsSmoke) {
  Exit();
  Init(0, nullptr);
  Bytes out(QUORVEL_MAX_FRAME_BYTES);
  int32_t outBytes = -1, streamPos = -7;
  EXPECT_EQ(DecompressAudio(nullptr, 0, out.data(), 0, &outBytes, &streamPos), QUORVEL_NEED_BUFFER);
  EXPECT_EQ(outBytes, 0);
  EXPECT_EQ(streamPos, -7) << "the position is not written with result 1";
  const Bytes buffer = Join({kLayer2, kLayer2, Zeros(8)});
  const int32_t length = static_cast<int32_t>(buffer.size());
  std::vector<Call> calls;
  for (const uint8_t* data = buffer.data(); calls.size() < 4; data = nullptr) {
    const int32_t result = DecompressAudio(data, length, out.data(), 0, &outBytes, &streamPos);
    calls.emplace_back(result, outBytes, streamPos);
  }
  EXPECT_EQ(calls, (std::vector<Call>{{0, 4608, 0}, {0, 4608, 576}, {0, 0, 1152}, {8, 0, 1152}}));
  Exit();
}

}  // namespace
}  // namespace quorvel
