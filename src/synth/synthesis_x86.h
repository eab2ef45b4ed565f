// The synthesis kernels for x86 (window_simd.cpp, dct32_simd.cpp), and what
// each level takes of them.
#pragma once

#include "cpu.h"
#include "synth/synthesis.h"

namespace quorvel {

void WindowSlotsSse41(const ChannelHistory& history, int position, int count, Q28* out);
void WindowSlotsAvx2(const ChannelHistory& history, int position, int count, Q28* out);
void WindowTailsSse41(const ChannelHistory& history0, int position0, const ChannelHistory& history1, int position1,
                      int count, Q28* out0, Q28* out1);
void WindowTailsAvx2(const ChannelHistory& history0, int position0, const ChannelHistory& history1, int position1,
                     int count, Q28* out0, Q28* out1);
void Dct32LanesSse41(const Q28* slots, int count, int32_t* rows, int stride);
void Dct32LanesAvx2(const Q28* slots, int count, int32_t* rows, int stride);
bool FullDct32x4Avx2(const Q28* slots, int count, FullChannelHistory& history, int index);
void FullWindowSlotsAvx2(const FullChannelHistory& history, int index, int count, Q28* out);

inline void InitKernelsX86(SynthesisKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kSse41)) {
    kernels.windowSlots = WindowSlotsSse41;
    kernels.windowTails = WindowTailsSse41;
    kernels.dct32Lanes = Dct32LanesSse41;
  }
  if (LevelIncludes(level, KernelLevel::kAvx2)) {
    kernels.windowSlots = WindowSlotsAvx2;
    kernels.windowTails = WindowTailsAvx2;
    kernels.dct32Lanes = Dct32LanesAvx2;
    kernels.fullDct32x4 = FullDct32x4Avx2;
    kernels.fullWindowSlots = FullWindowSlotsAvx2;
  }
}

}  // namespace quorvel
