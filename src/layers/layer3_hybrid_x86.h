// The hybrid filterbank's kernels for x86 (layer3_hybrid_simd.cpp), and what
// each level takes of them.
#pragma once

#include "cpu.h"
#include "layers/layer3_hybrid.h"

namespace quorvel {

void ImdctLongAvx2(const Q28* xr, int begin, int end, int type, Q28* overlap, Q28* out);
void ImdctShortAvx2(const Q28* xr, int begin, int end, Q28* overlap, Q28* out);
void AntialiasAvx2(Q28* xr, int boundaries);

inline void InitKernelsX86(HybridKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kAvx2)) {
    kernels.imdctLong = ImdctLongAvx2;
    kernels.imdctShort = ImdctShortAvx2;
    kernels.antialias = AntialiasAvx2;
  }
}

}  // namespace quorvel
