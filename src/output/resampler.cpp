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

namespace {

// The compatible tier's interpolation: the fraction (coefficient) times the
// difference (signal) by FixMul, wrapping.
Q28 InterpolateCompatible(Q28 a, Q28 b, int32_t fraction) {
  return fraction != 0 ? WrapAdd(a, FixMul(fraction, WrapSub(b, a))) : a;
}

// The full tier's: the exact difference times the Q28 fraction in 64 bits,
// rounded half up and saturated. |b - a| < 2^32 and fraction < 2^28, so the
// product stays below 2^60.
Q28 InterpolateFull(Q28 a, Q28 b, int32_t fraction) {
  const int64_t v = a + (((static_cast<int64_t>(b) - a) * fraction + (int64_t{1} << 27)) >> 28);
  return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

// The one walk over the input both tiers share, so that they write the same
// count of samples at the same positions.
template <Q28 (*Interpolate)(Q28, Q28, int32_t)>
uint32_t Resample(ResamplerState& state, uint32_t n, const Q28* input, Q28* output, uint32_t capacity) {
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
    output[written++] = Interpolate(input[b], input[b + 1], f);
    phase = WrapAdd(f, state.step);
    // Snap a position that lies within 128 units of a whole input sample onto
    // it: this undoes the drift of the rounded step over short periods.
    const uint32_t nudged = static_cast<uint32_t>(WrapAdd(phase, 0x80));
    if ((nudged & 0x0FFFFF00u) == 0) phase = static_cast<int32_t>(nudged & 0xF0000000u);
  }
  state.phase = phase;
  return written;
}

}  // namespace

uint32_t ResampleBlock(ResamplerState& state, uint32_t n, const Q28* input, Q28* output, uint32_t capacity) {
  return Resample<InterpolateCompatible>(state, n, input, output, capacity);
}

uint32_t ResampleBlockFull(ResamplerState& state, uint32_t n, const Q28* input, Q28* output, uint32_t capacity) {
  return Resample<InterpolateFull>(state, n, input, output, capacity);
}

uint32_t ResampledCapacity(uint32_t n, int32_t from, int32_t to) {
  if (from == to) return n;
  if (n < 2) return 0;
  const uint64_t numerator = static_cast<uint64_t>(n - 1) * static_cast<uint64_t>(to);
  return static_cast<uint32_t>((numerator + static_cast<uint64_t>(from) - 1) / static_cast<uint64_t>(from));
}

}  // namespace quorvel
