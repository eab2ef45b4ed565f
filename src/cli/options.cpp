#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "quorvel/decoder.hpp"

namespace quorvel::cli {
namespace {

constexpr const char* kUsage =
    "usage: quorvel decode IN... [-o OUT | -d DIR] [options]   decode to WAV (default: IN with .wav)\n"
    "       quorvel info IN... [--json]                        describe the streams\n"
    "       quorvel --help | --version\n"
    "\n"
    "IN and OUT may be '-' for standard input and output.\n"
    "\n"
    "decode options:\n"
    "  -o, --output OUT     output file (one input only)\n"
    "  -d, --directory DIR  write each output to DIR, named after its input\n"
    "  --raw                headerless signed 16-bit little-endian PCM (default name: IN with .raw)\n"
    "  --sink KIND          wav (default), raw, null (decode only) or md5 (print the PCM's MD5)\n"
    "  --rate HZ            convert to 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100 or 48000\n"
    "  --eq B0,...,B9       equaliser levels in dB, lowest band first (turns processing on)\n"
    "  --preamp DB          preamp in dB added to every band (turns processing on)\n"
    "  --accuracy TIER      full (default: ISO/IEC 11172-4 full accuracy) or compatible\n"
    "                       (bit-identical to the exported C calls)\n"
    "  --buffer BYTES       host buffer size, 2889 to 32768 (default 4096)\n"
    "  --no-conceal         drop damaged frames instead of replacing them with silence\n"
    "  --start TIME         write from TIME on (TIME: seconds, [[h:]m:]s[.fraction],\n"
    "                       or samples at the output rate as 123456s)\n"
    "  --end TIME           write up to TIME (exclusive)\n"
    "  --duration TIME      write TIME long (instead of --end)\n"
    "  -j, --jobs N         decode N inputs at a time (default 1)\n"
    "  --verify MD5         fail unless the PCM written has this MD5\n"
    "  -q, --quiet          no progress line and no warnings\n"
    "\n"
    "info options:\n"
    "  --json               one JSON object per input\n"
    "  --accuracy TIER      count frames as that tier decodes them (default full)\n";

// Parses a whole decimal integer within [low, high].
std::optional<long> ParseInt(const std::string& text, long low, long high) {
  long value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || p != end || text.empty() || value < low || value > high) return std::nullopt;
  return value;
}

int8_t ParseLevel(const std::string& option, const std::string& text) {
  const auto v = ParseInt(text, -128, 127);
  if (!v) throw UsageError(option + " " + text + ": not a level in whole dB from -128 to 127");
  return static_cast<int8_t>(*v);
}

}  // namespace

const char* UsageText() { return kUsage; }

Settings ParseArgs(int argc, char** argv) {
  Settings s;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) throw UsageError("missing command (see quorvel --help)");
  const std::string command = args[0];
  if (command == "-h" || command == "--help" || command == "help") return s;
  if (command == "--version" || command == "version") {
    s.command = Command::Version;
    return s;
  }
  if (command == "decode") {
    s.command = Command::Decode;
  } else if (command == "info") {
    s.command = Command::Info;
  } else {
    throw UsageError("unknown command '" + command + "' (see quorvel --help)");
  }
  bool sinkGiven = false, rawGiven = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError("option " + a + " needs a value (see quorvel --help)");
      return args[++i];
    };
    const bool decode = s.command == Command::Decode;
    if (a == "-h" || a == "--help") {
      s.command = Command::Help;
      return s;
    } else if (a == "-" || a.empty() || a[0] != '-') {
      s.inputs.push_back(a);
    } else if (a == "--") {
      s.inputs.insert(s.inputs.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else if (a == "--json" && !decode) {
      s.json = true;
    } else if (a == "--accuracy") {
      const std::string& tier = value();
      if (tier == "full") {
        s.accuracy = Accuracy::Full;
      } else if (tier == "compatible") {
        s.accuracy = Accuracy::Compatible;
      } else {
        throw UsageError("--accuracy " + tier + ": not one of full, compatible");
      }
    } else if (!decode) {
      throw UsageError("unknown option '" + a + "' for info (see quorvel --help)");
    } else if (a == "-o" || a == "--output") {
      s.output = value();
    } else if (a == "-d" || a == "--directory") {
      s.directory = value();
    } else if (a == "--raw") {
      rawGiven = true;
      s.sink = SinkKind::Raw;
    } else if (a == "--sink") {
      const std::string& kind = value();
      sinkGiven = true;
      if (kind == "wav") {
        s.sink = SinkKind::Wav;
      } else if (kind == "raw") {
        s.sink = SinkKind::Raw;
      } else if (kind == "null") {
        s.sink = SinkKind::Null;
      } else if (kind == "md5") {
        s.sink = SinkKind::Md5;
      } else {
        throw UsageError("--sink " + kind + ": not one of wav, raw, null, md5");
      }
    } else if (a == "--rate") {
      const std::string& text = value();
      const auto v = ParseInt(text, 1, 48000);
      if (!v || std::find(kOutputRates.begin(), kOutputRates.end(), *v) == kOutputRates.end()) {
        throw UsageError("--rate " + text +
                         ": not one of 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000");
      }
      s.rate = static_cast<int32_t>(*v);
    } else if (a == "--eq") {
      const std::string& text = value();
      std::vector<std::string> parts;
      size_t start = 0;
      for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
        parts.push_back(text.substr(start, comma - start));
      }
      parts.push_back(text.substr(start));
      if (parts.size() != s.bands.size()) {
        throw UsageError("--eq " + text + ": needs ten comma-separated levels in dB, lowest band first");
      }
      for (size_t b = 0; b < parts.size(); ++b) s.bands[b] = ParseLevel("--eq", parts[b]);
      s.processing = true;
    } else if (a == "--preamp") {
      s.preamp = ParseLevel("--preamp", value());
      s.processing = true;
    } else if (a == "--buffer") {
      const std::string& text = value();
      const auto v = ParseInt(text, kMinBufferBytes, kMaxBufferBytes);
      if (!v) throw UsageError("--buffer " + text + ": not a size from 2889 to 32768 bytes");
      s.buffer = static_cast<int32_t>(*v);
    } else if (a == "--start") {
      s.trim.start = ParseTime(a, value());
    } else if (a == "--end") {
      s.trim.end = ParseTime(a, value());
    } else if (a == "--duration") {
      s.trim.duration = ParseTime(a, value());
    } else if (a == "--no-conceal") {
      s.conceal = false;
    } else if (a == "-j" || a == "--jobs") {
      const std::string& text = value();
      const auto v = ParseInt(text, 1, 256);
      if (!v) throw UsageError("--jobs " + text + ": not a count from 1 to 256");
      s.jobs = static_cast<unsigned>(*v);
    } else if (a == "--verify") {
      std::string md5 = value();
      std::transform(md5.begin(), md5.end(), md5.begin(), [](unsigned char c) { return std::tolower(c); });
      if (md5.size() != 32 || md5.find_first_not_of("0123456789abcdef") != std::string::npos) {
        throw UsageError("--verify " + md5 + ": not an MD5 (32 hexadecimal digits)");
      }
      s.verify = md5;
    } else if (a == "-q" || a == "--quiet") {
      s.quiet = true;
    } else {
      throw UsageError("unknown option '" + a + "' (see quorvel --help)");
    }
  }
  if (s.inputs.empty()) throw UsageError("no input file (see quorvel --help)");
  if (s.trim.end && s.trim.duration) throw UsageError("--end and --duration exclude each other");
  // Times in the same unit are compared now; seconds against samples once the
  // output rate is known.
  if (s.trim.start && s.trim.end && s.trim.start->samples == s.trim.end->samples &&
      s.trim.end->count <= s.trim.start->count) {
    throw UsageError("--end " + s.trim.end->text + " is not after --start " + s.trim.start->text);
  }
  if (sinkGiven && rawGiven && s.sink != SinkKind::Raw) throw UsageError("--raw contradicts --sink");
  if (!s.output.empty() && !s.directory.empty()) throw UsageError("-o and -d exclude each other");
  if (!s.output.empty() && s.inputs.size() > 1) {
    throw UsageError("-o names one output, but there are " + std::to_string(s.inputs.size()) +
                     " inputs (use -d DIR)");
  }
  if (std::count(s.inputs.begin(), s.inputs.end(), "-") > 0 && s.inputs.size() > 1) {
    throw UsageError("standard input ('-') can only be decoded on its own");
  }
  return s;
}

}  // namespace quorvel::cli
