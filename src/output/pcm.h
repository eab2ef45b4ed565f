// 16-bit PCM output with first-order error feedback and clipping.
//
// The whole quantisation error of a sample, including what clipping cut off,
// is carried into the next sample of the same channel through its residual.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

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

// ConvertSample for 16 bits, in a form with few branches. A sample whose
// residual is 0..0x1FFF (as every in-range sample leaves it) and whose sum
// with it lies within full scale gives sum >> 13 and leaves the sum's low 13
// bits; with such a residual the 32-bit sum wraps only for samples above
// 0x7FFFE000, and then lands below -0x10000000, outside the range test. Every
// other sample takes the general form: the saturated sum, its clipping, and
// the overshoot |sum - clipped| recorded when it is the largest so far and
// the residual before the sample was below 0x8000 in magnitude.
inline int32_t ConvertSample16(Q28 sample, int32_t& residual, int32_t& maxOvershoot) {
  const int32_t r = residual;
  if (static_cast<uint32_t>(r) <= 0x1FFFu) {
    const uint32_t v = static_cast<uint32_t>(sample) + static_cast<uint32_t>(r);
    if (v + 0x10000000u < 0x20000000u) {
      residual = static_cast<int32_t>(v & 0x1FFFu);
      return static_cast<int32_t>(v) >> 13;
    }
  }
  const int64_t wide = static_cast<int64_t>(sample) + r;
  const int32_t v = static_cast<int32_t>(wide < INT32_MIN ? INT32_MIN : wide > INT32_MAX ? INT32_MAX : wide);
  const int32_t d = v < -0x10000000 ? -0x10000000 : v > 0x0FFFFFFF ? 0x0FFFFFFF : v;
  const uint32_t overshoot = v > d ? static_cast<uint32_t>(v) - static_cast<uint32_t>(d)
                                   : static_cast<uint32_t>(d) - static_cast<uint32_t>(v);  // at most 0x70000000
  const bool quietBefore = static_cast<uint32_t>(r) + 0x7FFFu <= 0xFFFEu;                 // |r| < 0x8000
  if (quietBefore && static_cast<int32_t>(overshoot) > maxOvershoot) maxOvershoot = static_cast<int32_t>(overshoot);
  const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(d) & ~0x1FFFu);
  residual = v - t;  // |v - t| < 2^31: t lies within full scale
  return t >> 13;
}

// ConvertSample for 16 bits without branches, for runs where samples clip
// and return unpredictably: the saturated sum, its clipping, the overshoot
// |sum - clipped|, taken when the residual before the sample was below
// 0x8000 in magnitude, and the new residual.
inline int32_t ConvertClippingSample16(Q28 sample, int32_t& residual, int32_t& maxOvershoot) {
  const int32_t r = residual;
  const int64_t wide = static_cast<int64_t>(sample) + r;
  const int32_t v = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(wide, INT32_MIN), INT32_MAX));
  const int32_t d = std::min(std::max(v, -0x10000000), 0x0FFFFFFF);
  const int32_t difference = static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(d));
  const int32_t overshoot = difference < 0 ? -difference : difference;  // at most 0x70000000
  const bool quietBefore = static_cast<uint32_t>(r) + 0x7FFFu <= 0xFFFEu;  // |r| < 0x8000
  maxOvershoot = std::max(maxOvershoot, quietBefore ? overshoot : 0);
  const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(d) & ~0x1FFFu);
  residual = v - t;  // |v - t| < 2^31: t lies within full scale
  return t >> 13;
}

// Stores the low 16 bits of value at p, low byte first.
inline void StoreLittleEndian16(uint8_t* p, int32_t value) {
  uint16_t u = static_cast<uint16_t>(value);
  if constexpr (std::endian::native == std::endian::big) u = static_cast<uint16_t>((u >> 8) | (u << 8));
  std::memcpy(p, &u, 2);
}

// Writes count samples per channel as interleaved 16-bit little-endian PCM
// (channel 0 first; channel1 null for one channel) and returns the bytes
// written. out: [count * 2 * channels] bytes, no alignment needed.
int32_t WritePcm(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                 int32_t& maxOvershoot);
// The plain version of WritePcm's kernel (the reference for the others).
int32_t WritePcmPlain(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                      int32_t& maxOvershoot);

}  // namespace quorvel
