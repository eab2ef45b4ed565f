// "Nothing lost", on every clean stream of the corpus (no frame flagged in
// CHECK.tsv): the PCM does not depend on how the host cuts the stream into
// buffers, garbage between two frames costs no frame, and with the 8-byte end
// padding every frame that a plain header walk finds is decoded.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "corpus.h"
#include "quorvel/decoder.hpp"
#include "test_seed.h"
#include "test_streams.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

// Host buffer sizes from the smallest that holds every frame plus its 8-byte
// look-ahead to the largest a host uses.
constexpr int kBufferSizes[] = {2889, 2890, 3001, 4095, 4097, 5003, 7919, 10007, 16384, 20011, 27000, 32768};
constexpr int kSizeCount = static_cast<int>(std::size(kBufferSizes));

struct CleanStream {
  std::string name;
  std::vector<uint8_t> bytes;
  size_t manifestFrames = 0;
};

std::vector<std::vector<std::string>> TsvRows(const fs::path& path) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream cells(line);
    rows.emplace_back();
    for (std::string cell; std::getline(cells, cell, '\t');) rows.back().push_back(cell);
  }
  return rows;
}

// Streams without a flagged frame (column 12 of CHECK.tsv), with the frame
// count of the manifest (column 8).
std::vector<CleanStream> CleanStreams(const fs::path& corpus) {
  std::map<std::string, std::string> frames;
  for (const auto& row : TsvRows(corpus / "MANIFEST.tsv")) frames[row[0]] = row.size() >= 8 ? row[7] : "";
  std::vector<CleanStream> streams;
  for (const auto& row : TsvRows(corpus / "CHECK.tsv")) {
    if (row.size() >= 12 && row[11] == "-") {
      streams.push_back({row[0], ReadFile(corpus / row[0]), std::stoul(frames[row[0]])});
    }
  }
  return streams;
}

struct Decoded {
  std::vector<uint8_t> pcm;
  int frames = 0;
};

Decoded Decode(const std::vector<uint8_t>& stream, int buffer) {
  const auto state = std::make_unique<DecoderState>();
  HostOptions options;
  options.buffer = buffer;
  HostRun run = RunHost(*state, stream, options);
  Decoded d{std::move(run.pcm), 0};
  std::istringstream log(run.log);
  for (std::string result, bytes, pos; log >> result >> bytes >> pos;) d.frames += bytes != "0";
  return d;
}

// The C++ API fed in random chunks of 1 to 9000 bytes, pulling a random
// number of frames between two chunks, so that chunks arrive while a buffer
// is being decoded.
Decoded DecodeInRandomChunks(const std::vector<uint8_t>& stream, std::mt19937& rng) {
  Decoder decoder({.accuracy = Accuracy::Compatible});  // buffers of 4096 bytes, as Decode(stream, 4096)
  Decoded d;
  quorvel::Frame frame;
  auto pull = [&](uint32_t most) {
    for (uint32_t n = 0; n < most; ++n) {
      const Decoder::Next next = decoder.Pull(frame);
      if (next != Decoder::Next::Frame && next != Decoder::Next::Skipped) return;
      if (frame.decoded()) {
        d.pcm.insert(d.pcm.end(), frame.bytes.begin(), frame.bytes.end());
        ++d.frames;
      }
    }
  };
  for (size_t at = 0; at < stream.size();) {
    const size_t chunk = std::min<size_t>(1 + rng() % 9000, stream.size() - at);
    decoder.Feed(stream.data() + at, chunk);
    at += chunk;
    pull(rng() % 4 == 0 ? UINT32_MAX : rng() % 3);
  }
  decoder.Finish();
  pull(UINT32_MAX);
  return d;
}

class NothingLost : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_ = CorpusDir();
    if (!corpus_) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
    streams_ = CleanStreams(*corpus_);
    ASSERT_GT(streams_.size(), 100u);
  }
  std::optional<fs::path> corpus_;
  std::vector<CleanStream> streams_;
};

// Property 3, and the reference PCM of property 1: with the end padding, the
// decoder yields exactly the frames of the walk (which agrees with the
// manifest), and every other buffer size yields the same bytes, as does the
// C++ API fed in random chunks. Each stream gets three of the sizes in turn,
// so that every size meets about a quarter of the streams.
TEST_F(NothingLost, EveryFrameAndTheSamePcmForEveryBufferSize) {
  const uint32_t seed = test::TestSeed(7001);
  std::mt19937 rng(seed);
  SCOPED_TRACE("chunks: " + test::SeedTrace(seed));
  for (size_t i = 0; i < streams_.size(); ++i) {
    const CleanStream& s = streams_[i];
    SCOPED_TRACE(s.name);
    const size_t walked = WalkFrames(s.bytes).size();
    EXPECT_EQ(walked, s.manifestFrames);
    const Decoded reference = Decode(s.bytes, 4096);
    EXPECT_EQ(static_cast<size_t>(reference.frames), walked);
    for (int k = 0; k < 3; ++k) {
      const int size = kBufferSizes[(static_cast<int>(i) + 4 * k) % kSizeCount];
      const Decoded other = Decode(s.bytes, size);
      EXPECT_EQ(other.frames, reference.frames) << "buffer " << size;
      EXPECT_TRUE(other.pcm == reference.pcm) << "buffer " << size;
    }
    const Decoded chunked = DecodeInRandomChunks(s.bytes, rng);
    EXPECT_EQ(chunked.frames, reference.frames);
    EXPECT_TRUE(chunked.pcm == reference.pcm) << "random chunks";
  }
}

// Property 2: garbage without sync bytes between two frames, of 1 to 3000
// bytes, costs no frame. The frame after the garbage is found by searching
// and confirmed by its successor, so the garbage goes before the last but one.
TEST_F(NothingLost, GarbageBetweenFramesCostsNoFrame) {
  const uint32_t seed = test::TestSeed(20240611);
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  int tested = 0;
  for (size_t i = 0; i < streams_.size(); ++i) {
    const CleanStream& s = streams_[i];
    const std::vector<size_t> starts = WalkFrames(s.bytes);
    if (starts.size() < 4) continue;
    const size_t at = starts[1 + rng() % (starts.size() - 3)];
    std::vector<uint8_t> garbage(1 + rng() % 3000);
    for (uint8_t& b : garbage) b = static_cast<uint8_t>(rng() % 255);
    std::vector<uint8_t> damaged = s.bytes;
    damaged.insert(damaged.begin() + static_cast<ptrdiff_t>(at), garbage.begin(), garbage.end());
    const int buffer = kBufferSizes[i % kSizeCount];
    EXPECT_EQ(static_cast<size_t>(Decode(damaged, buffer).frames), starts.size())
        << s.name << ": " << garbage.size() << " bytes at " << at << ", buffer " << buffer;
    ++tested;
  }
  EXPECT_GT(tested, 100);
}

}  // namespace
}  // namespace quorvel::test
