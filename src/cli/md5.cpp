#include "md5.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace quorvel::cli {
namespace {

// K[i] = floor(2^32 * |sin(i + 1)|), the constants of RFC 1321.
const std::array<uint32_t, 64> kSine = [] {
  std::array<uint32_t, 64> k{};
  for (int i = 0; i < 64; ++i) k[i] = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
  return k;
}();

constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

}  // namespace

void Md5::Block(const uint8_t* p) {
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) {
    w[i] = p[4 * i] | (p[4 * i + 1] << 8) | (p[4 * i + 2] << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
  }
  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3];
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    uint32_t f;
    int g;
    switch (round) {
      case 0: f = (b & c) | (~b & d); g = i; break;
      case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
    }
    const uint32_t next = b + Rotl(a + f + kSine[i] + w[g], kShift[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
}

void Md5::Update(const uint8_t* data, size_t size) {
  length_ += size;
  while (size > 0) {
    if (pendingSize_ == 0 && size >= 64) {
      Block(data);
      data += 64;
      size -= 64;
      continue;
    }
    const size_t n = std::min(size, 64 - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, data, n);
    pendingSize_ += n;
    data += n;
    size -= n;
    if (pendingSize_ == 64) {
      Block(pending_.data());
      pendingSize_ = 0;
    }
  }
}

std::string Md5::HexDigest() {
  const uint64_t bits = length_ * 8;
  const uint8_t one = 0x80, zero = 0;
  Update(&one, 1);
  while (pendingSize_ != 56) Update(&zero, 1);
  uint8_t tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(tail, 8);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", (h_[i / 4] >> (8 * (i % 4))) & 0xFF);
  return std::string(hex, 32);
}

}  // namespace quorvel::cli
