// Conformance with the ISO/IEC 11172-4 compliance streams: PSNR and largest
// difference against the reference decoder's output, and independence of the
// PCM from the size of the host's buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "corpus.h"

namespace quorvel::test {
namespace {

std::vector<uint8_t> Decode(const std::filesystem::path& stream, int buffer) {
  auto state = std::make_unique<DecoderState>();
  HostOptions options;
  options.buffer = buffer;
  return RunHost(*state, ReadFile(stream), options).pcm;
}

int16_t SampleAt(const std::vector<uint8_t>& pcm, size_t i) {
  return static_cast<int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
}

TEST(Conformance, ComplianceStreamsMatchTheReferenceOutput) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS to run the compliance streams";
  std::vector<std::filesystem::path> streams;
  for (const auto& entry : std::filesystem::directory_iterator(*corpus / "iso")) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".bit" &&
        (name.starts_with("l1-fl") || name.starts_with("l2-fl1") || name == "l2-test32.bit")) {
      streams.push_back(entry.path());
    }
  }
  std::sort(streams.begin(), streams.end());
  ASSERT_EQ(streams.size(), 16u);
  for (const auto& stream : streams) {
    const std::vector<uint8_t> ours = Decode(stream, 4096);
    const std::vector<uint8_t> reference = ReadFile(std::filesystem::path(stream).replace_extension(".pcm"));
    const size_t count = std::min(ours.size(), reference.size()) / 2;
    ASSERT_GT(count, 0u) << stream;
    double squares = 0;
    int worst = 0;
    for (size_t i = 0; i < count; ++i) {
      const int d = SampleAt(ours, i) - SampleAt(reference, i);
      squares += static_cast<double>(d) * d;
      worst = std::max(worst, std::abs(d));
    }
    const double mse = squares / static_cast<double>(count);
    const double psnr = mse > 0 ? 10 * std::log10(32767.0 * 32767.0 / mse) : INFINITY;
    std::printf("%-16s %8zu samples  PSNR %6.2f dB  max difference %d\n", stream.filename().c_str(), count, psnr,
                worst);
    EXPECT_GE(psnr, 70.0) << stream;
    EXPECT_LE(worst, 48) << stream;
  }
}

TEST(Conformance, PcmDoesNotDependOnTheBufferSize) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  for (const char* name :
       {"iso/l1-fl1.bit", "iso/l1-fl4.bit", "iso/l2-fl13.bit", "iso/l2-fl16.bit", "iso/l2-test32.bit"}) {
    const std::vector<uint8_t> pcm = Decode(*corpus / name, 4096);
    ASSERT_FALSE(pcm.empty()) << name;
    for (int buffer : {2889, 65536})
      EXPECT_TRUE(Decode(*corpus / name, buffer) == pcm) << name << " with buffers of " << buffer;
  }
}

}  // namespace
}  // namespace quorvel::test
