// What a pass over a stream learns about it, and the phrases that report it;
// shared by `info` and the warnings of `decode`.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "input.h"
#include "quorvel/decoder.hpp"

namespace quorvel::cli {

struct StreamFacts {
  std::optional<Frame> first;  // the first Layer I/II frame, decoded or not
  uint64_t frames = 0;         // Layer I/II frames, decoded or not
  uint64_t crcProtected = 0;
  uint64_t frameBytes = 0;
  double seconds = 0;    // at each frame's own rate
  uint64_t samples = 0;  // per channel, of decoded frames and of those concealed by silence
  uint64_t lastEnd = 0;  // end of the last frame of any layer
  std::set<uint32_t> rates;
  std::set<int> channels, layers;
  std::set<MpegVersion> versions;

  void Add(const Frame& f);
  bool Mixed() const { return rates.size() > 1 || channels.size() > 1 || layers.size() > 1 || versions.size() > 1; }
};

// Bytes after the last frame, and whether they are the start of a frame that
// the stream cut short.
struct Trailer {
  uint64_t bytes = 0;
  bool truncated = false;
};
// Counted up to the end of the audio (`container.audioEnd`): the tags and
// chunks after it are not trailing bytes.
Trailer TrailerOf(const StreamFacts& facts, const InputFile& in, const Container& container);

// Bytes before the first frame that belong to neither a tag nor a container.
uint64_t LeadingBytes(const StreamFacts& facts, const Container& container);

// "1 crc error, 2 bad scalefactor": the damaged frames by reason, and with
// bodyOnly false also false headers and Layer III frames.
std::string SkipSummary(const SkipCounts& c, bool bodyOnly);

std::string NoFramesMessage(const std::string& name);

// Why an input gave no Layer I/II frame, as far as it can be named: what the
// container refused, Layer III frames only, tags only, an empty data chunk;
// else NoFramesMessage.
std::string NoAudioMessage(const std::string& name, const Container& container, const SkipCounts& skipped);

template <typename T>
std::string JoinSet(const std::set<T>& values, const char* separator) {
  std::ostringstream out;
  for (auto it = values.begin(); it != values.end(); ++it) out << (it == values.begin() ? "" : separator) << *it;
  return out.str();
}

}  // namespace quorvel::cli
