// The Layer III front-end kernels for x86 (layer3_front_simd.cpp), and what
// each level takes of them.
#pragma once

#include "cpu.h"
#include "layers/layer3_front.h"

namespace quorvel {

void MidSideSse41(Q28* left, Q28* right, int count);
void MidSideAvx2(Q28* left, Q28* right, int count);
void RequantiseAvx2(const int32_t* is, int count, int32_t q, Q28* xr);
void RequantiseGranuleAvx2(const int32_t* is, const RequantBand* bands, int count, Q28* xr);

inline void InitKernelsX86(Layer3FrontKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kSse41)) kernels.midSide = MidSideSse41;
  if (LevelIncludes(level, KernelLevel::kAvx2)) {
    kernels.midSide = MidSideAvx2;
    kernels.requantise = RequantiseAvx2;
    kernels.requantiseGranule = RequantiseGranuleAvx2;
  }
}

}  // namespace quorvel
