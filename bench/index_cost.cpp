// What a seek index costs beside a decode: for each stream given, the time of
// IndexFeed/IndexFinish over the whole stream and of decoding it (full tier,
// the stream's own rate), best of three runs each, and their ratio. The
// times are the process's processor time, not the wall clock: on a shared
// machine a run of a millisecond (the index) mostly fits in one time slice
// while a decode of a tenth of a second waits for the processor, and wall
// times then understate the ratio several times over. The index is timed
// over ten scans per run.
//
//   quorvel_index_cost STREAM...     (the 60-second corpus streams: bench/*)
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "quorvel/decoder.hpp"

namespace {

template <typename F>
double BestSeconds(F run, int repeat = 1) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const std::clock_t begin = std::clock();
    for (int r = 0; r < repeat; ++r) run();
    best = std::min(best, static_cast<double>(std::clock() - begin) / CLOCKS_PER_SEC / repeat);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("%-40s %10s %10s %8s\n", "stream", "index ms", "decode ms", "ratio");
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)), {});
    uint64_t indexed = 0, decoded = 0;
    const double index = BestSeconds([&] {
      quorvel::Decoder d;
      for (size_t at = 0; at < stream.size(); at += 65536) {
        d.IndexFeed(std::span<const uint8_t>(stream.data() + at, std::min<size_t>(65536, stream.size() - at)));
      }
      d.IndexFinish();
      indexed = d.IndexedSamples();
    }, 10);
    const double decode = BestSeconds([&] {
      quorvel::Decoder d;
      quorvel::Frame f;
      decoded = 0;
      auto drain = [&] {
        for (quorvel::Decoder::Next n; (n = d.Pull(f)) == quorvel::Decoder::Next::Frame ||
                                       n == quorvel::Decoder::Next::Skipped;) {
          if (f.decoded()) decoded += f.samples;
        }
      };
      for (size_t at = 0; at < stream.size(); at += 65536) {
        d.Feed(stream.data() + at, std::min<size_t>(65536, stream.size() - at));
        drain();
      }
      d.Finish();
      drain();
    });
    std::printf("%-40s %10.3f %10.2f %7.2f%%  (%llu indexed, %llu decoded samples)\n", argv[i], 1e3 * index, 1e3 * decode,
                100 * index / decode, static_cast<unsigned long long>(indexed),
                static_cast<unsigned long long>(decoded));
  }
  return 0;
}
