// The host behaviour of a fuzz input: options and per-call decisions are read
// from a short script at the end of the input, the bytes before it are the
// stream. A real stream used as a seed thus keeps its frames intact, and a
// mutation of its last bytes changes how the host drives the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quorvel::fuzz {

class HostScript {
 public:
  static constexpr size_t kMaxScript = 64;

  HostScript(const uint8_t* data, size_t size) {
    length_ = size / 2 < kMaxScript ? size / 2 : kMaxScript;
    script_ = data + (size - length_);
    streamSize_ = size - length_;
  }

  size_t StreamSize() const { return streamSize_; }

  // The script's bytes in turn, cycling; 0 when there is no script.
  uint8_t Byte() {
    if (length_ == 0) return 0;
    const uint8_t b = script_[next_ % length_];
    ++next_;
    return b;
  }
  uint32_t Word() { return static_cast<uint32_t>(Byte()) << 8 | Byte(); }
  // A value in [0, bound), bound > 0.
  uint32_t Below(uint32_t bound) { return (Word() << 8 | Byte()) % bound; }
  bool Chance(uint32_t inSixteen) { return (Byte() & 15u) < inSixteen; }

 private:
  const uint8_t* script_ = nullptr;
  size_t length_ = 0;
  size_t streamSize_ = 0;
  size_t next_ = 0;
};

// The length of the stream's first `frames` Layer I/II frames, as a walk from
// header to header finds them (anything that is no such header moves the walk
// on by one byte), or the whole stream when it holds fewer. It bounds the work
// of an input; the decoder's own search is not asked to agree with it.
inline size_t FramesPrefix(const uint8_t* stream, size_t size, int frames) {
  // Bit rates in kbit/s by [MPEG-1][Layer I][index]; LSF: MPEG-2 and 2.5.
  static constexpr uint16_t kBitrates[2][2][15] = {
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384}}};
  static constexpr uint32_t kRates[3] = {44100, 48000, 32000};  // MPEG-1; halved for 2, quartered for 2.5
  size_t at = 0;
  for (int found = 0; found < frames && at + 4 <= size;) {
    const uint8_t* h = stream + at;
    const int version = (h[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int layer = (h[1] >> 1) & 3;    // 3: Layer I, 2: Layer II
    const int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || (layer != 3 && layer != 2) || bitrateIndex == 0 ||
        bitrateIndex == 15 || rateIndex == 3) {
      ++at;
      continue;
    }
    const uint32_t bitrate = 1000u * kBitrates[version == 3][layer == 2][bitrateIndex];
    const uint32_t rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    at += layer == 3 ? (12 * bitrate / rate + padding) * 4 : 144 * bitrate / rate + padding;
    ++found;
  }
  return at < size ? at : size;
}

// A broken promise of the decoder: report it and stop, so that the fuzzer
// keeps the input.
[[noreturn]] inline void Violated(const char* what, long a, long b) {
  std::fprintf(stderr, "invariant violated: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

inline void Require(bool ok, const char* what, long a = 0, long b = 0) {
  if (!ok) Violated(what, a, b);
}

}  // namespace quorvel::fuzz
