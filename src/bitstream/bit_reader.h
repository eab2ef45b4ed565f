// Most-significant-bit-first reader over a byte buffer.
//
// The reader keeps offsets, never pointers beyond its buffer: bits at or past
// the buffer's end read as zeros. A damaged frame whose allocation asks for
// more bits than the frame holds therefore cannot make the layer decoders read
// outside the host's memory; a well-formed frame never reaches its own end.
#pragma once

#include <cstdint>

namespace quorvel {

struct BitReader {
  const uint8_t* base = nullptr;  // first byte of the buffer
  uint32_t size = 0;              // bytes that may be read from base
  uint32_t current = 0;           // offset of the byte holding the next unread bit
  uint16_t cachedByte = 0;        // value of that byte once loaded
  uint16_t bitsLeft = 8;          // unread bits of that byte (8: not loaded yet)
};

inline uint32_t ByteAt(const BitReader& r, uint32_t offset) {
  return offset < r.size ? r.base[offset] : 0u;
}

// Places the reader at the first bit of byte `offset` of the buffer.
inline void StartReader(BitReader& r, const uint8_t* base, uint32_t size, uint32_t offset) {
  r.base = base;
  r.size = size;
  r.current = offset;
  r.cachedByte = 0;
  r.bitsLeft = 8;
}

// Reads n bits (0..32), first bit read most significant.
inline uint32_t ReadBits(BitReader& r, int n) {
  if (r.bitsLeft == 8) r.cachedByte = static_cast<uint16_t>(ByteAt(r, r.current));
  uint32_t value = r.cachedByte & ((1u << r.bitsLeft) - 1u);
  if (n < r.bitsLeft) {
    r.bitsLeft = static_cast<uint16_t>(r.bitsLeft - n);
    return value >> r.bitsLeft;
  }
  n -= r.bitsLeft;
  ++r.current;
  r.bitsLeft = 8;
  while (n >= 8) {
    value = (value << 8) | ByteAt(r, r.current);
    ++r.current;
    n -= 8;
  }
  if (n == 0) return value;
  r.cachedByte = static_cast<uint16_t>(ByteAt(r, r.current));
  r.bitsLeft = static_cast<uint16_t>(8 - n);
  return (value << n) | (static_cast<uint32_t>(r.cachedByte) >> (8 - n));
}

// Advances the reader by n bits.
inline void SkipBits(BitReader& r, uint32_t n) {
  r.current += n / 8;
  const uint16_t rest = static_cast<uint16_t>(n % 8);
  if (r.bitsLeft < rest) {
    ++r.current;
    r.bitsLeft = static_cast<uint16_t>(r.bitsLeft + 8 - rest);
  } else {
    r.bitsLeft = static_cast<uint16_t>(r.bitsLeft - rest);
  }
  if (r.bitsLeft < 8) r.cachedByte = static_cast<uint16_t>(ByteAt(r, r.current));
}

// Offset of the first byte boundary at or after the reader's position.
inline uint32_t NextBytePosition(const BitReader& r) {
  return r.bitsLeft == 8 ? r.current : r.current + 1;
}

// Position of b minus position of a, in bits (both over the same buffer).
inline int32_t BitsBetween(const BitReader& a, const BitReader& b) {
  const int32_t bytes = static_cast<int32_t>(b.current - a.current);
  return bytes * 8 - b.bitsLeft + a.bitsLeft;
}

}  // namespace quorvel
