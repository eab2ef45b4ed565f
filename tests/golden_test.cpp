// Bit-exact comparison with the recorded outputs of the corpus: the PCM
// checksum and the per-call log of result, output bytes and stream position.
#include <gtest/gtest.h>

#include <memory>

#include "corpus.h"

namespace quorvel::test {
namespace {

class GoldenTest : public ::testing::TestWithParam<std::string> {};

TEST(Golden, EveryRecordedConfigurationMatches) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  const auto rows = ReadGoldenIndex(*corpus);
  ASSERT_FALSE(rows.empty());
  int failures = 0;
  for (const GoldenRow& row : rows) {
    auto state = std::make_unique<DecoderState>();
    HostOptions options;
    options.buffer = row.buffer;
    options.padEnd = row.padEnd;
    options.rate = row.rate;
    options.processing = row.processing;
    options.eq = row.hasEq ? &row.eq : nullptr;
    const HostRun run = RunHost(*state, ReadFile(*corpus / row.stream), options);
    const bool ok = run.pcm.size() == row.pcmBytes && Md5Hex(run.pcm) == row.pcmMd5 && run.calls == row.calls &&
                    Md5Hex(run.log) == row.logMd5;
    if (!ok) {
      ++failures;
      ADD_FAILURE() << row.id << ": pcm " << run.pcm.size() << "/" << row.pcmBytes << " md5 " << Md5Hex(run.pcm)
                    << " calls " << run.calls << "/" << row.calls << " log " << (Md5Hex(run.log) == row.logMd5);
    }
  }
  EXPECT_EQ(failures, 0) << "of " << rows.size();
}

}  // namespace
}  // namespace quorvel::test
