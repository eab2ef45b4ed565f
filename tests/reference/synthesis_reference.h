// The windowed sums of one slot, term by term from the definition: the
// reference for every version of the synthesis kernel windowSlot.
#pragma once

#include <cstdint>

#include "synth/synthesis.h"

namespace quorvel::reference {

inline void WindowSlot(const ChannelHistory& h, int b, Q28 out[32]) {
  // X_a[16 + k] and X_a[16 - k] of the slot of age a, straight from the layout.
  auto xPlus = [&](int a, int k) {
    const int v = (b - a) & 15;
    return h.upper[v & 1][k][v >> 1];
  };
  auto xMinus = [&](int a, int k) {
    const int v = (b - a) & 15;
    if (k == 0) return h.upper[v & 1][0][v >> 1];
    if (k == 16) return h.lower[v & 1][15][v >> 1];
    return h.lower[v & 1][k - 1][v >> 1];
  };
  for (int k = 0; k <= 16; ++k) {
    int32_t front = 0, back = 0;
    for (int a = 0; a < 16; ++a) {
      const int32_t c = SynthesisWindow[k][a];
      const int32_t cMirror = SynthesisWindow[k][15 - a];
      if (a % 2 == 0) {
        if (k == 16) continue;
        front = WrapAdd(front, WrapMul(c, xPlus(a, k)));
        back = WrapAdd(back, WrapMul(cMirror, xPlus(a, k)));
      } else {
        front = WrapSub(front, WrapMul(c, xMinus(a, k)));
        back = WrapAdd(back, WrapMul(cMirror, xMinus(a, k)));
      }
    }
    out[k] = front >> 2;
    if (k > 0 && k < 16) out[32 - k] = back >> 2;
  }
}

}  // namespace quorvel::reference
