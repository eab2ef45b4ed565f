// The full tier's requantisation loop.
#include "layers/requant_full.h"

#include "layers/requant.h"

namespace quorvel {

void RequantRowsFull(Q28* rows, int rowCount, const FullRequantTerm terms[32]) {
  for (int r = 0; r < rowCount; ++r, rows += 32) {
    for (int sb = 0; sb < 32; ++sb) rows[sb] = RequantFullSample(terms[sb], rows[sb]);
  }
}

void RequantFull(FrameState& frame) {
  const RequantPlan& plan = frame.plan;
  const LayerKernels& kernels = LayerKernelsFor(ActiveKernelLevel());
  for (int ch = 0; ch < ChannelCount(frame); ++ch) {
    for (int p = 0; p < plan.parts; ++p) {
      FullRequantTerm terms[32];
      for (int sb = 0; sb < 32; ++sb) terms[sb] = kFullRequantTerms[plan.quantClass[ch][sb]][plan.scalefactor[ch][sb][p]];
      Q28* rows = &frame.samples[ch][p * 12 * 32];
      kernels.requantRowsFull(rows, 12, terms);
    }
  }
}

}  // namespace quorvel
