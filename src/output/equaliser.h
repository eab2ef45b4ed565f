// Optional processing before synthesis: a global gain, then a ten-band
// equaliser with preamp, and afterwards the gain adaptation that lowers the
// global gain after every frame whose output overshot full scale.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/frame.h"

namespace quorvel {

// Equaliser band of each subband: bands 0..5 are single subbands, then the
// bands widen by octaves (6-7, 8-11, 12-19, 20-31).
inline constexpr std::array<uint8_t, 32> EqBandMap = {0, 1, 2, 3, 4, 5, 6, 6, 7, 7, 7, 7, 8, 8, 8, 8,
                                                      8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};

constexpr double kMaxGainDb = 18.0;

// Level in dB to a Q28 gain: 10^(x * 0.05) with x capped at +18 dB, times 2^28,
// rounded half up. No lower limit: -79 dB and below give a zero coefficient.
Q28 DbToGain(double level);

// gains[j] = DbToGain(levels[EqBandMap[j]] + preamp) for the 32 subbands.
void SetupEqualiser(const int8_t levels[10], int8_t preamp, std::array<Q28, 32>& gains);

// Scales every sample of the frame's channels and slots by `gain` (FixMul,
// the gain as coefficient).
void ApplyGain(FrameState& frame, Q28 gain);
// Scales every sample of subband j by gains[j].
void ApplyEqualiser(FrameState& frame, const std::array<Q28, 32>& gains);
// The gain after a frame whose largest recorded overshoot was `overshoot`:
// gain / (1 + FixMul(reduction, overshoot) * 2^-28), rounded half up.
Q28 AdaptGain(Q28 gain, Q28 reduction, int32_t overshoot);

}  // namespace quorvel
