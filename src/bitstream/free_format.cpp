// Measuring free-format frames. Header bytes 1 and 2 hold, from the top:
// sync (3 bits), version (2), layer (2), protection (1); bitrate index (4),
// sample-rate index (2), padding (1), private (1).
#include "bitstream/free_format.h"

#include <algorithm>

#include "bitstream/frame.h"

namespace quorvel {
namespace {

constexpr uint32_t kMinBase = 16;  // shorter than any frame that holds a body

struct Shape {
  uint32_t layer;
  bool lsf;
  uint32_t rate;       // Hz
  uint32_t divisor;    // bitrate = base * rate / divisor
  uint32_t slot;       // bytes of the padding slot
  uint32_t maxBitrate; // bit/s
};

Shape ShapeOf(uint32_t key) {
  const uint32_t versionBits = (key >> 11) & 3;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
  const uint32_t layer = 4 - ((key >> 9) & 3);
  const bool lsf = versionBits != 3;
  uint32_t rate = SampleRateTable[(key >> 2) & 3];
  if (lsf) rate >>= 1;
  if (versionBits == 0) rate >>= 1;
  // The highest bitrate index of the layer's row.
  const uint32_t row = lsf ? 3 + (layer >> 1) : layer - 1;
  const uint32_t maxBitrate = BitrateTable[row][14];
  if (layer == 1) return {layer, lsf, rate, 48, 4, maxBitrate};
  if (layer == 3 && lsf) return {layer, lsf, rate, 72, 1, maxBitrate};
  return {layer, lsf, rate, 144, 1, maxBitrate};
}

bool Padded(const uint8_t* p) { return (p[2] >> 1) & 1; }

}  // namespace

uint32_t FreeFormatKey(const uint8_t* p, size_t n) {
  if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
  const uint32_t versionBits = (p[1] >> 3) & 3;
  const uint32_t layerBits = (p[1] >> 1) & 3;
  const uint32_t bitrateIndex = p[2] >> 4;
  const uint32_t rateIndex = (p[2] >> 2) & 3;
  if (versionBits == 1 || layerBits == 0 || bitrateIndex != 0 || rateIndex == 3) return 0;
  // Version and layer bits of byte 1 and the rate bits of byte 2; the sync
  // bits keep the key from ever being 0.
  return (uint32_t{p[1]} & 0xFE) << 8 | (p[2] & 0x0C);
}

uint32_t FreeFormatFrameLength(const FreeFormat& format, const uint8_t* p, size_t n) {
  if (format.key == 0 || FreeFormatKey(p, n) != format.key) return 0;
  return format.base + (Padded(p) ? ShapeOf(format.key).slot : 0);
}

FreeFormatMeasure MeasureFreeFormat(std::span<const uint8_t> bytes, bool final) {
  FreeFormatMeasure out;
  const uint32_t key = FreeFormatKey(bytes.data(), bytes.size());
  if (key == 0) return out;
  const Shape shape = ShapeOf(key);
  // base <= divisor * maxBitrate / rate keeps the bitrate within the layer's
  // highest; the padded frame must fit the buffer bound.
  const uint64_t maxBase = std::min<uint64_t>(uint64_t{shape.divisor} * shape.maxBitrate / shape.rate,
                                              kFreeFormatMaxFrame - shape.slot);
  const uint32_t firstPad = Padded(bytes.data()) ? shape.slot : 0;
  const size_t size = bytes.size();
  // The first base whose headers chain wins, so a base that cannot be decided
  // for want of bytes stops the search until more come.
  for (uint64_t base = kMinBase; base <= maxBase; ++base) {
    const uint64_t second = base + firstPad;
    if (second + 4 > size) {
      if (!final) out.status = FreeFormatStatus::NeedMore;
      return out;
    }
    if (FreeFormatKey(bytes.data() + second, size - second) != key) continue;
    // Two more headers, each at its predecessor's base plus padding; the end
    // of a finished stream may stand in for them.
    uint64_t at = second;
    bool confirmed = true;
    for (int i = 0; i < 2 && confirmed; ++i) {
      const uint64_t next = at + base + (Padded(bytes.data() + at) ? shape.slot : 0);
      if (next + 4 > size) {
        if (!final) {
          out.status = FreeFormatStatus::NeedMore;
          return out;
        }
        break;
      }
      confirmed = FreeFormatKey(bytes.data() + next, size - next) == key;
      at = next;
    }
    if (!confirmed) continue;
    out.status = FreeFormatStatus::Found;
    out.format = {key, static_cast<uint32_t>(base), static_cast<uint32_t>(base * shape.rate / shape.divisor)};
    return out;
  }
  return out;
}

}  // namespace quorvel
