// Headroom for the full tier's synthesis: Layer III subband samples can go
// beyond the +-2 that FullDct32x4 takes (loud streams reach 5 and more, and a
// float decoder's output then clips only at the 16-bit stage). The part of a
// sample beyond +-2, divided by 4, runs through a second synthesis of its
// own, whose output times 4 joins the first one's: the filterbank is linear,
// so the sum is the synthesis of the whole sample. The second synthesis runs
// only while it has something to do: from the first frame with an excess
// until its history has been silent for a frame.
#pragma once

#include <cstdint>

#include "bitstream/frame.h"
#include "synth/synthesis.h"
#include "synth/synthesis_full.h"

namespace quorvel {

struct FullHeadroomState {
  FullSynthesisState excess;
  FrameState frame;        // the frame's format, and its excess over +-2 divided by 4
  PcmBlock pcm;
  int32_t liveFrames;      // frames the second synthesis must still run
};

void ResetFullHeadroom(FullHeadroomState& headroom);

// SynthesizeFrameFull of `frame`, with the excess of its samples over +-2
// synthesised on the side and added in.
void SynthesizeFrameFullWide(FullSynthesisState& synthesis, FullHeadroomState& headroom, const FrameState& frame,
                             PcmBlock& pcm);

}  // namespace quorvel
