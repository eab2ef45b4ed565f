// Free format: frames whose header leaves the bitrate to the stream (bitrate
// index 0). Their length is not in the header; it is the distance from one
// free-format header to the next with the same version, layer and sample
// rate (the mode may change between them), less the first frame's padding
// slot. That base length holds for the whole stream, so it is measured once,
// confirmed by two more headers, and kept.
//
// The measure is a pure function of the bytes given; the decoder (which
// accepts free-format frames only in the full tier) is handed the result
// through InputCursor::freeFormat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel {

// The base length of a stream's free-format frames and what it means.
struct FreeFormat {
  uint32_t key = 0;      // header bits that must match: FreeFormatKey of the measured header; 0: none measured
  uint32_t base = 0;     // frame length in bytes without the padding slot
  uint32_t bitrate = 0;  // bit/s that this length gives at the stream's rate, rounded down
  bool operator==(const FreeFormat&) const = default;
};

// The version, layer and sample-rate bits of the free-format header whose 4
// bytes start at p (n bytes held), or 0 when p holds no free-format header:
// no sync, a reserved version, layer or rate, or a bitrate index other than 0.
uint32_t FreeFormatKey(const uint8_t* p, size_t n);

// The length of the frame with the free-format header at p: the base plus
// its padding slot (4 bytes in Layer I, else 1). 0 when p is not a header of
// `format`'s stream.
uint32_t FreeFormatFrameLength(const FreeFormat& format, const uint8_t* p, size_t n);

enum class FreeFormatStatus : uint8_t {
  Found,     // FreeFormatMeasure::format holds the base length
  NeedMore,  // the bytes end before four headers could be found: give more
  None,      // no base length within the limits fits these bytes
};

struct FreeFormatMeasure {
  FreeFormatStatus status = FreeFormatStatus::None;
  FreeFormat format;
};

// Frames are no longer than the longest a buffer of the API holds.
constexpr uint32_t kFreeFormatMaxFrame = 2881;

// Measures the base length from the free-format header at bytes[0]: the first
// distance to a header with the same key whose length is confirmed by two
// more headers, each at the previous one's base plus its padding. Lengths
// whose bitrate would exceed the layer's highest (MPEG-1 448, 384, 320 kbit/s
// for Layers I, II, III; LSF and MPEG-2.5 256, 160, 160), or whose frame
// would exceed kFreeFormatMaxFrame, are refused. `final`: the bytes are all
// there will be, and a confirming header may be replaced by their end.
FreeFormatMeasure MeasureFreeFormat(std::span<const uint8_t> bytes, bool final);

}  // namespace quorvel
