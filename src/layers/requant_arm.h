// The requantisation kernels for NEON (requant_simd.cpp, requant_full_neon.cpp),
// and what the NEON level takes of them.
#pragma once

#include "cpu.h"
#include "layers/requant.h"

namespace quorvel {

void RequantRowsNeon(Q28* rows, int rowCount, const RequantParams& params);
void RequantRowsFullNeon(Q28* rows, int rowCount, const FullRequantTerm terms[32]);

inline void InitKernelsArm(LayerKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kNeon)) {
    kernels.requantRows = RequantRowsNeon;
    kernels.requantRowsFull = RequantRowsFullNeon;
  }
}

}  // namespace quorvel
