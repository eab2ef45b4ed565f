// The synthesis kernels for NEON (window_simd.cpp, dct32_simd.cpp,
// synthesis_full_neon.cpp), and what the NEON level takes of them.
#pragma once

#include "cpu.h"
#include "synth/synthesis.h"

namespace quorvel {

void WindowSlotsNeon(const ChannelHistory& history, int position, int count, Q28* out);
void WindowTailsNeon(const ChannelHistory& history0, int position0, const ChannelHistory& history1, int position1,
                     int count, Q28* out0, Q28* out1);
void Dct32LanesNeon(const Q28* slots, int count, int32_t* rows, int stride);
bool FullDct32x4Neon(const Q28* slots, int count, FullChannelHistory& history, int index);
void FullWindowSlotsNeon(const FullChannelHistory& history, int index, int count, Q28* out);

inline void InitKernelsArm(SynthesisKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kNeon)) {
    kernels.windowSlots = WindowSlotsNeon;
    kernels.windowTails = WindowTailsNeon;
    kernels.dct32Lanes = Dct32LanesNeon;
    kernels.fullDct32x4 = FullDct32x4Neon;
    kernels.fullWindowSlots = FullWindowSlotsNeon;
  }
}

}  // namespace quorvel
