// The conversion of one Q28 sample to a signed integer of any width, as
// defined: the reference for ConvertSample16, ConvertClippingSample16 and
// every version of the output kernel writePcm.
#pragma once

#include <cstdint>

#include "fixed.h"

namespace quorvel::reference {

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
  if (v > kFullScaleHigh) {
    d = kFullScaleHigh;
    overshoot = v - kFullScaleHigh;
  } else if (v < kFullScaleLow) {
    d = kFullScaleLow;
    overshoot = kFullScaleLow - v;  // v >= INT32_MIN, so this fits
  }
  if (overshoot > maxOvershoot) {
    const int32_t limit = kOneQ28 >> k;
    if (residual > -limit && residual < limit) maxOvershoot = overshoot;
  }
  const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(d) & ~((1u << k) - 1u));
  residual = v - t;  // |v - t| < 2^31: t lies within full scale
  return t >> k;
}

}  // namespace quorvel::reference
