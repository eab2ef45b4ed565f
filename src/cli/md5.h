// MD5 (RFC 1321) of the PCM, for the md5 sink and --verify.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvel::cli {

class Md5 {
 public:
  void Update(const uint8_t* data, size_t size);
  std::string HexDigest();  // finishes the hash; call once

 private:
  void Block(const uint8_t* p);
  std::array<uint32_t, 4> h_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::array<uint8_t, 64> pending_{};
  size_t pendingSize_ = 0;
  uint64_t length_ = 0;  // bytes hashed
};

}  // namespace quorvel::cli
