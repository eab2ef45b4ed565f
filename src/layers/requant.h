// Requantisation and scaling of one sample code in two multiplications.
//
// Both layers form FixMul(scale, FixMul(C, x)) with the signal
// x = D + (code - 2^(nb-1)) * 2^(29-nb). Since nb <= 16, the code's part of x
// is a multiple of 2^13, so the signal rounding of the inner FixMul,
// SignalQ16(x), equals SignalQ16(D) + (code - 2^(nb-1)) * 2^(17-nb)
// exactly, and the inner product is linear in the code:
//   FixMul(C, x) = offset + step * code, step = Cr << (17 - nb),
//   offset = Cr * (Dr - 1.0), Cr = CoefficientQ12(C), Dr = SignalQ16(D).
// The outer FixMul then needs that value rounded to 16 fraction bits, which
// LinearSignalQ16 returns; `offset` below already carries the rounding bias.
// Magnitudes: |offset + step * code| < 2^29 and the scaled sample < 2^31 for
// every class, so nothing wraps; the wrapping helpers are kept for form.
#pragma once

#include <cstdint>

#include "cpu.h"
#include "fixed.h"
#include "layers/requant_full.h"

namespace quorvel {

struct LinearRequant {
  int32_t offset;  // Cr * (Dr - 2^16) + RoundingBias(kSignalShift)
  int32_t step;    // Cr << (17 - nb)
};

constexpr LinearRequant MakeLinearRequant(Q28 c, Q28 d, int nb) {
  const int32_t cr = CoefficientQ12(c);
  const int32_t dr = SignalQ16(d);
  return {WrapAdd(WrapMul(cr, dr - kOneQ16), RoundingBias(kSignalShift)), WrapShl(cr, 17 - nb)};
}

// SignalQ16(FixMul(C, x)) for the sample code `code` (0 <= code < 2^nb).
constexpr int32_t LinearSignalQ16(LinearRequant q, uint32_t code) {
  return WrapAdd(q.offset, WrapMul(q.step, static_cast<int32_t>(code))) >> kSignalShift;
}

// The requantisation of rows of 32 subbands whose sample codes a layer
// decoder has already stored in place: for each subband sb,
//   row[sb] = scale[sb] * ((offset[sb] + step[sb] * row[sb]) >> 12),
// products and sums modulo 2^32, which is FixMul(scale, FixMul(C, x)) with
// scale[sb] = CoefficientQ12 of the scalefactor. A subband whose three
// entries are 0 becomes 0 whatever its row held, so untransmitted subbands
// need no codes.
struct RequantParams {
  alignas(32) int32_t offset[32];
  alignas(32) int32_t step[32];
  alignas(32) int32_t scale[32];
};

// rows: [rowCount * 32], requantised in place. The plain version of the
// layer kernel requantRows.
void RequantRowsPlain(Q28* rows, int rowCount, const RequantParams& params);

// The kernels of the layer decoders. Every version of a kernel gives the same
// bits for every input as the plain one (tests/kernels_test.cpp).
struct LayerKernels {
  // Sample codes stored in place to scaled samples (see RequantRowsPlain).
  void (*requantRows)(Q28* rows, int rowCount, const RequantParams& params);
  // The full tier's codes to Q28 samples (see RequantRowsFull).
  void (*requantRowsFull)(Q28* rows, int rowCount, const FullRequantTerm terms[32]);
};

// The layer kernels of `level` (the plain ones where it is not supported).
const LayerKernels& LayerKernelsFor(KernelLevel level);

}  // namespace quorvel
