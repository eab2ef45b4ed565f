// Most-significant-bit-first reader over a byte buffer.
//
// The reader keeps offsets, never pointers beyond its buffer: bits at or past
// the buffer's end read as zeros. A damaged frame whose allocation asks for
// more bits than the frame holds therefore cannot make the layer decoders read
// outside the host's memory; a well-formed frame never reaches its own end.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

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

// A 64-bit window over a reader's buffer for the long runs of reads in a
// frame body. Bits past the buffer's end read as zeros, as with ReadBits:
// eight bytes are loaded at once only when all eight lie in the buffer.
// OpenCache continues from a reader's position and CloseCache puts the reader
// exactly where the reads through the window have got to.
struct BitCache {
  const uint8_t* base;
  uint32_t size;
  uint32_t next;    // offset of the first byte not yet in the window
  uint64_t window;  // unread bits from bit 63 down; below them only true stream bits or zeros
  int32_t bits;     // unread bits in the window, 0..64
};

// The eight bytes at p as one most-significant-first value.
inline uint64_t LoadBigEndian64(const uint8_t* p) {
#if defined(__GNUC__) || defined(__clang__)
  uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  return word;
#else
  uint64_t word = 0;
  for (int i = 0; i < 8; ++i) word = (word << 8) | p[i];
  return word;
#endif
}

// Tops the window up to at least 56 unread bits: whole bytes are added, so a
// window that held a multiple of 8 bits gets exactly 56 (the caller keeps
// bits <= 56 when it refills, so the reads after a refill take at most 56
// bits before the next).
inline void RefillCache(BitCache& c) {
  if (c.size >= 8 && c.next <= c.size - 8) {
    const uint64_t word = LoadBigEndian64(c.base + c.next);
    c.window |= word >> c.bits;
    const int take = (63 - c.bits) >> 3;
    c.next += static_cast<uint32_t>(take);
    c.bits += 8 * take;
    return;
  }
  while (c.bits <= 56) {
    const uint64_t byte = c.next < c.size ? c.base[c.next] : 0u;
    c.window |= byte << (56 - c.bits);
    ++c.next;
    c.bits += 8;
  }
}

inline BitCache OpenCache(const BitReader& r) {
  BitCache c{r.base, r.size, r.current, 0, 0};
  RefillCache(c);
  const int used = 8 - r.bitsLeft;  // bits of the byte at `current` already read
  c.window <<= used;
  c.bits -= used;
  return c;
}

// Reads n bits (1..32); the window must hold at least n.
inline uint32_t CacheRead(BitCache& c, int n) {
  const uint32_t value = static_cast<uint32_t>(c.window >> (64 - n));
  c.window <<= n;
  c.bits -= n;
  return value;
}

// Reads n bits (1..57); the window must hold at least n.
inline uint64_t CacheRead64(BitCache& c, int n) {
  const uint64_t value = c.window >> (64 - n);
  c.window <<= n;
  c.bits -= n;
  return value;
}

// Reads n bits (1..32), refilling first when the window holds fewer.
inline uint32_t CacheReadChecked(BitCache& c, int n) {
  if (c.bits < n) RefillCache(c);
  return CacheRead(c, n);
}

inline void CloseCache(const BitCache& c, BitReader& r) {
  const uint64_t position = uint64_t{c.next} * 8 - static_cast<uint64_t>(c.bits);
  r.current = static_cast<uint32_t>(position >> 3);
  r.bitsLeft = static_cast<uint16_t>(8 - (position & 7));
  if (r.bitsLeft < 8) r.cachedByte = static_cast<uint16_t>(ByteAt(r, r.current));
}

}  // namespace quorvel
