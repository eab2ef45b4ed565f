// Layer I frame bodies (MPEG-1, LSF and MPEG-2.5 share the syntax).
#pragma once

#include <array>

#include "bitstream/frame.h"
#include "layers/requant.h"
#include "layers/scalefactors.h"

namespace quorvel {

// Entry nb (2..15): 2^nb / (2^nb - 1) in Q28, rounded to nearest.
constexpr std::array<Q28, 16> MakeLayer1RequantTable() {
  std::array<Q28, 16> table{};
  for (int nb = 2; nb <= 15; ++nb) {
    const uint64_t levels = (1ull << nb) - 1;
    table[nb] = RoundedQuotient(1ull << (28 + nb), levels);
  }
  return table;
}
inline constexpr std::array<Q28, 16> Layer1RequantTable = MakeLayer1RequantTable();

// Entry nb (2..15): the requantisation of an nb-bit sample code,
// FixMul(Layer1RequantTable[nb], x), as a linear function of the code. The
// signal x = (code - 2^(nb-1) + 1) * 2^(29-nb) is D + v * 2^(29-nb) with
// D = 2^(29-nb).
constexpr std::array<LinearRequant, 16> MakeLayer1Requant() {
  std::array<LinearRequant, 16> table{};
  for (int nb = 2; nb <= 15; ++nb) table[nb] = MakeLinearRequant(Layer1RequantTable[nb], 1 << (29 - nb), nb);
  return table;
}
inline constexpr std::array<LinearRequant, 16> Layer1Requant = MakeLayer1Requant();

// Entry nb: the plan's quantisation class of an nb-bit allocation (see
// RequantPlan), 0 for nothing transmitted.
inline constexpr std::array<uint8_t, 16> Layer1QuantClass = {0, 0, 1, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// The codes and the plan (DecodeLayer1Codes), or the compatible samples.
int DecodeLayer1Codes(InputCursor& cursor, FrameState& frame);
int DecodeLayer1(InputCursor& cursor, FrameState& frame);

}  // namespace quorvel
