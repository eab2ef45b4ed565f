#include "describe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "decode.h"
#include "facts.h"
#include "input.h"

namespace quorvel::cli {
namespace {

// What the text and the JSON share.
struct Layout {
  uint64_t leading = 0;
  const Container* container = nullptr;
};

std::string JsonTags(const Container& c) {
  std::string out = "[";
  for (const Tag& t : c.tags) {
    out += std::string(out.size() > 1 ? "," : "") + "{\"type\":\"" + t.type + "\",\"offset\":" +
           std::to_string(t.offset) + ",\"size\":" + std::to_string(t.size) + (t.damaged ? ",\"damaged\":true" : "") + "}";
  }
  return out + "]";
}

void WriteJson(std::ostream& out, const std::string& name, const StreamFacts& facts, const SkipCounts& sk,
               const Trailer& trailer, uint64_t averageBitrate, const char* duration, const Layout& layout) {
  const Frame& f = *facts.first;
  const Container& c = *layout.container;
  out << "{\"file\":" << JsonString(name) << ",\"mpeg_version\":\"" << ToString(f.version) << "\",\"layer\":" << f.layer
      << ",\"sample_rate\":" << f.streamRate << ",\"channels\":" << f.channels << ",\"mode\":\"" << ToString(f.mode)
      << "\",\"bitrate\":" << f.bitrate << ",\"average_bitrate\":" << averageBitrate << ",\"frames\":" << facts.frames
      << ",\"duration\":" << duration << ",\"samples\":" << facts.samples << ",\"crc_protected_frames\":" << facts.crcProtected
      << ",\"skipped\":{\"crc_error\":" << sk.crcError << ",\"bad_scalefactor\":" << sk.badScalefactor
      << ",\"bad_allocation\":" << sk.badAllocation << ",\"bad_header\":" << sk.badHeader
      << ",\"unsupported_layer\":" << sk.unsupportedLayer << "},\"leading_bytes\":" << layout.leading
      << ",\"trailing_bytes\":" << trailer.bytes << ",\"truncated\":" << (trailer.truncated ? "true" : "false")
      << ",\"mixed\":" << (facts.Mixed() ? "true" : "false") << ",\"tags\":" << JsonTags(c);
  if (f.freeFormat) out << ",\"free_format\":true";
  if (!c.kind.empty()) {
    out << ",\"container\":{\"type\":" << JsonString(c.kind) << ",\"format_tag\":" << c.formatTag;
    if (c.broadcast) {
      out << ",\"description\":" << JsonString(c.description) << ",\"originator\":" << JsonString(c.originator)
          << ",\"origination_date\":" << JsonString(c.originationDate);
    }
    out << "}";
  }
  out << "}\n";
}

void WriteText(std::ostream& out, const std::string& name, const StreamFacts& facts, const SkipCounts& sk,
               const Trailer& trailer, const char* duration, const Layout& layout) {
  const Frame& f = *facts.first;
  const Container& c = *layout.container;
  const std::string skipped = sk.Total() ? std::to_string(sk.Total()) + " (" + SkipSummary(sk, false) + ")" : "none";
  out << name << "\n";
  if (!c.kind.empty()) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", c.formatTag);
    out << "  container:       " << c.kind << " (format " << tag << ")\n";
    if (c.broadcast) {
      out << "  description:     " << c.description << "\n"
          << "  originator:      " << c.originator << "\n"
          << "  origination:     " << c.originationDate << "\n";
    }
  }
  for (const Tag& t : c.tags) {
    out << "  tag:             " << t.type << ", " << t.size << " bytes at offset " << t.offset
        << (t.damaged ? " (damaged)" : "") << "\n";
  }
  out << "  format:          " << ToString(f.version) << " Layer " << (f.layer == 1 ? "I" : "II") << "\n"
      << "  sample rate:     " << f.streamRate << " Hz\n"
      << "  channels:        " << f.channels << " (" << ToString(f.mode) << ")\n"
      << "  bitrate:         " << f.bitrate / 1000 << " kbit/s" << (f.freeFormat ? " (free format)" : "") << "\n"
      << "  frames:          " << facts.frames << "\n"
      << "  duration:        " << std::string(duration, std::strlen(duration) - 3) << " s\n"
      << "  crc-protected:   " << facts.crcProtected << " frames\n"
      << "  skipped:         " << skipped << "\n"
      << "  leading bytes:   " << layout.leading << "\n"
      << "  trailing bytes:  " << trailer.bytes << (trailer.truncated ? " (the stream ends inside a frame)" : "")
      << "\n";
  if (facts.Mixed()) {
    out << "  mixed:           the format changes from frame to frame (rates " << JoinSet(facts.rates, ", ")
        << " Hz; layers " << JoinSet(facts.layers, ", ") << ")\n";
  }
}

}  // namespace

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool DescribeFile(const Settings& s, const std::string& input, Console& console) {
  try {
    InputFile in(input);
    Decoder::Options options;
    options.accuracy = s.accuracy;  // the tiers differ only in what a forbidden allocation skips
    Decoder decoder(options);
    StreamFacts facts;
    RunDecoder(in, decoder, nullptr, [&](const Frame& f) { facts.Add(f); });
    const SkipCounts& skipped = decoder.stats().skipped;
    const Container& container = decoder.container();
    for (const std::string& w : container.warnings) console.Warning(in.name() + ": " + w);
    if (!facts.first) throw Failure(NoAudioMessage(in.name(), container, skipped));
    const Trailer trailer = TrailerOf(facts, in, container);
    const Layout layout{LeadingBytes(facts, container), &container};
    const uint64_t averageBitrate =
        facts.seconds > 0 ? static_cast<uint64_t>(8.0 * static_cast<double>(facts.frameBytes) / facts.seconds + 0.5)
                          : 0;
    char duration[32];  // microseconds in JSON; the text drops the last three digits
    std::snprintf(duration, sizeof duration, "%.6f", facts.seconds);
    std::ostringstream out;
    if (s.json) {
      WriteJson(out, in.name(), facts, skipped, trailer, averageBitrate, duration, layout);
    } else {
      WriteText(out, in.name(), facts, skipped, trailer, duration, layout);
    }
    const std::string text = out.str();
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
      throw Failure(std::string("standard output: ") + std::strerror(errno));
    }
    return true;
  } catch (const std::exception& e) {
    console.Error(e.what());
    return false;
  }
}

}  // namespace quorvel::cli
