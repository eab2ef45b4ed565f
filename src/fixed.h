// Fixed-point vocabulary of the decoder.
//
// Audio values are Q28: signed 32-bit with 28 fraction bits, 1.0 = 0x10000000.
// The decoder's integer arithmetic wraps modulo 2^32 by contract, so every sum,
// difference and product that may overflow goes through these helpers, which
// compute on uint32_t and never rely on signed overflow. Right shifts of
// signed values are arithmetic (guaranteed since C++20).
#pragma once

#include <cstdint>

namespace quorvel {

using Q28 = int32_t;

constexpr Q28 kOneQ28 = 0x10000000;

// a + b modulo 2^32.
constexpr int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// a - b modulo 2^32.
constexpr int32_t WrapSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// a * b modulo 2^32.
constexpr int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// v * 2^s modulo 2^32, also for negative v (0 <= s < 32).
constexpr int32_t WrapShl(int32_t v, int s) {
  return static_cast<int32_t>(static_cast<uint32_t>(v) << s);
}

// -v modulo 2^32.
constexpr int32_t WrapNeg(int32_t v) { return WrapSub(0, v); }

// The library's Q28 product: the coefficient is rounded to 12 fraction bits,
// the signal to 16, and their 32-bit product is Q28 again. The roles are not
// interchangeable: tables, gains and fractions are coefficients; samples,
// overshoots and sample differences are signals.
constexpr Q28 FixMul(Q28 coef, Q28 signal) {
  return WrapMul(WrapAdd(coef, 0x8000) >> 16, WrapAdd(signal, 0x800) >> 12);
}

// Rounding shift of the DCT: Q28 (or any scale) down by 12 bits, half up.
constexpr int32_t RoundShift12(int32_t v) { return WrapAdd(v, 2048) >> 12; }

// round(numerator / denominator) for positive 64-bit operands, halves up.
constexpr int32_t RoundedQuotient(uint64_t numerator, uint64_t denominator) {
  return static_cast<int32_t>((2 * numerator + denominator) / (2 * denominator));
}

// Sign-extends the low `bits` bits of `code` (1 <= bits <= 32).
constexpr int32_t SignExtend(uint32_t code, int bits) {
  const uint32_t sign = 1u << (bits - 1);
  const uint32_t value = code & (bits == 32 ? 0xFFFFFFFFu : (2 * sign - 1));
  return static_cast<int32_t>((value ^ sign) - sign);
}

}  // namespace quorvel
