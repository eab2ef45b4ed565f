// Command-line settings of the quorvel tool and their parsing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "quorvel/decoder.hpp"
#include "trim.h"

namespace quorvel::cli {

enum class Command { Decode, Info, Help, Version };
enum class SinkKind { Wav, Raw, Null, Md5 };

struct Settings {
  Command command = Command::Help;
  std::vector<std::string> inputs;  // "-" is standard input
  std::string output;               // -o: a file, or "-" for standard output
  std::string directory;            // -d: outputs go here, named after their inputs
  SinkKind sink = SinkKind::Wav;
  int32_t rate = 0;                 // 0: the first frame's rate (WAV) or each frame's own (raw)
  bool processing = false;          // --eq or --preamp given
  std::array<int8_t, 10> bands{};   // dB; flat unless --eq
  int8_t preamp = 0;
  int32_t buffer = kDefaultBufferBytes;
  Accuracy accuracy = Accuracy::Full;
  bool conceal = true;
  unsigned jobs = 1;
  std::optional<std::string> verify;  // expected MD5 of the PCM, lower-case hex
  bool quiet = false;
  bool json = false;
  TrimSpec trim;                    // --start, --end, --duration
};

// A bad command line; the message is one line without the program name.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses argv[1..]; throws UsageError.
Settings ParseArgs(int argc, char** argv);

// The --help text.
const char* UsageText();

}  // namespace quorvel::cli
