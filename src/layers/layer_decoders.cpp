// The layer decoders, by layer - 1.
#include "bitstream/frame.h"
#include "layers/layer1.h"
#include "layers/layer2_tables.h"

namespace quorvel {

const std::array<LayerDecoder, 2> LayerDecoderTable = {DecodeLayer1, DecodeLayer2};

}  // namespace quorvel
