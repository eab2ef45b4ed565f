// Fixed-point vocabulary of the decoder.
//
// Audio values are Q28: signed 32-bit with 28 fraction bits, 1.0 = 0x10000000.
// The decoder's integer arithmetic wraps modulo 2^32 by contract, so every sum,
// difference and product that may overflow goes through these helpers, which
// compute on uint32_t and never rely on signed overflow. Right shifts of
// signed values are arithmetic (guaranteed since C++20).
//
// Each helper states the range in which its result is the exact one; outside
// it the result is the wrapped one, which the decoder relies on.
#pragma once

#include <cstdint>

namespace quorvel {

using Q28 = int32_t;

// 1.0 in Q28; also full scale: output in [-kOneQ28, kOneQ28) does not clip.
constexpr Q28 kOneQ28 = 0x10000000;
// 0.5 in Q28.
constexpr Q28 kHalfQ28 = 0x08000000;
// The lowest and the highest Q28 value within full scale.
constexpr Q28 kFullScaleLow = -kOneQ28;
constexpr Q28 kFullScaleHigh = kOneQ28 - 1;
// 1.0 at the signal scale of FixMul (Q16).
constexpr int32_t kOneQ16 = 0x10000;

// a + b modulo 2^32; exact for a + b within int32_t.
constexpr int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// a - b modulo 2^32; exact for a - b within int32_t.
constexpr int32_t WrapSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// a * b modulo 2^32; exact for a * b within int32_t.
constexpr int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// v * 2^s modulo 2^32, also for negative v (0 <= s < 32); exact for v * 2^s within int32_t.
constexpr int32_t WrapShl(int32_t v, int s) {
  return static_cast<int32_t>(static_cast<uint32_t>(v) << s);
}

// -v modulo 2^32; exact for v > INT32_MIN.
constexpr int32_t WrapNeg(int32_t v) { return WrapSub(0, v); }

// What a rounding shift by s bits adds before it shifts: one half of the last
// bit kept (1 <= s <= 31).
constexpr int32_t RoundingBias(int s) { return 1 << (s - 1); }

// v / 2^s rounded half up (1 <= s <= 31); exact for v <= INT32_MAX - 2^(s-1),
// above that the sum wraps and the result is negative.
constexpr int32_t RoundShift(int32_t v, int s) { return WrapAdd(v, RoundingBias(s)) >> s; }

// FixMul's two roundings: a coefficient loses 16 of its 28 fraction bits, a
// signal 12.
constexpr int kCoefficientShift = 16;
constexpr int kSignalShift = 12;

// The coefficient rounding of FixMul: Q28 to Q12, (c + 0x8000) >> 16; within
// -2^15 .. 2^15 - 1 for every c, exact round(c / 2^16) for c <= INT32_MAX - 0x7FFF.
constexpr int32_t CoefficientQ12(Q28 c) { return RoundShift(c, kCoefficientShift); }

// The signal rounding of FixMul: Q28 to Q16, (s + 0x800) >> 12; within
// -2^19 .. 2^19 - 1 for every s, exact round(s / 2^12) for s <= INT32_MAX - 0x7FF.
constexpr int32_t SignalQ16(Q28 s) { return RoundShift(s, kSignalShift); }

// The library's Q28 product: the coefficient rounded to 12 fraction bits
// times the signal rounded to 16, modulo 2^32; no wrap for |coef| <= 1.0 and
// any signal but -1.0 times -8.0. The roles are not interchangeable: tables,
// gains and fractions are coefficients; samples, overshoots and sample
// differences are signals.
constexpr Q28 FixMul(Q28 coef, Q28 signal) { return WrapMul(CoefficientQ12(coef), SignalQ16(signal)); }

// The DCT's rounding shift: any scale down by 12 bits, half up (RoundShift(v, 12)).
constexpr int32_t RoundShift12(int32_t v) { return RoundShift(v, 12); }

// round(numerator / denominator), halves up; exact for 0 < denominator and
// 2 * numerator + denominator < 2^64, and a quotient below 2^31.
constexpr int32_t RoundedQuotient(uint64_t numerator, uint64_t denominator) {
  return static_cast<int32_t>((2 * numerator + denominator) / (2 * denominator));
}

// Sign-extends the low `bits` bits of `code` (1 <= bits <= 32); the result
// lies in -2^(bits-1) .. 2^(bits-1) - 1.
constexpr int32_t SignExtend(uint32_t code, int bits) {
  const uint32_t sign = 1u << (bits - 1);
  const uint32_t value = code & (bits == 32 ? 0xFFFFFFFFu : (2 * sign - 1));
  return static_cast<int32_t>((value ^ sign) - sign);
}

}  // namespace quorvel
