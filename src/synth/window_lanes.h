// The synthesis window rearranged for eight-lane windowing.
//
// WindowSlot reads the eight coefficients that meet the eight history columns
// of one parity at stride 2 from a start entry s of a doubled window row. For
// vector code the same eight values are stored contiguously, once for every
// start s = 0..15 (even starts serve b's own parity, odd starts the other):
//   rev[k][s][q] = SynthesisWindow[k][s + 2 ((8 - q) mod 8)]  (c_k[a])
//   fwd[k][s][q] = SynthesisWindow[k][15 - s + 2 q]           (c_k[15 - a])
#pragma once

#include <cstdint>

namespace quorvel {

struct WindowLanes {
  alignas(32) int32_t rev[17][16][8];
  alignas(32) int32_t fwd[17][16][8];
};

// Built from SynthesisWindow on first use.
const WindowLanes& SynthesisWindowLanes();

}  // namespace quorvel
