// Conformance with the ISO/IEC 11172-4 compliance streams: PSNR and largest
// difference against the reference decoder's output, and independence of the
// PCM from the size of the host's buffers.
#include <gtest/gtest.h>

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

TEST(Conformance, ComplianceStreamsMatchTheReferenceOutput) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS to run the compliance streams";
  for (const char* name : kComplianceStreams) {
    const auto base = *corpus / "iso" / name;
    const ReferenceDifference d =
        CompareWithReference(Decode(std::filesystem::path(base).replace_extension(".bit"), 4096),
                             ReadFile(std::filesystem::path(base).replace_extension(".pcm")));
    ASSERT_GT(d.samples, 0u) << name;
    const double psnr = d.rms > 0 ? 20 * std::log10(32767.0 / d.rms) : INFINITY;
    std::printf("%-10s %8zu samples  PSNR %6.2f dB  max difference %d\n", name, d.samples, psnr, d.max);
    EXPECT_GE(psnr, 70.0) << name;
    EXPECT_LE(d.max, 48) << name;
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
