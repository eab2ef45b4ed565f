#include "bench_streams.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace quorvel::bench {
namespace {

struct Source {
  const char* label;
  const char* corpusPath;
};

Source SourceOf(StreamKind kind) {
  switch (kind) {
    case StreamKind::Layer2Stereo48k384:
      return {"Layer II 48 kHz stereo 384 kbit/s", "ffmpeg/ff_mp2_48000_st_384k_sweep.mp2"};
    case StreamKind::Layer2JointStereo44k192:
      return {"Layer II 44.1 kHz joint stereo 192 kbit/s", "iso/l2-fl11.bit"};
    case StreamKind::Layer2Mono24k:
      return {"Layer II 24 kHz mono 48 kbit/s", "twolame/l2_24000_mono_48k_crc_pink.mp2"};
    case StreamKind::Layer1Stereo44k384:
      return {"Layer I 44.1 kHz stereo 384 kbit/s", "iso/l1-fl8.bit"};
    case StreamKind::Layer2Clipped44k192:
      return {"Layer II 44.1 kHz joint stereo 192 kbit/s, 64% of samples clipped",
              "twolame/l2_44100_js_192k_nocrc_pad_loud.mp2"};
  }
  return {"", ""};
}

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

const BenchStream& Stream(StreamKind kind) {
  static std::map<StreamKind, BenchStream> loaded;
  auto it = loaded.find(kind);
  if (it != loaded.end()) return it->second;
  const Source source = SourceOf(kind);
  const char* env = std::getenv("QUORVEL_CORPUS");
  const std::filesystem::path corpus = env && *env ? env : QUORVEL_BENCH_CORPUS_DEFAULT;
  BenchStream stream;
  const std::filesystem::path candidate = corpus / source.corpusPath;
  if (std::filesystem::is_regular_file(candidate)) {
    stream.label = source.label;
    stream.path = candidate.string();
  } else {
    stream.label = std::string(source.label) + " (corpus absent: examples/sample.mp2 instead)";
    stream.path = QUORVEL_BENCH_SAMPLE;
  }
  stream.bytes = ReadAll(stream.path);
  return loaded.emplace(kind, std::move(stream)).first->second;
}

}  // namespace quorvel::bench
