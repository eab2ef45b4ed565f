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
