// What a seek index costs beside a decode: for each stream given, the time of
// IndexFeed/IndexFinish over the whole stream and of decoding it (full tier,
// the stream's own rate), best of three runs each, and their ratio.
//
//   quorvel_index_cost STREAM...     (the 60-second corpus streams: bench/*)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "quorvel/decoder.hpp"

namespace {

template <typename F>
double BestSeconds(F run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto begin = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("%-40s %10s %10s %8s\n", "stream", "index s", "decode s", "ratio");
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
    });
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
    std::printf("%-40s %10.4f %10.4f %7.2f%%  (%llu indexed, %llu decoded samples)\n", argv[i], index, decode,
                100 * index / decode, static_cast<unsigned long long>(indexed),
                static_cast<unsigned long long>(decoded));
  }
  return 0;
}
