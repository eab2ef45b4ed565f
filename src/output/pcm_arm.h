// The output kernels for NEON (pcm_neon.cpp), and what the NEON level takes
// of them.
#pragma once

#include "cpu.h"
#include "output/pcm.h"

namespace quorvel {

int32_t WritePcmNeon(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                     int32_t& maxOvershoot);
int32_t WritePcmRoundedNeon(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                            int32_t& maxOvershoot);

inline void InitKernelsArm(OutputKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kNeon)) {
    kernels.writePcm = WritePcmNeon;
    kernels.writePcmRounded = WritePcmRoundedNeon;
  }
}

}  // namespace quorvel
