// The full tier's sample-rate conversion: a band-limited polyphase filter in
// integer arithmetic, between any two of the nine MPEG rates.
//
// A conversion from rate `from` to rate `to` is the rational step M / L
// (L = to / g, M = from / g, g their greatest common divisor): output sample
// j lies at input position j M / L, that is at whole input sample
// n = floor(j M / L) and phase p = j M mod L. Both are exact integers, so
// nothing drifts: after S input samples and Flush() exactly ceil(S L / M)
// samples have come out, however the input was cut into blocks, and the
// output does not depend on the cut either.
//
// Each of the L phases has its own row of 2H coefficients for the input
// samples n - H + 1 .. n + H. They are built once per pair of rates from
// the prototype low-pass filter kPrototypeQ30 (a Kaiser-windowed sinc; its
// design and generator are in scripts/gen_resampler_filter.py), whose time
// axis counts periods of the lower rate; converting down, the prototype is
// stretched over M / L input samples per period and scaled by L / M.
//
// Scaling: input and output samples Q28 (as the synthesis writes them),
// coefficients Q30, sums 64-bit. Every row's absolute sum stays below 2.5
// (checked by a test over all pairs; 4 would do), so with |sample| < 2^31 a
// sum stays below 2^63. Outputs are the sums rounded half up to Q28 and saturated to
// 32 bits. Nothing uses floating point.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "fixed.h"

namespace quorvel {

// The prototype: h(k / kPrototypePoints) for k = 0 .. kPrototypeHalfLength *
// kPrototypePoints in Q30 (h is even, and 0 from kPrototypeHalfLength on),
// then three zeros for the interpolation stencil.
inline constexpr int kPrototypePoints = 256;
inline constexpr int kPrototypeHalfLength = 20;  // in periods of the lower rate
inline constexpr int kPrototypeTaps = kPrototypeHalfLength * kPrototypePoints + 1 + 3;
extern const std::array<int32_t, kPrototypeTaps> kPrototypeQ30;

// The rational step of a pair of rates and the filter length it needs.
struct ResampleRatio {
  uint32_t up = 1;    // L: phases
  uint32_t down = 1;  // M: phase advance per output sample
  uint32_t half = 0;  // H: taps on either side (0 for equal rates)
  uint32_t Taps() const { return 2 * half; }
};
// The ratio of two of the nine rates; {1, 1, 0} when they are equal or
// either is not one of the nine.
ResampleRatio RatioOf(int32_t from, int32_t to);
// The largest coefficient table (L * 2H) and the largest row (2H) over all
// pairs of the nine rates.
uint32_t MaxCoefficientCount();
uint32_t MaxTapCount();

// The coefficient of tap i (0 .. 2H - 1, input sample n - H + 1 + i) in
// phase p, in Q30: the prototype at (k L - p) / max(L, M) periods, k = i - H + 1,
// by four-point Lagrange interpolation between its points, times L / M when
// converting down. Integer arithmetic only.
int32_t PolyphaseCoefficient(const ResampleRatio& r, uint32_t p, uint32_t i);

class FullResampler {
 public:
  // Most samples one block may hold, per channel.
  static constexpr uint32_t kMaxBlock = 1152;
  // Room per channel for the output of one block (at most 6 n + 1 samples)
  // after the Flush of another converter to the same rate (at most 6 (H + 1)
  // samples, and less than 96 when the block's rate converts by 6).
  static constexpr uint32_t kMaxOutput = kMaxBlock * 6 + 128;

  // Allocates the history the widest pair needs, once; the coefficient
  // tables are shared by every converter, each made on its first use.
  FullResampler();

  // Chooses the pair of rates and starts over with a silent past. False
  // (nothing changed) when either rate is not one of the nine.
  bool Setup(int32_t from, int32_t to);
  int32_t from() const { return from_; }
  int32_t to() const { return to_; }
  const ResampleRatio& ratio() const { return ratio_; }

  // Starts over with a silent past; the next input sample is input sample 0.
  void Reset();
  // Starts over as if input samples 0 .. position - 1 had been silence:
  // the next input sample is input sample `position`. Returns the index of
  // the next output sample, ceil(position L / M).
  uint64_t Restart(uint64_t position);

  // Takes n <= kMaxBlock samples per channel (channel1 null: silence) and
  // writes every output sample whose filter now lies within the input.
  // Returns the count per channel. out0, out1: [kMaxOutput].
  uint32_t Process(const Q28* channel0, const Q28* channel1, uint32_t n, Q28* out0, Q28* out1);
  // The output samples still held back by the filter's reach into the
  // future, computed with silence after the last input sample. Afterwards
  // the converter must be Reset or Restart before more input.
  uint32_t Flush(Q28* out0, Q28* out1);
  // Output samples produced so far since Setup, Reset or Restart (counted
  // from the output index Restart returned).
  uint64_t produced() const { return produced_; }

 private:
  uint32_t Emit(uint32_t limit, Q28* out0, Q28* out1);
  void Compact();

  int32_t from_ = 0, to_ = 0;
  ResampleRatio ratio_;
  const int32_t* coefficients_ = nullptr;  // [L * 2H], shared: row p holds phase p
  std::vector<Q28> history_[2];        // [2H - 1 + kMaxBlock + H]
  uint32_t filled_ = 0;                // samples in history_
  uint32_t next_ = 0;                  // n of the next output, as an index into history_
  uint32_t phase_ = 0;                 // p of the next output
  uint64_t produced_ = 0;
};

}  // namespace quorvel
