#include "jobs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "md5.h"
#include "quorvel/decoder.hpp"
#include "sinks.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace quorvel::cli {
namespace {

constexpr size_t kChunk = 1 << 16;
constexpr size_t kTailKept = 4096;  // last input bytes kept to tell truncation from trailing data

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string NoFramesMessage(const std::string& name) {
  return "no MPEG audio Layer I/II frames found in " + name;
}

// A file or standard input, read in chunks.
class InputFile {
 public:
  explicit InputFile(const std::string& path) : name_(path == "-" ? "standard input" : path) {
    if (path == "-") {
      if (isatty(fileno(stdin))) throw Failure("standard input is a terminal, not a stream (see quorvel --help)");
#ifdef _WIN32
      _setmode(_fileno(stdin), _O_BINARY);
#endif
      file_ = stdin;
      return;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) throw Failure(path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw Failure(path + ": is a directory");
    isFile_ = S_ISREG(st.st_mode);
    if (isFile_ && st.st_size == 0) throw Failure(path + ": the file is empty");
    size_ = isFile_ ? static_cast<uint64_t>(st.st_size) : 0;
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) throw Failure(path + ": " + std::strerror(errno));
  }
  ~InputFile() {
    if (file_ && file_ != stdin) std::fclose(file_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Fills `buffer`; 0 at the end of the input.
  size_t Read(std::vector<uint8_t>& buffer) {
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), file_);
    if (got == 0 && std::ferror(file_)) throw Failure(name_ + ": " + std::strerror(errno));
    total_ += got;
    const size_t keep = std::min(got, kTailKept);
    tail_.insert(tail_.end(), buffer.begin() + static_cast<std::ptrdiff_t>(got - keep),
                 buffer.begin() + static_cast<std::ptrdiff_t>(got));
    if (tail_.size() > kTailKept) tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(kTailKept));
    return got;
  }
  const std::string& name() const { return name_; }
  bool IsFile() const { return isFile_; }
  uint64_t BytesRead() const { return total_; }
  // The input from `position` on, if it is among the bytes kept.
  std::optional<std::vector<uint8_t>> From(uint64_t position) const {
    if (position > total_ || total_ - position > tail_.size()) return std::nullopt;
    return std::vector<uint8_t>(tail_.end() - static_cast<std::ptrdiff_t>(total_ - position), tail_.end());
  }

 private:
  std::string name_;
  std::FILE* file_ = nullptr;
  bool isFile_ = false;
  uint64_t size_ = 0;
  uint64_t total_ = 0;
  std::vector<uint8_t> tail_;
};

bool BodyRejected(SkipReason r) {
  return r == SkipReason::CrcError || r == SkipReason::BadScalefactor || r == SkipReason::BadAllocation;
}

// What a pass over the stream learns about it.
struct StreamFacts {
  std::optional<Frame> first;   // the first Layer I/II frame, decoded or not
  uint64_t frames = 0;          // Layer I/II frames, decoded or not
  uint64_t crcProtected = 0;
  uint64_t frameBytes = 0;
  double seconds = 0;           // at each frame's own rate
  uint64_t lastEnd = 0;         // end of the last frame of any layer
  std::set<uint32_t> rates;
  std::set<int> channels, layers;
  std::set<MpegVersion> versions;

  void Add(const Frame& f) {
    if (!f.hasFormat) return;
    lastEnd = std::max(lastEnd, f.position + f.length);
    if (f.skipped == SkipReason::UnsupportedLayer) return;
    if (!first) first = f;
    ++frames;
    crcProtected += f.crcProtected ? 1 : 0;
    frameBytes += f.length;
    // The frame's own duration, also when its PCM was converted.
    seconds += static_cast<double>(SamplesPerFrame(f.layer, f.version)) / f.streamRate;
    rates.insert(f.streamRate);
    channels.insert(f.channels);
    layers.insert(f.layer);
    versions.insert(f.version);
  }
  bool Mixed() const { return rates.size() > 1 || channels.size() > 1 || layers.size() > 1 || versions.size() > 1; }
};

// Bytes after the last frame, and whether they are the start of a frame that
// the stream cut short.
struct Trailer {
  uint64_t bytes = 0;
  bool truncated = false;
};

Trailer TrailerOf(const StreamFacts& facts, const InputFile& in) {
  Trailer t;
  t.bytes = in.BytesRead() - std::min(facts.lastEnd, in.BytesRead());
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

template <typename T>
std::string JoinSet(const std::set<T>& values, const char* separator) {
  std::ostringstream out;
  for (auto it = values.begin(); it != values.end(); ++it) out << (it == values.begin() ? "" : separator) << *it;
  return out.str();
}

// Writes the frames to the sink in one timeline: concealment of damaged
// frames, and (for WAV) one channel count for the whole file.
class Timeline {
 public:
  Timeline(Sink& sink, bool oneFormat, bool conceal, Md5* md5, Progress& progress)
      : sink_(sink), oneFormat_(oneFormat), conceal_(conceal), md5_(md5), progress_(progress) {}

  void Take(const Frame& f) {
    if (f.decoded()) {
      Start(f);
      if (!oneFormat_ || f.channels == format_.channels) {
        Emit(f.bytes);
      } else {
        Emit(Remix(f));
      }
    } else if (f.hasFormat && BodyRejected(f.skipped) && conceal_) {
      Start(f);
      uint64_t samples = f.samples;
      if (oneFormat_ && f.sampleRate != format_.rate) samples = samples * format_.rate / f.sampleRate;
      const int channels = oneFormat_ ? format_.channels : f.channels;
      scratch_.assign(samples * static_cast<uint64_t>(channels) * 2, 0);
      Emit(scratch_);
    } else {
      return;
    }
    progress_.audioMicros += static_cast<uint64_t>(1e6 * f.samples / f.sampleRate);
  }

  const PcmFormat& Format() const { return format_; }

  // Opens the sink with the frame's format, unless it is open already.
  void Start(const Frame& f) {
    if (started_) return;
    format_ = {f.sampleRate, f.channels};
    sink_.Begin(format_);
    started_ = true;
  }

 private:
  void Emit(std::span<const uint8_t> pcm) {
    sink_.Write(pcm);
    if (md5_) md5_->Update(pcm.data(), pcm.size());
  }
  // A single-channel frame goes to both channels; a two-channel frame is
  // averaged into one.
  std::span<const uint8_t> Remix(const Frame& f) {
    scratch_.clear();
    auto put = [this](int v) {
      scratch_.push_back(static_cast<uint8_t>(v & 0xFF));
      scratch_.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    };
    for (uint32_t i = 0; i < f.samples; ++i) {
      if (f.channels == 1) {
        put(f.pcm[i]);
        put(f.pcm[i]);
      } else {
        put((f.pcm[2 * i] + f.pcm[2 * i + 1]) >> 1);
      }
    }
    return scratch_;
  }

  Sink& sink_;
  bool oneFormat_;
  bool conceal_;
  Md5* md5_;
  Progress& progress_;
  bool started_ = false;
  PcmFormat format_;
  std::vector<uint8_t> scratch_;
};

Decoder::Options DecoderOptions(const Settings& s) {
  Decoder::Options o;
  o.processing = s.processing;
  o.bands = s.bands;
  o.preamp = s.preamp;
  // A WAV file has one rate: by default the first frame's.
  o.outputRate = s.rate ? s.rate : (s.sink == SinkKind::Wav ? kFirstFrameRate : 0);
  o.bufferBytes = s.buffer;
  return o;
}

// Feeds the whole input to the decoder and hands every frame to `take`.
template <typename Take>
void RunDecoder(InputFile& in, Decoder& decoder, Progress* progress, Take take) {
  std::vector<uint8_t> chunk(kChunk);
  Frame frame;
  auto drain = [&] {
    for (;;) {
      const Decoder::Next next = decoder.Pull(frame);
      if (next == Decoder::Next::NeedInput || next == Decoder::Next::End) return;
      take(frame);
    }
  };
  while (const size_t got = in.Read(chunk)) {
    decoder.Feed(chunk.data(), got);
    if (progress) progress->bytesDone += got;
    drain();
  }
  decoder.Finish();
  drain();
}

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

}  // namespace

bool DecodeFile(const Settings& s, const Job& job, Console& console, Progress& progress) {
  std::unique_ptr<Sink> sink;
  try {
    InputFile in(job.input);
    Decoder decoder(DecoderOptions(s));
    sink = MakeSink(s.sink, job.output, in.name());
    std::optional<Md5> md5;
    if (s.verify) md5.emplace();
    const bool oneFormat = s.sink == SinkKind::Wav;
    Timeline timeline(*sink, oneFormat, s.conceal, md5 ? &*md5 : nullptr, progress);
    StreamFacts facts;
    RunDecoder(in, decoder, &progress, [&](const Frame& f) {
      facts.Add(f);
      timeline.Take(f);
    });
    const SkipCounts& skipped = decoder.stats().skipped;
    if (!facts.first) {
      std::string message = NoFramesMessage(in.name());
      if (skipped.unsupportedLayer) message += " (only Layer III frames, which are not supported)";
      throw Failure(message);
    }
    timeline.Start(*facts.first);  // every frame was dropped: an empty file of the stream's format
    sink->Finish();
    sink.reset();

    const std::string& name = in.name();
    if (facts.rates.size() > 1 || facts.channels.size() > 1) {
      std::string what;
      if (facts.rates.size() > 1) what = "sample rate (" + JoinSet(facts.rates, ", ") + " Hz)";
      if (facts.channels.size() > 1) what += std::string(what.empty() ? "" : " and ") + "channel count (1 and 2)";
      const PcmFormat& f = timeline.Format();
      console.Warning(name + ": the stream changes its " + what + " mid-stream; " +
                      (oneFormat ? "wrote all of it as " + std::to_string(f.rate) + " Hz with " +
                                       std::to_string(f.channels) + (f.channels == 1 ? " channel" : " channels")
                                 : std::string("the PCM changes with it")));
    }
    const uint64_t damaged = skipped.crcError + skipped.badScalefactor + skipped.badAllocation;
    if (damaged) {
      console.Warning(name + ": " + std::to_string(damaged) + " damaged frame" + (damaged == 1 ? "" : "s") + " " +
                      (s.conceal ? "replaced by silence" : "dropped") + " (" + SkipSummary(skipped, true) + ")");
    }
    if (skipped.unsupportedLayer) {
      console.Warning(name + ": " + std::to_string(skipped.unsupportedLayer) +
                      " Layer III frame(s) skipped (not supported)");
    }
    const Trailer trailer = TrailerOf(facts, in);
    if (trailer.truncated) {
      console.Warning(name + ": the stream ends inside a frame; its last " + std::to_string(trailer.bytes) +
                      " bytes were not decoded");
    }
    if (md5) {
      const std::string actual = md5->HexDigest();
      if (actual != *s.verify) throw Failure(name + ": PCM MD5 " + actual + " does not match " + *s.verify);
    }
    return true;
  } catch (const std::exception& e) {
    if (sink) sink->Abandon();
    console.Error(e.what());
    return false;
  }
}

bool DescribeFile(const Settings& s, const std::string& input, Console& console) {
  try {
    InputFile in(input);
    Decoder decoder;
    StreamFacts facts;
    RunDecoder(in, decoder, nullptr, [&](const Frame& f) { facts.Add(f); });
    if (!facts.first) throw Failure(NoFramesMessage(in.name()));
    const Frame& f = *facts.first;
    const SkipCounts& sk = decoder.stats().skipped;
    const Trailer trailer = TrailerOf(facts, in);
    const uint64_t averageBitrate =
        facts.seconds > 0 ? static_cast<uint64_t>(8.0 * static_cast<double>(facts.frameBytes) / facts.seconds + 0.5)
                          : 0;
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.6f", facts.seconds);
    std::ostringstream out;
    if (s.json) {
      out << "{\"file\":" << JsonString(in.name()) << ",\"mpeg_version\":\"" << ToString(f.version)
          << "\",\"layer\":" << f.layer << ",\"sample_rate\":" << f.streamRate << ",\"channels\":" << f.channels
          << ",\"mode\":\"" << ToString(f.mode) << "\",\"bitrate\":" << f.bitrate
          << ",\"average_bitrate\":" << averageBitrate << ",\"frames\":" << facts.frames
          << ",\"duration\":" << duration << ",\"crc_protected_frames\":" << facts.crcProtected
          << ",\"skipped\":{\"crc_error\":" << sk.crcError << ",\"bad_scalefactor\":" << sk.badScalefactor
          << ",\"bad_allocation\":" << sk.badAllocation << ",\"bad_header\":" << sk.badHeader
          << ",\"unsupported_layer\":" << sk.unsupportedLayer << "},\"leading_bytes\":" << f.position
          << ",\"trailing_bytes\":" << trailer.bytes << ",\"truncated\":" << (trailer.truncated ? "true" : "false")
          << ",\"mixed\":" << (facts.Mixed() ? "true" : "false") << "}\n";
    } else {
      const std::string skipped = sk.Total() ? std::to_string(sk.Total()) + " (" + SkipSummary(sk, false) + ")" : "none";
      out << in.name() << "\n"
          << "  format:          " << ToString(f.version) << " Layer " << (f.layer == 1 ? "I" : "II") << "\n"
          << "  sample rate:     " << f.streamRate << " Hz\n"
          << "  channels:        " << f.channels << " (" << ToString(f.mode) << ")\n"
          << "  bitrate:         " << f.bitrate / 1000 << " kbit/s\n"
          << "  frames:          " << facts.frames << "\n"
          << "  duration:        " << std::string(duration, std::strlen(duration) - 3) << " s\n"
          << "  crc-protected:   " << facts.crcProtected << " frames\n"
          << "  skipped:         " << skipped << "\n"
          << "  leading bytes:   " << f.position << "\n"
          << "  trailing bytes:  " << trailer.bytes << (trailer.truncated ? " (the stream ends inside a frame)" : "")
          << "\n";
      if (facts.Mixed()) {
        out << "  mixed:           the format changes from frame to frame (rates " << JoinSet(facts.rates, ", ")
            << " Hz; layers " << JoinSet(facts.layers, ", ") << ")\n";
      }
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
