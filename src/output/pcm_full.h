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

// One sample: the 16-bit value, and `maxOvershoot` raised to its excess. In
// 32-bit arithmetic without branches: v ^ (v >> 31) is v for v >= 0 and
// -1 - v below, so that minus 0x0FFFFFFF it is the excess beyond either end
// of full scale (negative inside), and (v >> 12) + 1 >> 1 is v / 2^13 rounded
// half up without the overflow of v + 2^12.
inline int32_t RoundSample16(Q28 v, int32_t& maxOvershoot) {
  maxOvershoot = std::max(maxOvershoot, (v ^ (v >> 31)) - 0x0FFFFFFF);
  return std::clamp(((v >> 12) + 1) >> 1, -32768, 32767);
}

// Writes count samples per channel as interleaved 16-bit little-endian PCM
// (channel 0 first; channel1 null for one channel) and returns the bytes
// written. out: [count * 2 * channels] bytes, no alignment needed.
int32_t WritePcmRounded(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                        int32_t& maxOvershoot);
// The plain loop behind it (the reference of the vector version on x86-64).
int32_t WritePcmRoundedPlain(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                             int32_t& maxOvershoot);

}  // namespace quorvel
