// quorvel_pcm_md5: the MD5 of the PCM that quorvel::Decoder makes of each
// stream at its default options (the full tier, 4096-byte buffers, the whole
// file fed at once), one "md5  path" line per stream in the order given. The
// cross check compares these lists between kernel levels and processors, so
// the program runs wherever the library does: it needs neither GoogleTest nor
// threads.
//
//   quorvel_pcm_md5 --levels        the kernel levels this build and processor
//                                   run, one a line, plain first
//   quorvel_pcm_md5 ROOT [PATH...]  decodes ROOT/PATH for each PATH, or for
//                                   each line of standard input without PATHs
//
// QUORVEL_KERNELS=plain|sse4.1|avx2|neon decodes at that level. A level this
// build or processor lacks is an error rather than a quiet fallback, so that a
// list never claims a level it did not run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/md5.h"
#include "cpu.h"
#include "quorvel/decoder.hpp"

namespace {

// The file's bytes, or nothing when it cannot be read whole.
std::optional<std::vector<uint8_t>> ReadWhole(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return std::nullopt;
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  if (std::ferror(file.get())) return std::nullopt;
  return bytes;
}

// The PCM's MD5 over its little-endian bytes, which are the same on every
// processor; nothing when the decoder asks for input after Finish().
std::optional<std::string> PcmMd5(const std::vector<uint8_t>& stream) {
  quorvel::Decoder decoder;
  decoder.Feed(stream);
  decoder.Finish();
  quorvel::cli::Md5 md5;
  quorvel::Frame frame;
  for (;;) {
    switch (decoder.Pull(frame)) {
      case quorvel::Decoder::Next::Frame:
        md5.Update(frame.bytes.data(), frame.bytes.size());
        break;
      case quorvel::Decoder::Next::Skipped:
        break;
      case quorvel::Decoder::Next::NeedInput:
        return std::nullopt;
      case quorvel::Decoder::Next::End:
        return md5.HexDigest();
    }
  }
}

int Usage() {
  std::fprintf(stderr, "usage: quorvel_pcm_md5 --levels | ROOT [PATH...]   (paths on standard input without PATHs)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using quorvel::KernelLevel;
  if (argc < 2) return Usage();
  const std::string first = argv[1];
  if (first == "--levels") {
    if (argc != 2) return Usage();
    for (KernelLevel level : quorvel::kAllKernelLevels) {
      if (quorvel::KernelLevelSupported(level)) std::printf("%s\n", quorvel::KernelLevelName(level));
    }
    return 0;
  }
  if (first.starts_with("-")) return Usage();

  if (const char* wanted = std::getenv("QUORVEL_KERNELS"); wanted && *wanted) {
    const auto level = quorvel::KernelLevelNamed(wanted);
    if (!level || !quorvel::KernelLevelSupported(*level)) {
      std::fprintf(stderr, "quorvel_pcm_md5: QUORVEL_KERNELS=%s is not a level this build and processor run\n", wanted);
      return 2;
    }
    quorvel::ForceKernelLevel(*level);
  }

  std::vector<std::string> paths(argv + 2, argv + argc);
  if (paths.empty()) {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty()) paths.push_back(line);
    }
  }
  int failures = 0;
  for (const std::string& path : paths) {
    const auto stream = ReadWhole(first + "/" + path);
    const auto md5 = stream ? PcmMd5(*stream) : std::nullopt;
    if (!md5) {
      std::fprintf(stderr, "quorvel_pcm_md5: %s: %s\n", path.c_str(),
                   stream ? "the decoder wanted input after the end" : "cannot read it");
      ++failures;
      continue;
    }
    std::printf("%s  %s\n", md5->c_str(), path.c_str());
  }
  std::fprintf(stderr, "quorvel_pcm_md5: %zu streams at the %s level\n", paths.size() - failures,
               quorvel::KernelLevelName(quorvel::ActiveKernelLevel()));
  return failures == 0 ? 0 : 1;
}
