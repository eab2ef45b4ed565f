// The decode loop: one input through the decoder to a sink.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "input.h"
#include "options.h"
#include "quorvel/decoder.hpp"

namespace quorvel::cli {

struct Job {
  std::string input;   // a path, or "-"
  std::string output;  // a path, or "-"; unused by the null and md5 sinks
};

// Decodes the job's input to its output. Reports its own errors and warnings
// and returns whether it succeeded; a failed output this run created is
// removed.
bool DecodeFile(const Settings& settings, const Job& job, Console& console, Progress& progress);

// Feeds the whole input to the decoder and hands every frame, decoded or
// skipped, to `take`. `progress` (may be null) counts the bytes read.
// Bytes of a regular file's end that the decoder is given before decoding,
// so that the tags there never reach the frame search.
constexpr size_t kTailBytes = size_t{1} << 16;

template <typename Take>
void RunDecoder(InputFile& in, Decoder& decoder, Progress* progress, Take take) {
  if (const std::optional<uint64_t> size = in.Size()) decoder.SetInputSize(*size, in.Tail(kTailBytes));
  std::vector<uint8_t> chunk(size_t{1} << 16);
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

}  // namespace quorvel::cli
