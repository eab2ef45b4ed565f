// The requantisation kernels for x86 (requant_simd.cpp), and what each level
// takes of them.
#pragma once

#include "cpu.h"
#include "layers/requant.h"

namespace quorvel {

void RequantRowsSse41(Q28* rows, int rowCount, const RequantParams& params);
void RequantRowsAvx2(Q28* rows, int rowCount, const RequantParams& params);
void RequantRowsFullAvx2(Q28* rows, int rowCount, const FullRequantTerm terms[32]);

inline void InitKernelsX86(LayerKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kSse41)) kernels.requantRows = RequantRowsSse41;
  if (LevelIncludes(level, KernelLevel::kAvx2)) {
    kernels.requantRows = RequantRowsAvx2;
    kernels.requantRowsFull = RequantRowsFullAvx2;
  }
}

}  // namespace quorvel
