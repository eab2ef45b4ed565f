// The full tier's 16-bit output: the entry point, which runs the active
// kernel, and the plain loop.
#include "output/pcm_full.h"

namespace quorvel {

int32_t WritePcmRoundedPlain(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                             int32_t& maxOvershoot) {
  int32_t overshoot = maxOvershoot;  // a local, so that the byte stores cannot be taken to change it
  if (channel1 == nullptr) {
    for (uint32_t i = 0; i < count; ++i) StoreLittleEndian16(out + 2 * i, RoundSample16(channel0[i], overshoot));
  } else {
    for (uint32_t i = 0; i < count; ++i) {
      StoreLittleEndian16(out + 4 * i, RoundSample16(channel0[i], overshoot));
      StoreLittleEndian16(out + 4 * i + 2, RoundSample16(channel1[i], overshoot));
    }
  }
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * (channel1 ? 4 : 2));
}

int32_t WritePcmRounded(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t& maxOvershoot) {
  return OutputKernelsFor(ActiveKernelLevel()).writePcmRounded(out, count, channel0, channel1, maxOvershoot);
}

}  // namespace quorvel
