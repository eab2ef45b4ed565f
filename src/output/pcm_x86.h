// The output kernels for x86 (pcm_simd.cpp), and what each level takes of
// them.
#pragma once

#include "cpu.h"
#include "output/pcm.h"

namespace quorvel {

int32_t WritePcmSse41(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                      int32_t& maxOvershoot);
int32_t WritePcmRoundedSse41(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                             int32_t& maxOvershoot);
int32_t WritePcmRoundedAvx2(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                            int32_t& maxOvershoot);
int32_t WritePcmAvx2(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                     int32_t& maxOvershoot);

inline void InitKernelsX86(OutputKernels& kernels, KernelLevel level) {
  if (LevelIncludes(level, KernelLevel::kSse41)) {
    kernels.writePcm = WritePcmSse41;
    kernels.writePcmRounded = WritePcmRoundedSse41;
  }
  if (LevelIncludes(level, KernelLevel::kAvx2)) {
    kernels.writePcm = WritePcmAvx2;
    kernels.writePcmRounded = WritePcmRoundedAvx2;
  }
}

}  // namespace quorvel
