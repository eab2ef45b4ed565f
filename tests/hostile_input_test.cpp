// Hostile and damaged input: every case runs through several hosts, each
// buffer in an allocation of exactly its length (so the sanitizers see any
// over-read), and must return with valid results after a number of calls
// bounded by the input's size. Where the damage spares whole frames, the test
// also counts the frames that must still be decoded.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "api/decoder_state.h"
#include "test_streams.h"

namespace quorvel::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct Host {
  size_t buffer;
  int32_t rate;  // probe with this requested rate first (0: no probe)
  bool processing;
};
constexpr Host kHosts[] = {{2889, 0, false}, {4096, 48000, true}, {32768, 0, false}};

bool ValidResult(int32_t r, size_t length) {
  return r == kResultFrame || r == kResultBufferDone || (r >= 8 && static_cast<size_t>(r) < length);
}

// Decodes `stream` like the classic host (with 8 zero bytes appended when
// `pad`), each buffer in an exact allocation, and returns the number of frames
// written, checking every call's promises on the way.
int Drive(Bytes stream, const Host& host, bool pad = true) {
  if (pad) stream.insert(stream.end(), 8, 0);
  const size_t total = stream.size();
  auto lend = [&](size_t at, size_t n) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
    std::copy_n(stream.begin() + static_cast<ptrdiff_t>(at), n, copy.get());
    return copy;
  };
  const auto state = std::make_unique<DecoderState>();
  const EqLevels eq{{18, 12, 6, 0, -6, -12, 0, 6, 12, 18}, 6};
  InitDecoder(*state, host.processing, host.processing ? &eq : nullptr);
  if (host.rate) {
    const size_t n = std::min(host.buffer, total);
    int32_t rate = host.rate, channels = 0, bitrate = 0;
    EXPECT_TRUE(
        ValidResult(ProbeHeader(*state, lend(0, n).get(), static_cast<int32_t>(n), &rate, &channels, &bitrate), n));
  }
  uint64_t calls = 0;
  int frames = 0;
  Bytes out(kMaxResampledBytes);
  for (size_t offset = 0;;) {
    const size_t length = std::min(host.buffer, total - offset);
    const auto buffer = lend(offset, length);
    int32_t result = kResultFrame;
    for (bool first = true; result == kResultFrame; first = false) {
      if (++calls > 2 * total + 16) {
        ADD_FAILURE() << "more than 2 calls per byte for " << total << " bytes";
        return frames;
      }
      int32_t outBytes = -1, pos = -1;
      result = DecompressAudioOn(*state, first ? buffer.get() : nullptr, static_cast<int32_t>(length), out.data(),
                               &outBytes, &pos);
      EXPECT_TRUE(ValidResult(result, length)) << result << " from a buffer of " << length;
      EXPECT_TRUE(outBytes >= 0 && outBytes <= kMaxResampledBytes && (outBytes == 0 || result == 0)) << outBytes;
      // Positions count from the probed frame when there was a probe.
      EXPECT_TRUE(host.rate || (pos >= 0 && static_cast<size_t>(pos) <= total)) << pos;
      frames += outBytes > 0;
    }
    const size_t end = offset + length;
    if (end >= total) return frames;
    offset = result == kResultBufferDone ? end : end - static_cast<size_t>(result);
  }
}

Bytes Random(size_t n, uint32_t seed, bool syncFree = false) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng() % (syncFree ? 255 : 256));
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct Case {
  std::string name;
  Bytes stream;
  int frames;  // frames that must be decoded; -1: no claim
};

std::vector<Case> HostileCases() {
  const Bytes header = {0xFF, 0xFD, 0x90, 0x64};
  // A 138-byte tag: "ID3", version 4, no flags, syncsafe size 128.
  Bytes id3 = Concat({{'I', 'D', '3', 4, 0, 0, 0, 0, 1, 0}, Bytes(64, 'x'), {0xFF, 0, 0xFF, 0x10}, Bytes(60, ' ')});
  std::vector<Case> cases = {
      {"empty", {}, 0},
      {"lone sync pair at the end", Concat({Bytes(100, 0), {0xFF, 0xFD}}), 0},
      {"64 KiB of 0xFF", Bytes(65536, 0xFF), 0},
      {"Layer I allocation code 15", Concat({Good(), Layer1(15, 0, Crc::kNone), Good(), Good()}), -1},
      {"scalefactor 63", Concat({Good(), Layer1(1, 63, Crc::kNone), Good(), Good()}), 3},
      {"Layer II all ones", Concat({Good(), Frame(HeaderFields{}, Bytes(413, 0xFF)), Good(), Good()}), 3},
      {"right and wrong CRC",
       Concat({Layer1(3, 10, Crc::kRight), Layer1(3, 10, Crc::kWrong), Layer1(3, 10, Crc::kRight),
               Layer1(3, 10, Crc::kRight)}),
       3},
      {"Layer III frames",
       Concat({Good(), Frame({.layerCode = 1}, Random(413, 7)), Frame({.idBit = 0, .layerCode = 1}, Random(200, 8)),
               Good(), Good()}),
       3},
      {"ID3v2 tag first", Concat({id3, Good(), Good(), Good(), Good()}), 4},
      {"sync-free garbage between frames", Concat({Good(), Good(), Random(1000, 3, true), Good(), Good(), Good()}), 5},
      {"garbage between frames", Concat({Good(), Good(), Random(1000, 4), Good(), Good(), Good()}), -1},
  };
  for (size_t n = 1; n <= 7; ++n) {
    cases.push_back(
        {std::to_string(n) + " header bytes", Bytes(header.begin(), header.begin() + std::min<size_t>(n, 4)), 0});
    cases.push_back({std::to_string(n) + " bytes of 0xFF", Bytes(n, 0xFF), 0});
  }
  for (uint32_t seed = 1; seed <= 4; ++seed)
    cases.push_back({"random " + std::to_string(seed), Random(20000, seed), -1});
  // Every value of every header field: version, layer, rate and bitrate
  // together, the rest one at a time. Unprotected headers with a length
  // must decode; every other header must be passed over.
  for (uint32_t v = 0; v < 64 * 16; ++v) {
    // Single channel, so that even a 32-byte Layer I frame holds its allocation.
    const HeaderFields h{.mpeg25Bit = v >> 9,
                         .idBit = (v >> 8) & 1,
                         .layerCode = (v >> 6) & 3,
                         .bitrateIndex = v & 15,
                         .rateIndex = (v >> 4) & 3,
                         .mode = 3};
    const bool decodable = h.layerCode >= 2 && HeaderFrameBytes(Frame(h).data()) != 0;
    cases.push_back({"header " + std::to_string(v), Concat({Frame(h), Frame(h), Frame(h)}), decodable ? 3 : 0});
  }
  for (uint32_t v = 0; v < 2 * 2 * 16; ++v) {
    const HeaderFields h{
        .protectionBit = v >> 5, .extraSlot = (v >> 4) & 1, .mode = (v >> 2) & 3, .modeExtension = v & 3};
    cases.push_back(
        {"header fields " + std::to_string(v), Concat({Frame(h), Frame(h), Frame(h)}), h.protectionBit ? 3 : -1});
  }
  return cases;
}

TEST(HostileInput, EveryCaseReturnsBoundedAndKeepsIntactFrames) {
  for (const Case& c : HostileCases()) {
    for (const Host& host : kHosts) {
      SCOPED_TRACE(c.name + ", buffer " + std::to_string(host.buffer));
      const int frames = Drive(c.stream, host);
      if (c.frames >= 0) {
        EXPECT_EQ(frames, c.frames);
      }
    }
  }
}

// A short stream of mixed layers and versions, cut at every byte: exactly the
// frames that are followed by 8 bytes are decoded.
TEST(HostileInput, TruncationAtEveryByte) {
  const Bytes stream = Concat({Layer1(3, 20, Crc::kRight), Good(),
                               Frame({.mpeg25Bit = 0, .idBit = 0, .bitrateIndex = 1, .rateIndex = 2, .mode = 3}),
                               Frame({.idBit = 0, .layerCode = 3, .bitrateIndex = 1, .rateIndex = 1}), Good()});
  const std::vector<size_t> starts = WalkFrames(stream);
  ASSERT_EQ(starts.size(), 5u);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    const Bytes cutStream(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
    for (const bool pad : {false, true}) {
      int expected = 0;
      for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : stream.size();
        expected += end + 8 <= cut + (pad ? 8 : 0);
      }
      for (const Host& host : kHosts) EXPECT_EQ(Drive(cutStream, host, pad), expected) << "cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace quorvel::test
