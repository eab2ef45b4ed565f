// Decoding one frame: the frame scanner locates it and parses its header,
// and the decoder of its layer turns the body into subband samples.
#pragma once

#include <array>

#include "bitstream/frame.h"

namespace quorvel {

// A layer decoder turns the frame body at cursor.reader into frame.samples.
// 0, or -1 with cursor.status set.
using LayerDecoder = int (*)(InputCursor& cursor, FrameState& frame);

// The layer decoders, by layer - 1.
extern const std::array<LayerDecoder, 2> LayerDecoderTable;

// Locates the next frame and decodes its body into frame.samples. A sound
// Layer III frame is located and passed over with StatusUnsupportedLayer.
int DecodeFrame(FrameState& frame, InputCursor& cursor);

}  // namespace quorvel
