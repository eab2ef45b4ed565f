// Gain and equaliser of the full-accuracy tier: the same Q28 gains as
// equaliser.h (DbToGain, SetupEqualiser, AdaptGain serve both tiers), applied
// to the full tier's Q28 subband samples with 64-bit products rounded to
// nearest (halves up) and saturated to 32 bits.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/frame.h"

namespace quorvel {

// sample * gain in Q28, rounded half up, saturated. Gains are below 2^31 and
// samples 32-bit, so the product fits 63 bits.
inline Q28 ScaleFull(Q28 sample, Q28 gain) {
  const int64_t v = (int64_t{sample} * gain + (int64_t{1} << 27)) >> 28;
  return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

// Scales every sample of the frame's channels and slots by `gain`.
void ApplyGainFull(FrameState& frame, Q28 gain);
// Scales every sample of subband j by gains[j].
void ApplyEqualiserFull(FrameState& frame, const std::array<Q28, 32>& gains);

}  // namespace quorvel
