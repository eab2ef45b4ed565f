// CRC-16 of the MPEG audio frame protection: generator x^16 + x^15 + x^2 + 1
// (0x8005), most significant bit first, neither reflected nor inverted. Started
// from 0xFFFF it is the catalogued CRC-16/CMS.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/bit_reader.h"

namespace quorvel {

constexpr uint16_t kCrc16Polynomial = 0x8005;

// Entry i: the register after byte i has been shifted through the generator
// from the register value i * 256.
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 8;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 0x8000u) ? (c << 1) ^ kCrc16Polynomial : c << 1;
      c &= 0xFFFFu;
    }
    table[i] = static_cast<uint16_t>(c);
  }
  return table;
}

inline constexpr std::array<uint16_t, 256> Crc16Table = MakeCrc16Table();

// The register after the next n bits of `copy` (taken by value: the caller's
// reader does not move), starting from `start`.
inline uint16_t Crc16(BitReader copy, uint32_t n, uint16_t start) {
  uint32_t c = start;
  for (uint32_t i = 0; i < n / 8; ++i) {
    const uint32_t b = ReadBits(copy, 8);
    c = (Crc16Table[((c >> 8) ^ b) & 0xFFu] ^ (c << 8)) & 0xFFFFu;
  }
  for (uint32_t i = 0; i < n % 8; ++i) {
    const uint32_t b = ReadBits(copy, 1);
    c = ((b ^ (c >> 15)) & 1u) ? (c << 1) ^ kCrc16Polynomial : c << 1;
    c &= 0xFFFFu;
  }
  return static_cast<uint16_t>(c);
}

}  // namespace quorvel
