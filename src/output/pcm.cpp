#include "output/pcm.h"

namespace quorvel {
namespace {

inline void StoreLittleEndian16(uint8_t* p, int32_t value) {
  const uint32_t u = static_cast<uint32_t>(value);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
}

}  // namespace

int32_t WritePcm(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1, int32_t residual[2],
                 int32_t& maxOvershoot) {
  if (channel1 == nullptr) {
    for (uint32_t i = 0; i < count; ++i) {
      StoreLittleEndian16(out + 2 * i, ConvertSample(kOutputBits, channel0[i], residual[0], maxOvershoot));
    }
    return static_cast<int32_t>(count * 2);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const int32_t left = ConvertSample(kOutputBits, channel0[i], residual[0], maxOvershoot);
    const int32_t right = ConvertSample(kOutputBits, channel1[i], residual[1], maxOvershoot);
    StoreLittleEndian16(out + 4 * i, left);
    StoreLittleEndian16(out + 4 * i + 2, right);
  }
  return static_cast<int32_t>(count * 4);
}

}  // namespace quorvel
