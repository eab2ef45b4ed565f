// Decoding one frame: the frame scanner locates it and parses its header,
// and the decoder of its layer turns the body into subband samples.
#pragma once

#include <array>
#include <cstring>

#include "bitstream/frame.h"

namespace quorvel {

// A layer decoder turns the frame body at cursor.reader into frame.samples;
// a code decoder stops at the codes and frame.plan. 0, or -1 with
// cursor.status set.
using LayerDecoder = int (*)(InputCursor& cursor, FrameState& frame);

// The layer decoders and the code decoders, by layer - 1.
extern const std::array<LayerDecoder, 2> LayerDecoderTable;
extern const std::array<LayerDecoder, 2> LayerCodeDecoderTable;

// Locates the next frame and decodes its body into frame.samples. A sound
// Layer III frame is located and passed over with StatusUnsupportedLayer.
int DecodeFrame(FrameState& frame, InputCursor& cursor);

// Locates the next frame and reads its body up to the sample codes: the codes
// in frame.samples and frame.plan, for a requantisation of the caller's
// choice. Fails exactly where DecodeFrame fails, with the same status.
int DecodeFrameCodes(FrameState& frame, InputCursor& cursor);

// Subbands bound..end - 1 of a two-channel frame carry one code per slot for
// both channels, which the layer decoders read into channel 0: copies those
// codes of slots 0..slots - 1 to channel 1.
inline void CopySharedCodes(FrameState& frame, int bound, int end, int slots) {
  if (bound >= end) return;
  const size_t bytes = sizeof(Q28) * static_cast<size_t>(end - bound);
  for (int slot = 0; slot < slots; ++slot)
    std::memcpy(&frame.samples[1][slot * 32 + bound], &frame.samples[0][slot * 32 + bound], bytes);
}

// The compatible tier's requantisation of the codes by frame.plan, in place.
void RequantCompatible(FrameState& frame);

}  // namespace quorvel
