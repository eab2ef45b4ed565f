// The synthesis window arranged for windowing eight slots at once, one slot
// per vector lane: each coefficient a windowed sum takes is stored eight
// times, ready to multiply eight consecutive history values.
//   front[k][a][*] = c_k[a] at even a, -c_k[a] at odd a   (out[k], k = 0..16;
//                    for k = 16 the even ages are 0)
//   back[k][a][*]  = c_k[15 - a]                          (out[32 - k], k = 1..15)
// with c_k[a] = SynthesisWindow[k][a].
#pragma once

#include <cstdint>

namespace quorvel {

struct WindowLanes {
  alignas(32) int32_t front[17][16][8];
  alignas(32) int32_t back[17][16][8];
};

// Built from SynthesisWindow on first use.
const WindowLanes& SynthesisWindowLanes();

}  // namespace quorvel
