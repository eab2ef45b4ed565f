// 16-bit output in four NEON lanes, for 32-bit ARM and AArch64 alike.
//
// Error feedback: a block of four samples is certainly in range when the
// residual before it is one an in-range sample leaves (0..0x1FFF) and every
// sample lies in [full scale low, full scale high - 0x1FFF]: each sum of
// sample and residual is then within full scale, and along such a block the
// residual is a running sum, r_i = (r + s_0 + .. + s_(i-1)) & 0x1FFF
// (modulo 2^32; the mask keeps the low bits of any wrapped sum). Those
// blocks go four at a time; every other block goes sample by sample through
// ConvertSample16 itself, so the bits are those of the plain writer.
//
// Rounded output (the full tier): vrshr by 13 adds 2^12 before the shift in
// wider arithmetic, which is ((v >> 12) + 1) >> 1 exactly, and vqmovn
// saturates to 16 bits. The overshoot is tracked as the largest magnitude
// v ^ (v >> 31), and the excess beyond full scale taken from it at the end.
#include <algorithm>
#include <cstring>

#include "cpu.h"
#include "output/pcm.h"
#include "output/pcm_full.h"

#if QUORVEL_HAVE_NEON_KERNELS
#include <arm_neon.h>

#include "output/pcm_arm.h"
#include "simd_target.h"

namespace quorvel {
namespace {

constexpr uint32_t kChunk = 1152;  // samples per channel converted before interleaving

// Whether any lane of the mask is set.
QUORVEL_TARGET_NEON inline bool AnySet(uint32x4_t mask) {
  const uint32x2_t folded = vorr_u32(vget_low_u32(mask), vget_high_u32(mask));
  return vget_lane_u32(vpmax_u32(folded, folded), 0) != 0;
}

// Converts n samples of one channel into out[0..n-1].
QUORVEL_TARGET_NEON void ConvertChannel(const Q28* s, uint32_t n, int32_t& residual, int32_t& overshoot,
                                        int16_t* out) {
  int32_t r = residual;
  const int32x4_t low = vdupq_n_s32(kFullScaleLow);
  const int32x4_t high = vdupq_n_s32(kFullScaleHigh - static_cast<int32_t>(kBelowOutputStep));
  const int32x4_t zero = vdupq_n_s32(0);
  const int32x4_t mask = vdupq_n_s32(static_cast<int32_t>(kBelowOutputStep));
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const int32x4_t v = vld1q_s32(s + i);
    if (static_cast<uint32_t>(r) > kBelowOutputStep || AnySet(vorrq_u32(vcltq_s32(v, low), vcgtq_s32(v, high)))) {
      for (uint32_t j = i; j < i + 4; ++j) out[j] = static_cast<int16_t>(ConvertSample16(s[j], r, overshoot));
      continue;
    }
    // Running sums q_i = s_0 + .. + s_i, wrapping.
    int32x4_t q = vaddq_s32(v, vextq_s32(zero, v, 3));
    q = vaddq_s32(q, vextq_s32(zero, q, 2));
    const int32x4_t rv = vdupq_n_s32(r);
    const int32x4_t after = vandq_s32(vaddq_s32(q, rv), mask);  // the residual after each sample
    const int32x4_t before = vextq_s32(rv, after, 3);          // and before it
    vst1_s16(out + i, vmovn_s32(vshrq_n_s32(vaddq_s32(v, before), kOutputShift)));
    r = vgetq_lane_s32(after, 3);
  }
  for (; i < n; ++i) out[i] = static_cast<int16_t>(ConvertSample16(s[i], r, overshoot));
  residual = r;
}

// Interleaves n samples of two channels into 16-bit little-endian pairs.
QUORVEL_TARGET_NEON void Interleave(const int16_t* left, const int16_t* right, uint32_t n, uint8_t* out) {
  uint32_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const int16x8x2_t pair = {{vld1q_s16(left + k), vld1q_s16(right + k)}};
    vst2q_s16(reinterpret_cast<int16_t*>(out + 4 * k), pair);
  }
  for (; k < n; ++k) {
    StoreLittleEndian16(out + 4 * k, left[k]);
    StoreLittleEndian16(out + 4 * k + 2, right[k]);
  }
}

}  // namespace

QUORVEL_TARGET_NEON int32_t WritePcmNeon(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                                         int32_t residual[2], int32_t& maxOvershoot) {
  int32_t r0 = residual[0], r1 = residual[1], overshoot = maxOvershoot;
  alignas(16) int16_t left[kChunk], right[kChunk];
  for (uint32_t start = 0; start < count; start += kChunk) {
    const uint32_t n = std::min(kChunk, count - start);
    ConvertChannel(channel0 + start, n, r0, overshoot, left);
    if (channel1 == nullptr) {
      std::memcpy(out + 2 * start, left, 2 * n);  // little-endian lanes (cpu.h)
      continue;
    }
    ConvertChannel(channel1 + start, n, r1, overshoot, right);
    Interleave(left, right, n, out + 4 * start);
  }
  residual[0] = r0;
  if (channel1) residual[1] = r1;
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * (channel1 ? 4 : 2));
}

namespace {

// RoundSample16 of eight samples; `largest` is raised lane by lane to their
// magnitudes.
QUORVEL_TARGET_NEON inline int16x8_t Round8(const Q28* p, int32x4_t& largest) {
  const int32x4_t a = vld1q_s32(p), b = vld1q_s32(p + 4);
  largest = vmaxq_s32(largest, veorq_s32(a, vshrq_n_s32(a, 31)));
  largest = vmaxq_s32(largest, veorq_s32(b, vshrq_n_s32(b, 31)));
  return vcombine_s16(vqmovn_s32(vrshrq_n_s32(a, 13)), vqmovn_s32(vrshrq_n_s32(b, 13)));
}

}  // namespace

QUORVEL_TARGET_NEON int32_t WritePcmRoundedNeon(uint8_t* out, uint32_t count, const Q28* channel0,
                                                const Q28* channel1, int32_t& maxOvershoot) {
  int32x4_t largest = vdupq_n_s32(0);
  const uint32_t blocks = count / 8 * 8;
  for (uint32_t i = 0; i < blocks; i += 8) {
    const int16x8_t left = Round8(channel0 + i, largest);
    if (channel1 == nullptr) {
      vst1q_s16(reinterpret_cast<int16_t*>(out + 2 * i), left);
    } else {
      const int16x8x2_t pair = {{left, Round8(channel1 + i, largest)}};
      vst2q_s16(reinterpret_cast<int16_t*>(out + 4 * i), pair);
    }
  }
  int32_t overshoot = maxOvershoot;
  if (blocks > 0) {
    const int32x2_t folded = vmax_s32(vget_low_s32(largest), vget_high_s32(largest));
    const int32_t magnitude = vget_lane_s32(vpmax_s32(folded, folded), 0);
    overshoot = std::max(overshoot, magnitude - kFullScaleHigh);
  }
  const int channels = channel1 ? 2 : 1;
  WritePcmRoundedPlain(out + 2 * channels * blocks, count - blocks, channel0 + blocks,
                       channel1 ? channel1 + blocks : nullptr, overshoot);
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * 2 * channels);
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_NEON_KERNELS
