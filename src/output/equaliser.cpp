// Double precision is used only here, to turn dB into gains and to adapt the
// global gain; everything applied to samples is Q28 integer arithmetic.
#include "output/equaliser.h"

#include <cmath>

#include "synth/synthesis.h"

namespace quorvel {
namespace {

constexpr double kTwo28 = static_cast<double>(kOneQ28);

}  // namespace

Q28 DbToGain(double level) {
  if (level > kMaxGainDb) level = kMaxGainDb;
  const double y = std::pow(10.0, level * 0.05);  // multiplied by 0.05, not divided by 20
  return static_cast<Q28>(y * kTwo28 + 0.5);
}

void SetupEqualiser(const int8_t levels[10], int8_t preamp, std::array<Q28, 32>& gains) {
  const double p = preamp;
  for (int j = 0; j < 32; ++j) gains[j] = DbToGain(static_cast<double>(levels[EqBandMap[j]]) + p);
}

void ApplyGain(FrameState& frame, Q28 gain) {
  const int32_t coef = CoefficientQ12(gain);
  const int count = SlotsPerFrame(frame) * 32;
  for (int ch = 0; ch < ChannelCount(frame); ++ch) {
    Q28* s = frame.samples[ch].data();
    for (int i = 0; i < count; ++i) s[i] = WrapMul(SignalQ16(s[i]), coef);
  }
}

void ApplyEqualiser(FrameState& frame, const std::array<Q28, 32>& gains) {
  int32_t coef[32];
  for (int j = 0; j < 32; ++j) coef[j] = CoefficientQ12(gains[j]);
  const int slots = SlotsPerFrame(frame);
  for (int ch = 0; ch < ChannelCount(frame); ++ch) {
    Q28* s = frame.samples[ch].data();
    for (int t = 0; t < slots; ++t) {
      for (int j = 0; j < 32; ++j) s[t * 32 + j] = WrapMul(SignalQ16(s[t * 32 + j]), coef[j]);
    }
  }
}

Q28 AdaptGain(Q28 gain, Q28 reduction, int32_t overshoot) {
  const int32_t m = FixMul(reduction, overshoot);
  const double n = static_cast<double>(gain) * (1.0 / kTwo28);
  const double d = static_cast<double>(WrapAdd(m, kOneQ28)) * (1.0 / kTwo28);
  return static_cast<Q28>(n / d * kTwo28 + 0.5);
}

}  // namespace quorvel
