// The layer decoders, by layer - 1, the dispatch of a located frame, and the
// compatible requantisation that completes a code decoder's work.
#include "layers/layer_decoders.h"

#include <utility>

#include "layers/layer1.h"
#include "layers/layer2_tables.h"
#include "layers/requant.h"

namespace quorvel {
namespace {

// The compatible requantisation of each plan class; class 0 has offset and
// step 0, which makes its samples 0 whatever the scale.
constexpr std::array<LinearRequant, 18> kClassRequant = [] {
  std::array<LinearRequant, 18> requant{};
  for (int i = 0; i < 17; ++i) {
    const QuantClassEntry& q = QuantClass[i];
    requant[i + 1] = MakeLinearRequant(q.C, q.D, q.sampleBits ? q.sampleBits : q.codewordBits);
  }
  return requant;
}();

constexpr std::array<int32_t, 64> kScaleQ12 = [] {
  std::array<int32_t, 64> scale{};
  for (int i = 0; i < 64; ++i) scale[i] = CoefficientQ12(ScalefactorTable[i]);
  return scale;
}();

// The same terms as separate arrays, for the unrolled fills below.
constexpr std::array<int32_t, 18> kClassOffset = [] {
  std::array<int32_t, 18> a{};
  for (int i = 0; i < 18; ++i) a[i] = kClassRequant[i].offset;
  return a;
}();
constexpr std::array<int32_t, 18> kClassStep = [] {
  std::array<int32_t, 18> a{};
  for (int i = 0; i < 18; ++i) a[i] = kClassRequant[i].step;
  return a;
}();

// The parameters are set up once or three times per channel and frame; filled
// in straight-line code, that costs a few instructions per subband.
template <size_t... Sb>
inline void FillClassTerms(const uint8_t* classes, RequantParams& params, std::index_sequence<Sb...>) {
  ((params.offset[Sb] = kClassOffset[classes[Sb]], params.step[Sb] = kClassStep[classes[Sb]]), ...);
}

template <size_t... Sb>
inline void FillScales(const uint8_t (*scalefactors)[3], int part, RequantParams& params, std::index_sequence<Sb...>) {
  ((params.scale[Sb] = kScaleQ12[scalefactors[Sb][part]]), ...);
}

// A Layer I allocation and the Layer II class it maps to requantise alike.
constexpr bool Layer1ClassesAgree() {
  for (int nb = 2; nb <= 15; ++nb) {
    const LinearRequant a = Layer1Requant[nb];
    const LinearRequant b = kClassRequant[Layer1QuantClass[nb]];
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
  const LayerKernels& kernels = LayerKernelsFor(ActiveKernelLevel());
  for (int ch = 0; ch < ChannelCount(frame); ++ch) {
    RequantParams params;  // every entry is written below
    FillClassTerms(plan.quantClass[ch], params, std::make_index_sequence<32>{});
    for (int p = 0; p < plan.parts; ++p) {
      FillScales(plan.scalefactor[ch], p, params, std::make_index_sequence<32>{});
      kernels.requantRows(&frame.samples[ch][p * 12 * 32], 12, params);
    }
  }
}

namespace {

int DecodeWith(const std::array<LayerDecoder, 2>& decoders, FrameState& frame, InputCursor& cursor) {
  if (FindFrame(frame, cursor) != 0) return -1;
  if (frame.layer < 1 || frame.layer > decoders.size()) {
    // Layer III frames are located and confirmed like any other, then skipped.
    cursor.status = StatusUnsupportedLayer;
    return -1;
  }
  return decoders[frame.layer - 1](cursor, frame);
}

}  // namespace

int DecodeFrame(FrameState& frame, InputCursor& cursor) { return DecodeWith(LayerDecoderTable, frame, cursor); }

int DecodeFrameCodes(FrameState& frame, InputCursor& cursor) {
  return DecodeWith(LayerCodeDecoderTable, frame, cursor);
}

int DecodeFrameFull(FrameState& frame, InputCursor& cursor, Layer3State& layer3) {
  if (FindFrame(frame, cursor) != 0) return -1;
  if (frame.layer == 3) return DecodeLayer3(layer3, frame, cursor);
  ClearReservoir(layer3);
  return LayerCodeDecoderTable[frame.layer - 1](cursor, frame);
}

}  // namespace quorvel
