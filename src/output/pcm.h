// 16-bit PCM output with first-order error feedback and clipping.
//
// The whole quantisation error of a sample, including what clipping cut off,
// is carried into the next sample of the same channel through its residual.
#pragma once

#include <cstdint>

#include "fixed.h"

namespace quorvel {

constexpr int kOutputBits = 16;

// Converts one Q28 sample to a signed integer of `bits` bits, updating the
// channel's residual and raising maxOvershoot for the first sample of a run
// beyond full scale. The sum of sample and residual saturates to the 32-bit
// range: a long run far beyond full scale must not wrap the residual and flip
// the output from one rail to the other.
inline int32_t ConvertSample(int bits, Q28 sample, int32_t& residual, int32_t& maxOvershoot) {
  const int k = 29 - bits;
  const int64_t wide = static_cast<int64_t>(sample) + residual;
  const int32_t v = wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : static_cast<int32_t>(wide);
  int32_t d = v;
  int32_t overshoot = 0;
  if (v > 0x0FFFFFFF) {
    d = 0x0FFFFFFF;
    overshoot = v - 0x0FFFFFFF;
  } else if (v < -0x10000000) {
    d = -0x10000000;
    overshoot = -0x10000000 - v;  // v >= INT32_MIN, so this fits
  }
  if (overshoot > maxOvershoot) {
    const int32_t limit = 0x10000000 >> k;
    if (residual > -limit && residual < limit) maxOvershoot = overshoot;
  }
  const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(d) & ~((1u << k) - 1u));
  residual = v - t;  // |v - t| < 2^31: t lies within full scale
  return t >> k;
}

// Writes count samples per channel as interleaved 16-bit little-endian PCM
// (channel 0 first; channel1 null for one channel) and returns the bytes
// written. out: [count * 2 * channels] bytes, no alignment needed.
int32_t WritePcm(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                 int32_t& maxOvershoot);

}  // namespace quorvel
