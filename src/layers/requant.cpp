// The plain requantisation kernel, and the layer kernel tables.
#include "layers/requant.h"

#if QUORVEL_HAVE_X86_KERNELS
#include "layers/requant_x86.h"
#endif
#if QUORVEL_HAVE_NEON_KERNELS
#include "layers/requant_arm.h"
#endif

namespace quorvel {

void RequantRowsPlain(Q28* rows, int rowCount, const RequantParams& params) {
  for (int r = 0; r < rowCount; ++r, rows += 32) {
    for (int sb = 0; sb < 32; ++sb) {
      const int32_t signal = WrapAdd(params.offset[sb], WrapMul(params.step[sb], rows[sb])) >> kSignalShift;
      rows[sb] = WrapMul(params.scale[sb], signal);
    }
  }
}

const LayerKernels& LayerKernelsFor(KernelLevel level) { return KernelTableFor(level, LayerKernels{RequantRowsPlain, RequantRowsFull}); }

}  // namespace quorvel
