// The layer decoders, by layer - 1, and the dispatch of a located frame.
#include "layers/layer_decoders.h"

#include "layers/layer1.h"
#include "layers/layer2_tables.h"

namespace quorvel {

const std::array<LayerDecoder, 2> LayerDecoderTable = {DecodeLayer1, DecodeLayer2};

int DecodeFrame(FrameState& frame, InputCursor& cursor) {
  if (FindFrame(frame, cursor) != 0) return -1;
  if (frame.layer < 1 || frame.layer > LayerDecoderTable.size()) {
    // Layer III frames are located and confirmed like any other, then skipped.
    cursor.status = StatusUnsupportedLayer;
    return -1;
  }
  return LayerDecoderTable[frame.layer - 1](cursor, frame);
}

}  // namespace quorvel
