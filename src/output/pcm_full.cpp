// The full tier's 16-bit output: the plain loop and, on every x86-64 build
// (SSE2 is part of the architecture), the same conversion four samples at a
// time, where packssdw is exactly the saturation to 16 bits.
#include "output/pcm_full.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
namespace {

inline __m128i Load4(const Q28* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// RoundSample16 of four samples, before the packing: the rounded values, and
// `largest` raised lane by lane to their excess.
inline __m128i Round4(__m128i v, __m128i& largest) {
  const __m128i excess = _mm_sub_epi32(_mm_xor_si128(v, _mm_srai_epi32(v, 31)), _mm_set1_epi32(0x0FFFFFFF));
  const __m128i more = _mm_cmpgt_epi32(excess, largest);
  largest = _mm_or_si128(_mm_and_si128(more, excess), _mm_andnot_si128(more, largest));
  return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(v, 12), _mm_set1_epi32(1)), 1);
}

inline __m128i Pack8(const Q28* p, __m128i& largest) {
  const __m128i a = Round4(Load4(p), largest);
  return _mm_packs_epi32(a, Round4(Load4(p + 4), largest));
}

}  // namespace

int32_t WritePcmRounded(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                        int32_t& maxOvershoot) {
  __m128i largest = _mm_set1_epi32(maxOvershoot);
  const uint32_t blocks = count / 8 * 8;
  const int channels = channel1 ? 2 : 1;
  for (uint32_t i = 0; i < blocks; i += 8) {
    const __m128i left = Pack8(channel0 + i, largest);
    if (channel1 == nullptr) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), left);
    } else {
      const __m128i right = Pack8(channel1 + i, largest);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_unpacklo_epi16(left, right));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i + 16), _mm_unpackhi_epi16(left, right));
    }
  }
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), largest);
  int32_t overshoot = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  WritePcmRoundedPlain(out + 2 * channels * blocks, count - blocks, channel0 + blocks,
                       channel1 ? channel1 + blocks : nullptr, overshoot);
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * 2 * channels);
}
#else
int32_t WritePcmRounded(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                        int32_t& maxOvershoot) {
  return WritePcmRoundedPlain(out, count, channel0, channel1, maxOvershoot);
}
#endif

}  // namespace quorvel
