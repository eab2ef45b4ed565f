#include "output/resampler.h"

#include <cstring>

namespace quorvel {

int RateIndex(int32_t rate) {
  for (int i = 0; i < 9; ++i) {
    if (ResampleRateTable[i] == rate) return i;
  }
  return -1;
}

int SetupResampler(ResamplerState& state, int32_t from, int32_t to) {
  const int f = RateIndex(from);
  const int t = RateIndex(to);
  if (f < 0 || t < 0) return -1;
  state.step = ResampleStepTable[f][t];
  state.phase = 0;
  return 0;
}

uint32_t ResampleBlock(ResamplerState& state, uint32_t n, const Q28* input, Q28* output, uint32_t capacity) {
  if (state.step == kOneQ28) {
    if (n > capacity) n = capacity;
    if (n) std::memcpy(output, input, n * sizeof(Q28));
    return n;
  }
  uint32_t written = 0;
  int64_t base = 0;
  int32_t phase = state.phase;
  while (written < capacity && static_cast<int64_t>(n) - base > (phase >> 28) + 1) {
    base += phase >> 28;
    const int32_t f = phase & 0x0FFFFFFF;
    const uint32_t b = static_cast<uint32_t>(base);
    Q28 y = input[b];
    if (f != 0) y = WrapAdd(y, FixMul(f, WrapSub(input[b + 1], input[b])));
    output[written++] = y;
    phase = WrapAdd(f, state.step);
    // Snap a position that lies within 128 units of a whole input sample onto
    // it: this undoes the drift of the rounded step over short periods.
    const uint32_t nudged = static_cast<uint32_t>(WrapAdd(phase, 0x80));
    if ((nudged & 0x0FFFFF00u) == 0) phase = static_cast<int32_t>(nudged & 0xF0000000u);
  }
  state.phase = phase;
  return written;
}

uint32_t ResampledCapacity(uint32_t n, int32_t from, int32_t to) {
  if (from == to) return n;
  if (n < 2) return 0;
  const uint64_t numerator = static_cast<uint64_t>(n - 1) * static_cast<uint64_t>(to);
  return static_cast<uint32_t>((numerator + static_cast<uint64_t>(from) - 1) / static_cast<uint64_t>(from));
}

}  // namespace quorvel
