// The synthesis kernels for AArch64 NEON (window_simd.cpp, dct32_simd.cpp),
// and what the NEON level takes of them.
#pragma once

#include "cpu.h"
#include "synth/synthesis.h"

namespace quorvel {

void WindowSlotNeon(const ChannelHistory& history, int b, Q28 out[32]);
void Dct32LanesNeon(const Q28* slots, int count, DctLanes& out);

inline void InitKernelsArm(SynthesisKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kNeon)) {
    kernels.windowSlot = WindowSlotNeon;
    kernels.dct32Lanes = Dct32LanesNeon;
  }
}

}  // namespace quorvel
