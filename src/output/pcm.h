// 16-bit PCM output with first-order error feedback and clipping.
//
// The whole quantisation error of a sample, including what clipping cut off,
// is carried into the next sample of the same channel through its residual.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "cpu.h"
#include "fixed.h"

namespace quorvel {

constexpr int kOutputBits = 16;

// Q28 to 16 bits: the output keeps the bits above the low kOutputShift.
constexpr int kOutputShift = 29 - kOutputBits;
// The bits of a Q28 value below one output step.
constexpr uint32_t kBelowOutputStep = (1u << kOutputShift) - 1u;

// Converts one Q28 sample to 16 bits, updating the channel's residual and
// raising maxOvershoot for the first sample of a run beyond full scale. The
// sum of sample and residual saturates to the 32-bit range: a long run far
// beyond full scale must not wrap the residual and flip the output from one
// rail to the other (tests/reference/pcm_reference.h holds the conversion as
// defined, for any width).
//
// This form has few branches. A sample whose residual is 0..0x1FFF (as every
// in-range sample leaves it) and whose sum with it lies within full scale
// gives sum >> 13 and leaves the sum's low 13 bits; with such a residual the
// 32-bit sum wraps only for samples above 0x7FFFE000, and then lands below
// -0x10000000, outside the range test. Every other sample takes the general
// form: the saturated sum, its clipping, and the overshoot |sum - clipped|
// recorded when it is the largest so far and the residual before the sample
// was below 0x8000 in magnitude.
inline int32_t ConvertSample16(Q28 sample, int32_t& residual, int32_t& maxOvershoot) {
  const int32_t r = residual;
  if (static_cast<uint32_t>(r) <= kBelowOutputStep) {
    const uint32_t v = static_cast<uint32_t>(sample) + static_cast<uint32_t>(r);
    if (v + static_cast<uint32_t>(kOneQ28) < 2u * static_cast<uint32_t>(kOneQ28)) {
      residual = static_cast<int32_t>(v & kBelowOutputStep);
      return static_cast<int32_t>(v) >> kOutputShift;
    }
  }
  const int64_t wide = static_cast<int64_t>(sample) + r;
  const int32_t v = static_cast<int32_t>(wide < INT32_MIN ? INT32_MIN : wide > INT32_MAX ? INT32_MAX : wide);
  const int32_t d = v < kFullScaleLow ? kFullScaleLow : v > kFullScaleHigh ? kFullScaleHigh : v;
  const uint32_t overshoot = v > d ? static_cast<uint32_t>(v) - static_cast<uint32_t>(d)
                                   : static_cast<uint32_t>(d) - static_cast<uint32_t>(v);  // at most 0x70000000
  const bool quietBefore = static_cast<uint32_t>(r) + 0x7FFFu <= 0xFFFEu;                 // |r| < 0x8000
  if (quietBefore && static_cast<int32_t>(overshoot) > maxOvershoot) maxOvershoot = static_cast<int32_t>(overshoot);
  const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(d) & ~kBelowOutputStep);
  residual = v - t;  // |v - t| < 2^31: t lies within full scale
  return t >> kOutputShift;
}

// ConvertSample for 16 bits without branches, for runs where samples clip
// and return unpredictably: the saturated sum, its clipping, the overshoot
// |sum - clipped|, taken when the residual before the sample was below
// 0x8000 in magnitude, and the new residual.
inline int32_t ConvertClippingSample16(Q28 sample, int32_t& residual, int32_t& maxOvershoot) {
  const int32_t r = residual;
  const int64_t wide = static_cast<int64_t>(sample) + r;
  const int32_t v = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(wide, INT32_MIN), INT32_MAX));
  const int32_t d = std::min(std::max(v, kFullScaleLow), kFullScaleHigh);
  const int32_t difference = static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(d));
  const int32_t overshoot = difference < 0 ? -difference : difference;  // at most 0x70000000
  const bool quietBefore = static_cast<uint32_t>(r) + 0x7FFFu <= 0xFFFEu;  // |r| < 0x8000
  maxOvershoot = std::max(maxOvershoot, quietBefore ? overshoot : 0);
  const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(d) & ~kBelowOutputStep);
  residual = v - t;  // |v - t| < 2^31: t lies within full scale
  return t >> kOutputShift;
}

// Stores the low 16 bits of value at p, low byte first.
inline void StoreLittleEndian16(uint8_t* p, int32_t value) {
  uint16_t u = static_cast<uint16_t>(value);
  if constexpr (std::endian::native == std::endian::big) u = static_cast<uint16_t>((u >> 8) | (u << 8));
  std::memcpy(p, &u, 2);
}

// Writes count samples per channel as interleaved 16-bit little-endian PCM
// (channel 0 first; channel1 null for one channel) and returns the bytes
// written. out: [count * 2 * channels] bytes, no alignment needed. Runs the
// output kernel of the active level.
int32_t WritePcm(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                 int32_t& maxOvershoot);
// The plain version of the output kernel writePcm (the reference for the others).
int32_t WritePcmPlain(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                      int32_t& maxOvershoot);

// The output kernels. Every version of a kernel gives the same bits for every
// input as the plain one (tests/kernels_test.cpp).
struct OutputKernels {
  // WritePcmPlain: the same contract and the same bytes.
  int32_t (*writePcm)(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                      int32_t& maxOvershoot);
  // The full tier's rounded output (see WritePcmRoundedPlain).
  int32_t (*writePcmRounded)(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                             int32_t& maxOvershoot);
};

// The output kernels of `level` (the plain ones where it is not supported).
const OutputKernels& OutputKernelsFor(KernelLevel level);

}  // namespace quorvel
