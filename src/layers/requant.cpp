// The plain requantisation kernel (see kernels.h for the others).
#include "layers/requant.h"

namespace quorvel {

void RequantRowsPlain(Q28* rows, int rowCount, const RequantParams& params) {
  for (int r = 0; r < rowCount; ++r, rows += 32) {
    for (int sb = 0; sb < 32; ++sb) {
      const int32_t signal = WrapAdd(params.offset[sb], WrapMul(params.step[sb], rows[sb])) >> 12;
      rows[sb] = WrapMul(params.scale[sb], signal);
    }
  }
}

}  // namespace quorvel
