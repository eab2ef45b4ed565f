// quorvel_decode_file: decodes MPEG audio files the way a host does, reading
// each file in 32 KiB buffers and calling the decoder once per frame, and
// either discards the PCM or writes it raw to stdout. It is the whole-process
// subject of bench/compare.sh when the quorvel command line is not built.
//
//   quorvel_decode_file [--raw] [--kernels plain|sse4.1|avx2|neon] FILE...
//   quorvel_decode_file --kernels-used
//
// Prints frames, audio seconds and wall time to stderr; --kernels-used
// prints the kernel level this processor gets.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/decoder_state.h"
#include "cpu.h"

namespace {

constexpr size_t kBufferBytes = 32768;

struct Totals {
  uint64_t frames = 0;
  double seconds = 0;
};

bool DecodeFile(quorvel::DecoderState& state, const char* path, bool raw, Totals& totals) {
  std::FILE* in = std::fopen(path, "rb");
  if (!in) {
    std::fprintf(stderr, "quorvel_decode_file: cannot open %s\n", path);
    return false;
  }
  std::vector<uint8_t> buffer(kBufferBytes);
  std::vector<uint8_t> out(quorvel::kMaxResampledBytes);
  quorvel::InitDecoder(state, 0, nullptr);
  size_t filled = 0;
  bool atEnd = false;
  for (;;) {
    if (!atEnd) {
      filled += std::fread(buffer.data() + filled, 1, buffer.size() - filled, in);
      if (filled < buffer.size()) {
        // Eight zero bytes after the stream let its last frame be confirmed.
        atEnd = true;
        const size_t pad = std::min<size_t>(8, buffer.size() - filled);
        std::memset(buffer.data() + filled, 0, pad);
        filled += pad;
      }
    }
    const int32_t length = static_cast<int32_t>(filled);
    int32_t result;
    const uint8_t* data = buffer.data();
    do {
      int32_t outBytes = 0, streamPos = 0;
      result = quorvel::DecompressAudioOn(state, data, length, out.data(), &outBytes, &streamPos);
      data = nullptr;
      if (outBytes > 0) {
        ++totals.frames;
        const int channels = state.pcm.channels;
        totals.seconds += static_cast<double>(outBytes) / (2.0 * channels * state.pcm.sampleRate);
        if (raw) std::fwrite(out.data(), 1, static_cast<size_t>(outBytes), stdout);
      }
    } while (result == quorvel::kResultFrame);
    if (atEnd || result == quorvel::kResultNeedBuffer) break;
    const size_t keep = result == quorvel::kResultBufferDone ? 0 : static_cast<size_t>(result);
    std::memmove(buffer.data(), buffer.data() + filled - keep, keep);
    filled = keep;
  }
  quorvel::ExitDecoder(state);
  std::fclose(in);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool raw = false;
  int first = 1;
  while (first < argc && argv[first][0] == '-' && argv[first][1] == '-') {
    const std::string option = argv[first];
    if (option == "--raw") {
      raw = true;
    } else if (option == "--kernels-used") {
      std::printf("%s\n", quorvel::KernelLevelName(quorvel::ActiveKernelLevel()));
      return 0;
    } else if (option == "--kernels" && first + 1 < argc) {
      const char* wanted = argv[++first];
      const auto level = quorvel::KernelLevelNamed(wanted);
      if (!level) {
        std::fprintf(stderr, "quorvel_decode_file: unknown kernel level %s\n", wanted);
        return 2;
      }
      quorvel::ForceKernelLevel(*level);
    } else {
      std::fprintf(stderr, "quorvel_decode_file: unknown option %s\n", option.c_str());
      return 2;
    }
    ++first;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: quorvel_decode_file [--raw] [--kernels LEVEL] FILE...\n");
    return 2;
  }
  auto state = std::make_unique<quorvel::DecoderState>();
  Totals totals;
  const auto start = std::chrono::steady_clock::now();
  bool ok = true;
  for (int i = first; i < argc; ++i) ok = DecodeFile(*state, argv[i], raw, totals) && ok;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "%llu frames, %.3f s of audio in %.3f s (%.0fx realtime, %s kernels)\n",
               static_cast<unsigned long long>(totals.frames), totals.seconds, wall,
               wall > 0 ? totals.seconds / wall : 0.0, quorvel::KernelLevelName(quorvel::ActiveKernelLevel()));
  return ok ? 0 : 1;
}
