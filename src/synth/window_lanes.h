// The synthesis window arranged for windowing eight slots at once, one slot
// per vector lane: each coefficient a windowed sum takes is stored eight
// times, ready to multiply eight consecutive history values. out[0] and
// out[16] take their ages one by one:
//   front[k][a][*] = c_k[a] at even a, -c_k[a] at odd a   (k = 0 and 16; for
//                    k = 16 the even ages are 0)
// with c_k[a] = SynthesisWindow[k][a]. For k = 1..15 the windowing takes the
// ages in pairs, the even age 2i (value x, row 16 + k) with the odd age
// 15 - 2i (value y, row 16 - k), in three products instead of four:
//   front: c_k[2i] x - c_k[15 - 2i] y = s (x + y) - o y
//   back:  c_k[15 - 2i] x + c_k[2i] y = s (x + y) + e x
// with s = c_k[2i], o = c_k[2i] + c_k[15 - 2i], e = c_k[15 - 2i] - c_k[2i]
// (identities of integers, so they hold modulo 2^32 as well):
//   pairSum[k][i][*] = s, pairOdd[k][i][*] = o, pairEven[k][i][*] = e.
#pragma once

#include <cstdint>

namespace quorvel {

struct WindowLanes {
  alignas(32) int32_t front[2][16][8];  // k = 0, k = 16
  alignas(32) int32_t pairSum[16][8][8];
  alignas(32) int32_t pairOdd[16][8][8];
  alignas(32) int32_t pairEven[16][8][8];
};

// Built from SynthesisWindow on first use.
const WindowLanes& SynthesisWindowLanes();

}  // namespace quorvel
