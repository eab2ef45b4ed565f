// The full tier's gain and equaliser.
#include "output/equaliser_full.h"

namespace quorvel {

void ApplyGainFull(FrameState& frame, Q28 gain) {
  const int count = SlotsPerFrame(frame) * 32;
  for (int ch = 0; ch < ChannelCount(frame); ++ch) {
    Q28* s = frame.samples[ch].data();
    for (int i = 0; i < count; ++i) s[i] = ScaleFull(s[i], gain);
  }
}

void ApplyEqualiserFull(FrameState& frame, const std::array<Q28, 32>& gains) {
  const int slots = SlotsPerFrame(frame);
  for (int ch = 0; ch < ChannelCount(frame); ++ch) {
    Q28* s = frame.samples[ch].data();
    for (int t = 0; t < slots; ++t) {
      for (int j = 0; j < 32; ++j) s[t * 32 + j] = ScaleFull(s[t * 32 + j], gains[j]);
    }
  }
}

}  // namespace quorvel
