// Test-only writer of MSB-first bit fields, for building headers and whole
// frames by hand.
#pragma once

#include <cstdint>
#include <vector>

#include "bitstream/crc16.h"

namespace quorvel::test {

class BitWriter {
 public:
  // Appends the low n bits of value (n <= 32), most significant first.
  BitWriter& Put(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) PutBit((value >> i) & 1u);
    return *this;
  }
  BitWriter& PutBit(uint32_t bit) {
    if (bitCount_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= static_cast<uint8_t>(0x80u >> (bitCount_ % 8));
    ++bitCount_;
    return *this;
  }
  // Pads with zero bits up to the next byte boundary.
  BitWriter& Align() {
    while (bitCount_ % 8) PutBit(0);
    return *this;
  }
  // Pads with zero bytes up to `size` bytes.
  BitWriter& PadTo(size_t size) {
    Align();
    while (bytes_.size() < size) Put(0, 8);
    return *this;
  }
  size_t BitCount() const { return bitCount_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t bitCount_ = 0;
};

// The fields of a frame header, in stream order after the 11 sync bits.
struct HeaderFields {
  uint32_t mpeg25Bit = 1;  // 0: MPEG-2.5
  uint32_t idBit = 1;      // 1: MPEG-1, 0: LSF
  uint32_t layerCode = 2;  // 3: Layer I, 2: Layer II, 1: Layer III, 0: reserved
  uint32_t protectionBit = 1;  // 0: a CRC word follows
  uint32_t bitrateIndex = 8;
  uint32_t rateIndex = 0;
  uint32_t extraSlot = 0;
  uint32_t mode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
  uint32_t modeExtension = 0;
};

inline void PutHeader(BitWriter& w, const HeaderFields& h) {
  w.Put(0x7FF, 11).Put(h.mpeg25Bit, 1).Put(h.idBit, 1).Put(h.layerCode, 2).Put(h.protectionBit, 1);
  w.Put(h.bitrateIndex, 4).Put(h.rateIndex, 2).Put(h.extraSlot, 1).Put(0, 1);
  w.Put(h.mode, 2).Put(h.modeExtension, 2).Put(0, 4);
}

// CRC-16 (start 0xFFFF) of header bits 16..31 followed by `bodyBits` bits of
// `body` from its first bit: the CRC word a protected frame must carry.
inline uint16_t FrameCrc(const std::vector<uint8_t>& header4, const std::vector<uint8_t>& body, uint32_t bodyBits) {
  BitReader r;
  StartReader(r, header4.data(), static_cast<uint32_t>(header4.size()), 2);
  uint16_t crc = Crc16(r, 16, 0xFFFF);
  StartReader(r, body.data(), static_cast<uint32_t>(body.size()), 0);
  return Crc16(r, bodyBits, crc);
}

}  // namespace quorvel::test
