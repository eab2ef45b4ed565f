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
//   quorvel_index_cost --once STREAM
//
// With --once each stream is indexed once and decoded once, in the functions
// IndexStream and DecodeStream, for an instruction count that the machine's
// load does not disturb:
//   valgrind --tool=callgrind --callgrind-out-file=X.out quorvel_index_cost --once STREAM
//   callgrind_annotate --inclusive=yes X.out | grep -E 'IndexStream|DecodeStream'
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

#include "quorvel/decoder.hpp"

namespace {

template <typename F>
double BestSeconds(F run, int rounds, int repeat = 1) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const std::clock_t begin = std::clock();
    for (int r = 0; r < repeat; ++r) run();
    best = std::min(best, static_cast<double>(std::clock() - begin) / CLOCKS_PER_SEC / repeat);
  }
  return best;
}

// The stream fed in chunks of 64 KiB, as a host reading a file does.
constexpr size_t kChunk = 65536;

[[gnu::noinline]] uint64_t IndexStream(const std::vector<uint8_t>& stream) {
  quorvel::Decoder d;
  for (size_t at = 0; at < stream.size(); at += kChunk) {
    d.IndexFeed(std::span<const uint8_t>(stream.data() + at, std::min(kChunk, stream.size() - at)));
  }
  d.IndexFinish();
  return d.IndexedSamples();
}

[[gnu::noinline]] uint64_t DecodeStream(const std::vector<uint8_t>& stream) {
  quorvel::Decoder d;
  quorvel::Frame f;
  uint64_t decoded = 0;
  auto drain = [&] {
    for (quorvel::Decoder::Next n;
         (n = d.Pull(f)) == quorvel::Decoder::Next::Frame || n == quorvel::Decoder::Next::Skipped;) {
      if (f.decoded()) decoded += f.samples;
    }
  };
  for (size_t at = 0; at < stream.size(); at += kChunk) {
    d.Feed(stream.data() + at, std::min(kChunk, stream.size() - at));
    drain();
  }
  d.Finish();
  drain();
  return decoded;
}

}  // namespace

int main(int argc, char** argv) {
  const bool once = argc > 1 && std::strcmp(argv[1], "--once") == 0;
  const int rounds = once ? 1 : 3;
  std::printf("%-40s %10s %10s %8s\n", "stream", "index ms", "decode ms", "ratio");
  for (int i = once ? 2 : 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)), {});
    uint64_t indexed = 0, decoded = 0;
    const double index = BestSeconds([&] { indexed = IndexStream(stream); }, rounds, once ? 1 : 10);
    const double decode = BestSeconds([&] { decoded = DecodeStream(stream); }, rounds);
    std::printf("%-40s %10.3f %10.2f %7.2f%%  (%llu indexed, %llu decoded samples)\n", argv[i], 1e3 * index,
                1e3 * decode, 100 * index / decode, static_cast<unsigned long long>(indexed),
                static_cast<unsigned long long>(decoded));
  }
  return 0;
}
