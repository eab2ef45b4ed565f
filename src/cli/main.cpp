// quorvel: decode MPEG audio Layer I/II streams to WAV or raw PCM, or
// describe them. The options live in options.cpp, the run over the inputs in
// jobs.cpp, the work on one input in decode.cpp and describe.cpp.
#include <cstdio>
#include <exception>

#include "jobs.h"
#include "options.h"
#include "quorvel/decoder.hpp"

using namespace quorvel::cli;

int main(int argc, char** argv) {
  try {
    const Settings s = ParseArgs(argc, argv);
    switch (s.command) {
      case Command::Help:
        std::fputs(UsageText(), stdout);
        return 0;
      case Command::Version:
        std::printf("quorvel %s\n", quorvel::LibraryVersion());
        return 0;
      case Command::Info:
        return DescribeAll(s);
      case Command::Decode:
        return DecodeAll(s);
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "quorvel: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvel: error: %s\n", e.what());
    return 1;
  }
  return 0;
}
