// Requantisation and scaling of one sample code in two multiplications.
//
// Both layers form FixMul(scale, FixMul(C, x)) with the signal
// x = D + (code - 2^(nb-1)) * 2^(29-nb). Since nb <= 16, the code's part of x
// is a multiple of 2^13, so the signal rounding of the inner FixMul,
// (x + 0x800) >> 12, equals ((D + 0x800) >> 12) + (code - 2^(nb-1)) * 2^(17-nb)
// exactly, and the inner product is linear in the code:
//   FixMul(C, x) = offset + step * code, step = Cr << (17 - nb),
//   offset = Cr * (Dr - 2^16), Cr = (C + 0x8000) >> 16, Dr = (D + 0x800) >> 12.
// The outer FixMul then needs that value rounded to 16 fraction bits, which
// SignalQ16 returns; `offset` below already carries the rounding term 0x800.
// Magnitudes: |offset + step * code| < 2^29 and the scaled sample < 2^31 for
// every class, so nothing wraps; the wrapping helpers are kept for form.
#pragma once

#include <cstdint>

#include "fixed.h"

namespace quorvel {

struct LinearRequant {
  int32_t offset;  // Cr * (Dr - 2^16) + 0x800
  int32_t step;    // Cr << (17 - nb)
};

constexpr LinearRequant MakeLinearRequant(Q28 c, Q28 d, int nb) {
  const int32_t cr = WrapAdd(c, 0x8000) >> 16;
  const int32_t dr = WrapAdd(d, 0x800) >> 12;
  return {WrapAdd(WrapMul(cr, dr - 65536), 0x800), WrapShl(cr, 17 - nb)};
}

// (FixMul(C, x) + 0x800) >> 12 for the sample code `code` (0 <= code < 2^nb).
constexpr int32_t SignalQ16(LinearRequant q, uint32_t code) {
  return WrapAdd(q.offset, WrapMul(q.step, static_cast<int32_t>(code))) >> 12;
}

// The coefficient half of FixMul(scale, .): the scale rounded to 12 bits.
constexpr int32_t ScaleQ12(Q28 scale) { return WrapAdd(scale, 0x8000) >> 16; }

// The requantisation of rows of 32 subbands whose sample codes a layer
// decoder has already stored in place: for each subband sb,
//   row[sb] = scale[sb] * ((offset[sb] + step[sb] * row[sb]) >> 12),
// products and sums modulo 2^32, which is FixMul(scale, FixMul(C, x)) with
// scale[sb] = ScaleQ12 of the scalefactor. A subband whose three entries are 0
// becomes 0 whatever its row held, so untransmitted subbands need no codes.
struct RequantParams {
  alignas(32) int32_t offset[32];
  alignas(32) int32_t step[32];
  alignas(32) int32_t scale[32];
};

// rows: [rowCount * 32], requantised in place.
void RequantRowsPlain(Q28* rows, int rowCount, const RequantParams& params);

}  // namespace quorvel
