#include "facts.h"

#include <algorithm>

namespace quorvel::cli {

void StreamFacts::Add(const Frame& f) {
  if (!f.hasFormat || f.flush) return;  // a flush is no frame of the stream
  lastEnd = std::max(lastEnd, f.position + f.length);
  if (f.skipped == SkipReason::UnsupportedLayer) return;
  if (!first) first = f;
  ++frames;
  if (f.decoded() || f.skipped == SkipReason::CrcError || f.skipped == SkipReason::BadScalefactor ||
      f.skipped == SkipReason::BadAllocation) {
    samples += f.samples;
  }
  crcProtected += f.crcProtected ? 1 : 0;
  frameBytes += f.length;
  // The frame's own duration, also when its PCM was converted.
  seconds += static_cast<double>(SamplesPerFrame(f.layer, f.version)) / f.streamRate;
  rates.insert(f.streamRate);
  channels.insert(f.channels);
  layers.insert(f.layer);
  versions.insert(f.version);
}

Trailer TrailerOf(const StreamFacts& facts, const InputFile& in, const Container& container) {
  Trailer t;
  const uint64_t end = std::min(container.audioEnd, in.BytesRead());
  t.bytes = end - std::min(facts.lastEnd, end);
  if (t.bytes == 0) return t;
  const auto rest = in.From(facts.lastEnd);
  t.truncated = rest && rest->size() >= 2 && (*rest)[0] == 0xFF && ((*rest)[1] & 0xE0) == 0xE0;
  return t;
}

std::string SkipSummary(const SkipCounts& c, bool bodyOnly) {
  std::ostringstream out;
  const char* sep = "";
  auto item = [&](uint64_t n, SkipReason r) {
    if (n == 0) return;
    out << sep << n << ' ' << ToString(r);
    sep = ", ";
  };
  item(c.crcError, SkipReason::CrcError);
  item(c.badScalefactor, SkipReason::BadScalefactor);
  item(c.badAllocation, SkipReason::BadAllocation);
  if (!bodyOnly) {
    item(c.badHeader, SkipReason::BadHeader);
    item(c.unsupportedLayer, SkipReason::UnsupportedLayer);
  }
  return out.str();
}

uint64_t LeadingBytes(const StreamFacts& facts, const Container& container) {
  if (!facts.first) return 0;
  const uint64_t at = facts.first->position;
  return at - std::min(at, container.audioBegin);
}

std::string NoFramesMessage(const std::string& name) { return "no MPEG audio Layer I/II frames found in " + name; }

std::string NoAudioMessage(const std::string& name, const Container& c, const SkipCounts& skipped) {
  if (!c.refusal.empty()) return name + ": " + c.refusal;
  if (skipped.unsupportedLayer) return name + ": MPEG audio Layer III, which this build does not decode";
  const bool nothingElse = skipped.Total() == 0 && c.audioEnd <= c.audioBegin;
  if (!c.kind.empty() && nothingElse) return name + ": an empty " + c.kind + " file (its data chunk holds no audio)";
  if (!c.tags.empty() && nothingElse) {
    std::string kinds;
    for (const Tag& t : c.tags) kinds += (kinds.empty() ? "" : ", ") + t.type;
    return name + ": tags (" + kinds + ") and no MPEG audio";
  }
  return NoFramesMessage(name);
}

}  // namespace quorvel::cli
