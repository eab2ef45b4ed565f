// The full tier's requantisation in NEON, four subbands at a time. With
// mul = mh 2^32 + ml and add = ah 2^32 + al (ml, al the unsigned low
// halves), the high half of code * mul + add modulo 2^64 is
//   code * mh + ah + ((code * ml + al) >> 32)   modulo 2^32,
// where code * ml + al fits 64 bits for every code below 2^31: vmlal.u32
// forms it, vmla.i32 the rest. The same bits as RequantRowsFull for every
// non-negative code; tests/full_tier_test.cpp checks it.
#include "cpu.h"
#include "layers/requant_full.h"

#if QUORVEL_HAVE_NEON_KERNELS
#include <arm_neon.h>

#include "layers/requant_arm.h"
#include "simd_target.h"

namespace quorvel {

QUORVEL_TARGET_NEON void RequantRowsFullNeon(Q28* rows, int rowCount, const FullRequantTerm terms[32]) {
  for (int g = 0; g < 8; ++g) {
    uint32_t ml[4], al[4];
    int32_t mh[4], ah[4];
    for (int i = 0; i < 4; ++i) {
      const FullRequantTerm& t = terms[4 * g + i];
      ml[i] = static_cast<uint32_t>(static_cast<uint64_t>(t.mul));
      mh[i] = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(t.mul) >> 32));
      al[i] = static_cast<uint32_t>(static_cast<uint64_t>(t.add));
      ah[i] = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(t.add) >> 32));
    }
    const uint32x4_t mlv = vld1q_u32(ml);
    const uint32x4_t alv = vld1q_u32(al);
    const uint64x2_t alLow = vmovl_u32(vget_low_u32(alv)), alHigh = vmovl_u32(vget_high_u32(alv));
    const int32x4_t mhv = vld1q_s32(mh), ahv = vld1q_s32(ah);
    Q28* at = rows + 4 * g;
    for (int r = 0; r < rowCount; ++r, at += 32) {
      const int32x4_t code = vld1q_s32(at);
      const uint32x4_t ucode = vreinterpretq_u32_s32(code);
      const uint64x2_t lowSums = vmlal_u32(alLow, vget_low_u32(ucode), vget_low_u32(mlv));
      const uint64x2_t highSums = vmlal_u32(alHigh, vget_high_u32(ucode), vget_high_u32(mlv));
      const uint32x4_t carry = vcombine_u32(vshrn_n_u64(lowSums, 32), vshrn_n_u64(highSums, 32));
      const int32x4_t upper = vmlaq_s32(ahv, code, mhv);
      vst1q_s32(at, vaddq_s32(upper, vreinterpretq_s32_u32(carry)));
    }
  }
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_NEON_KERNELS
