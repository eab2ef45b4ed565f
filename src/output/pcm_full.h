// 16-bit output of the full-accuracy tier: each Q28 sample rounded to the
// nearest 16-bit value (halves up) and saturated, with no error feedback, so
// that the output stays as close to the exact result as 16 bits allow and a
// clipped sample leaves the next one alone.
//
// The overshoot keeps the meaning it has for WritePcm, the largest excess
// beyond full scale in Q28 that the frame's samples reached, with full scale
// [-0x10000000, 0x0FFFFFFF] as there. WritePcm leaves out samples that
// carry fed-back clipping from the sample before; here nothing is fed back,
// so every sample counts.
#pragma once

#include <algorithm>
#include <cstdint>

#include "output/pcm.h"

namespace quorvel {

// One sample: the 16-bit value, and `maxOvershoot` raised to its excess.
inline int32_t RoundSample16(Q28 sample, int32_t& maxOvershoot) {
  const int64_t v = sample;
  const int64_t excess = std::max<int64_t>({v - 0x0FFFFFFF, -0x10000000 - v, 0});  // below 2^31
  maxOvershoot = std::max(maxOvershoot, static_cast<int32_t>(excess));
  return static_cast<int32_t>(std::clamp<int64_t>((v + 0x1000) >> 13, -32768, 32767));
}

// Writes count samples per channel as interleaved 16-bit little-endian PCM
// (channel 0 first; channel1 null for one channel) and returns the bytes
// written. out: [count * 2 * channels] bytes, no alignment needed.
int32_t WritePcmRounded(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                        int32_t& maxOvershoot);

}  // namespace quorvel
