#include "corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/md5.h"

namespace quorvel::test {

namespace {

std::filesystem::path CorpusPath() {
  const char* env = std::getenv("QUORVEL_CORPUS");
  return env && *env ? env : QUORVEL_CORPUS_DEFAULT;
}

// A run that exists for the corpus alone (QUORVEL_REQUIRE_CORPUS set: the
// corpus tests with each kernel level forced) says so and exits with 77, which
// CTest counts as skipped, instead of passing on the few tests that need none.
class CorpusRequired : public testing::Environment {
 public:
  void SetUp() override {
    const char* required = std::getenv("QUORVEL_REQUIRE_CORPUS");
    if (!required || !*required || CorpusDir()) return;
    std::printf("corpus not found at %s: set QUORVEL_CORPUS\n", CorpusPath().string().c_str());
    std::fflush(stdout);
    std::exit(77);
  }
};

[[maybe_unused]] testing::Environment* const kCorpusRequired = testing::AddGlobalTestEnvironment(new CorpusRequired);

}  // namespace

std::optional<std::filesystem::path> CorpusDir() {
  std::filesystem::path dir = CorpusPath();
  if (std::filesystem::is_directory(dir)) return dir;
  return std::nullopt;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Md5Hex(const uint8_t* data, size_t size) {
  cli::Md5 md5;
  md5.Update(data, size);
  return md5.HexDigest();
}

ReferenceDifference CompareWithReference(const std::vector<uint8_t>& pcm, const std::vector<uint8_t>& reference) {
  auto sample = [](const std::vector<uint8_t>& v, size_t i) { return static_cast<int16_t>(v[2 * i] | v[2 * i + 1] << 8); };
  ReferenceDifference d;
  d.samples = std::min(pcm.size(), reference.size()) / 2;
  double squares = 0;
  for (size_t i = 0; i < d.samples; ++i) {
    const int e = sample(pcm, i) - sample(reference, i);
    squares += static_cast<double>(e) * e;
    d.max = std::max(d.max, std::abs(e));
  }
  d.rms = d.samples ? std::sqrt(squares / static_cast<double>(d.samples)) : 0;
  return d;
}

std::vector<GoldenRow> ReadGoldenIndex(const std::filesystem::path& corpus) {
  std::vector<GoldenRow> rows;
  std::ifstream in(corpus / "golden" / "INDEX.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) f.push_back(cell);
    if (f.size() < 12) continue;
    GoldenRow row;
    row.id = f[0];
    row.stream = f[1];
    row.config = f[2];
    row.buffer = std::stoi(f[3]);
    row.padEnd = f[4] == "1";
    row.rate = std::stoi(f[5]);
    row.processing = std::stoi(f[6]);
    if (f[7] != "-") {
      row.hasEq = true;
      std::stringstream es(f[7]);
      int8_t values[11] = {};
      for (int i = 0; i < 11 && std::getline(es, cell, ','); ++i) values[i] = static_cast<int8_t>(std::stoi(cell));
      std::memcpy(row.eq.bands, values, 10);
      row.eq.preamp = values[10];
    }
    row.pcmBytes = std::stoull(f[8]);
    row.pcmMd5 = f[9];
    row.calls = std::stoull(f[10]);
    row.logMd5 = f[11];
    rows.push_back(row);
  }
  return rows;
}

HostRun RunHost(DecoderState& state, const std::vector<uint8_t>& file, const HostOptions& options) {
  std::vector<uint8_t> stream = file;
  if (options.padEnd) stream.insert(stream.end(), 8, 0);
  HostRun run;
  InitDecoder(state, options.processing, options.eq);
  const size_t total = stream.size();
  auto bufferAt = [&](size_t offset) {
    return static_cast<int32_t>(std::min<size_t>(options.buffer, total - offset));
  };
  if (options.rate != 0) {
    int32_t rate = options.rate, channels = 0, bitrate = 0;
    ProbeHeader(state, stream.data(), bufferAt(0), &rate, &channels, &bitrate);
  }
  std::vector<uint8_t> out(kMaxResampledBytes);
  size_t offset = 0;
  std::ostringstream log;
  for (;;) {
    const int32_t length = bufferAt(offset);
    const uint8_t* data = stream.data() + offset;
    int32_t result;
    bool first = true;
    do {
      int32_t outBytes = -1, streamPos = 0;
      bool posWritten = true;
      result = DecompressAudioOn(state, first ? data : nullptr, length, out.data(), &outBytes, &streamPos);
      if (result == kResultNeedBuffer) posWritten = false;
      first = false;
      ++run.calls;
      log << result << ' ' << outBytes << ' ';
      if (posWritten) {
        log << streamPos;
      } else {
        log << '-';
      }
      log << '\n';
      if (outBytes > 0) run.pcm.insert(run.pcm.end(), out.begin(), out.begin() + outBytes);
    } while (result == kResultFrame);
    if (result == kResultNeedBuffer) break;
    const size_t end = offset + static_cast<size_t>(length);
    const bool reachedEnd = end >= total;
    offset = result == kResultBufferDone ? end : end - static_cast<size_t>(result);
    if (reachedEnd) break;
  }
  run.log = log.str();
  return run;
}

}  // namespace quorvel::test
