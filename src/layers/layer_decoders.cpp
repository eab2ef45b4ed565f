// The layer decoders, by layer - 1, and the compatible requantisation that
// completes a code decoder's work.
#include "bitstream/frame.h"
#include "kernels.h"
#include "layers/layer1.h"
#include "layers/layer2_tables.h"
#include "layers/requant.h"

namespace quorvel {
namespace {

// The compatible requantisation of each plan class (entry class - 1).
constexpr std::array<LinearRequant, 17> kClassRequant = [] {
  std::array<LinearRequant, 17> requant{};
  for (int i = 0; i < 17; ++i) {
    const QuantClassEntry& q = QuantClass[i];
    requant[i] = MakeLinearRequant(q.C, q.D, q.sampleBits ? q.sampleBits : q.codewordBits);
  }
  return requant;
}();

// A Layer I allocation and the Layer II class it maps to requantise alike.
constexpr bool Layer1ClassesAgree() {
  for (int nb = 2; nb <= 15; ++nb) {
    const LinearRequant a = Layer1Requant[nb];
    const LinearRequant b = kClassRequant[Layer1QuantClass[nb] - 1];
    if (a.offset != b.offset || a.step != b.step) return false;
  }
  return true;
}
static_assert(Layer1ClassesAgree());

}  // namespace

const std::array<LayerDecoder, 2> LayerDecoderTable = {DecodeLayer1, DecodeLayer2};
const std::array<LayerDecoder, 2> LayerCodeDecoderTable = {DecodeLayer1Codes, DecodeLayer2Codes};

void RequantCompatible(FrameState& frame) {
  const RequantPlan& plan = frame.plan;
  const Kernels& kernels = ActiveKernels();
  for (int ch = 0; ch < ChannelCount(frame); ++ch) {
    for (int p = 0; p < plan.parts; ++p) {
      RequantParams params = {};  // all zero where nothing is transmitted, which makes those samples 0
      for (int sb = 0; sb < 32; ++sb) {
        const int q = plan.quantClass[ch][sb];
        if (q == 0) continue;
        params.offset[sb] = kClassRequant[q - 1].offset;
        params.step[sb] = kClassRequant[q - 1].step;
        params.scale[sb] = ScaleQ12(ScalefactorTable[plan.scalefactor[ch][p][sb]]);
      }
      kernels.requantRows(&frame.samples[ch][p * 12 * 32], 12, params);
    }
  }
}

}  // namespace quorvel
