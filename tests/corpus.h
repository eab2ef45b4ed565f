// Test support: the stream corpus, the golden index and the classic host loop.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "api/decoder_state.h"

namespace quorvel::test {

// The corpus folder ($QUORVEL_CORPUS, else ../shared/corpus beside the
// source tree), or nothing when it is absent.
std::optional<std::filesystem::path> CorpusDir();

std::vector<uint8_t> ReadFile(const std::filesystem::path& path);

std::string Md5Hex(const uint8_t* data, size_t size);
inline std::string Md5Hex(const std::vector<uint8_t>& v) { return Md5Hex(v.data(), v.size()); }
inline std::string Md5Hex(const std::string& s) {
  return Md5Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The ISO/IEC 11172-4 Layer I/II compliance streams: iso/NAME.bit with the
// reference decoder's output in iso/NAME.pcm.
inline constexpr const char* kComplianceStreams[] = {
    "l1-fl1",  "l1-fl2",  "l1-fl3",  "l1-fl4",  "l1-fl5",  "l1-fl6",  "l1-fl7",  "l1-fl8",
    "l2-fl10", "l2-fl11", "l2-fl12", "l2-fl13", "l2-fl14", "l2-fl15", "l2-fl16", "l2-test32"};

// 16-bit PCM against a reference over the shorter of the two, in 16-bit steps.
struct ReferenceDifference {
  size_t samples = 0;
  double rms = 0;
  int max = 0;
};
ReferenceDifference CompareWithReference(const std::vector<uint8_t>& pcm, const std::vector<uint8_t>& reference);

struct GoldenRow {
  std::string id, stream, config;
  int buffer = 4096;
  bool padEnd = true;
  int32_t rate = 0;
  int32_t processing = 0;
  bool hasEq = false;
  EqLevels eq{};
  uint64_t pcmBytes = 0;
  std::string pcmMd5;
  uint64_t calls = 0;
  std::string logMd5;
};

std::vector<GoldenRow> ReadGoldenIndex(const std::filesystem::path& corpus);

struct HostRun {
  std::vector<uint8_t> pcm;
  std::string log;  // "result outBytes streamPos\n" per call, '-' for an unwritten position
  uint64_t calls = 0;
};

struct HostOptions {
  int buffer = 4096;
  bool padEnd = true;
  int32_t rate = 0;
  int32_t processing = 0;
  const EqLevels* eq = nullptr;
};

// Decodes a stream with the host loop that the golden outputs assume, on a
// decoder state of its own.
HostRun RunHost(DecoderState& state, const std::vector<uint8_t>& stream, const HostOptions& options);

}  // namespace quorvel::test
