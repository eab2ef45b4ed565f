// 16-bit output: the entry point, which runs the active kernel, the plain
// kernel, and the output kernel tables.
#include "output/pcm.h"

#include "output/pcm_full.h"

#if QUORVEL_HAVE_X86_KERNELS
#include "output/pcm_x86.h"
#endif
#if QUORVEL_HAVE_NEON_KERNELS
#include "output/pcm_arm.h"
#endif

namespace quorvel {

const OutputKernels& OutputKernelsFor(KernelLevel level) {
  return KernelTableFor(level, OutputKernels{WritePcmPlain, WritePcmRoundedPlain});
}

int32_t WritePcm(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                 int32_t& maxOvershoot) {
  return OutputKernelsFor(ActiveKernelLevel()).writePcm(out, count, channel0, channel1, residual, maxOvershoot);
}

int32_t WritePcmPlain(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                      int32_t& maxOvershoot) {
  // Locals, so that the byte stores cannot be taken to change them.
  int32_t r0 = residual[0], r1 = residual[1], overshoot = maxOvershoot;
  if (channel1 == nullptr) {
    for (uint32_t i = 0; i < count; ++i) StoreLittleEndian16(out + 2 * i, ConvertSample16(channel0[i], r0, overshoot));
  } else {
    for (uint32_t i = 0; i < count; ++i) {
      StoreLittleEndian16(out + 4 * i, ConvertSample16(channel0[i], r0, overshoot));
      StoreLittleEndian16(out + 4 * i + 2, ConvertSample16(channel1[i], r1, overshoot));
    }
    residual[1] = r1;
  }
  residual[0] = r0;
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * (channel1 ? 4 : 2));
}

}  // namespace quorvel
