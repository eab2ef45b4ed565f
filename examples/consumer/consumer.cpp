// Decodes an MPEG audio file with the C++ API, feeding it in small chunks,
// writes the PCM (raw, signed 16-bit little-endian) and prints a summary.
//   consumer IN OUT [compatible]
// The third argument selects the arithmetic of the exported C calls instead
// of the default, full accuracy.
#include <quorvel/decoder.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const bool compatible = argc == 4 && std::string(argv[3]) == "compatible";
  if (argc != 3 && !compatible) {
    std::cerr << "usage: consumer IN OUT [compatible]\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ofstream out(argv[2], std::ios::binary);
  if (!in || !out) {
    std::cerr << "consumer: cannot open the files\n";
    return 1;
  }
  quorvel::Decoder::Options options;
  if (compatible) options.accuracy = quorvel::Accuracy::Compatible;
  quorvel::Decoder decoder(options);
  quorvel::Frame frame;
  uint64_t frames = 0, samples = 0;
  auto drain = [&] {
    for (auto next = decoder.Pull(frame);
         next == quorvel::Decoder::Next::Frame || next == quorvel::Decoder::Next::Skipped; next = decoder.Pull(frame)) {
      if (!frame.decoded()) continue;
      ++frames;
      samples += frame.samples;
      out.write(reinterpret_cast<const char*>(frame.bytes.data()), static_cast<std::streamsize>(frame.bytes.size()));
    }
  };
  std::vector<char> chunk(1000);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    decoder.Feed(chunk.data(), static_cast<size_t>(in.gcount()));
    drain();
  }
  decoder.Finish();
  drain();
  std::cout << "quorvel " << quorvel::LibraryVersion() << ": " << frames << " frames, " << samples
            << " samples per channel, " << decoder.stats().skipped.Total() << " skipped\n";
  return out ? 0 : 1;
}
