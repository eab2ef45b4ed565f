// The streams the benchmarks decode: four kinds from the corpus
// ($QUORVEL_CORPUS, else ../shared/corpus beside the source tree), and a
// heavily clipped stream, each replaced by examples/sample.mp2 when the
// corpus is absent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::bench {

struct BenchStream {
  std::string label;  // what the stream stands for
  std::string path;   // the file actually read
  std::vector<uint8_t> bytes;
};

enum class StreamKind {
  Layer2Stereo48k384,
  Layer2JointStereo44k192,
  Layer2Mono24k,
  Layer1Stereo44k384,
  Layer2Clipped44k192,  // most samples beyond full scale: the clipping paths
};

// The stream of a kind; loaded once, kept for the life of the process.
const BenchStream& Stream(StreamKind kind);

}  // namespace quorvel::bench
