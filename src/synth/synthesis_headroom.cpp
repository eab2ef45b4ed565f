// The second synthesis of the excess over +-2 (see synthesis_headroom.h).
#include "synth/synthesis_headroom.h"

#include <cstring>

namespace quorvel {

void ResetFullHeadroom(FullHeadroomState& headroom) {
  ResetFullSynthesis(headroom.excess);
  headroom.liveFrames = 0;
}

void SynthesizeFrameFullWide(FullSynthesisState& synthesis, FullHeadroomState& headroom, const FrameState& frame,
                             PcmBlock& pcm) {
  // The synthesis reports whether its clamp changed a sample: the common
  // case, no sample beyond the limit, costs no pass of its own.
  const bool excess = SynthesizeFrameFull(synthesis, frame, pcm);
  const int channels = ChannelCount(frame);
  const int count = SlotsPerFrame(frame) * kSubbands;
  if (excess) {
    for (int ch = 0; ch < channels; ++ch) {
      const Q28* s = frame.samples[ch].data();
      Q28* e = headroom.frame.samples[ch].data();
      for (int i = 0; i < count; ++i) {
        const Q28 v = s[i];
        e[i] = (v > kFullInputLimit ? v - kFullInputLimit : v < -kFullInputLimit ? v + kFullInputLimit : 0) / 4;
      }
    }
  } else if (headroom.liveFrames) {
    for (int ch = 0; ch < channels; ++ch) headroom.frame.samples[ch].fill(0);
  }
  // Two frames of silence leave the 16 slots of history silent.
  if (excess) headroom.liveFrames = 2;
  if (headroom.liveFrames == 0) return;
  --headroom.liveFrames;
  FrameState& view = headroom.frame;  // the fields the synthesis reads
  view.layer = frame.layer;
  view.flags = frame.flags;
  view.modeCode = frame.modeCode;
  view.sampleRate = frame.sampleRate;
  SynthesizeFrameFull(headroom.excess, view, headroom.pcm);
  for (int ch = 0; ch < channels; ++ch) {
    Q28* out = pcm.samples[ch].data();
    const Q28* add = headroom.pcm.samples[ch].data();
    for (int i = 0; i < count; ++i) {
      const int64_t v = int64_t{out[i]} + 4 * int64_t{add[i]};
      out[i] = static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
    }
  }
}

}  // namespace quorvel
