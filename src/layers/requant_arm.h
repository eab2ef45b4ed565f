// The requantisation kernel for AArch64 NEON (requant_simd.cpp), and what the
// NEON level takes of it.
#pragma once

#include "cpu.h"
#include "layers/requant.h"

namespace quorvel {

void RequantRowsNeon(Q28* rows, int rowCount, const RequantParams& params);

inline void InitKernelsArm(LayerKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kNeon)) kernels.requantRows = RequantRowsNeon;
}

}  // namespace quorvel
