// The synthesis term by term from its definition, in two forms: the windowed
// sums of slots in the library's time-ordered history (the reference for
// every version of the kernel windowSlots), and a whole filterbank that keeps
// its history the plain way, as a ring of 16 slots per channel stored by
// parity and column with one ring value for both channels, against which
// SynthesizeFrame must agree frame by frame, whatever the channel counts.
#pragma once

#include <cstdint>
#include <cstring>

#include "synth/dct32.h"
#include "synth/synthesis.h"

namespace quorvel::reference {

// out[k] of one slot from its 16 ages: xPlus(a, k) = X_a[16 + k], xMinus(a, k)
// = X_a[16 - k] (k = 0..16).
template <class Plus, class Minus>
inline void WindowFromAges(Plus xPlus, Minus xMinus, Q28 out[32]) {
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

// The slots at positions position..position + count - 1 of the history.
inline void WindowSlots(const ChannelHistory& h, int position, int count, Q28* out) {
  for (int n = 0; n < count; ++n) {
    const int t = position + n;
    WindowFromAges([&](int a, int k) { return h.value[16 + k][t - a]; },
                   [&](int a, int k) { return h.value[16 - k][t - a]; }, out + 32 * n);
  }
}

// The ring: the slot of ring value v in parity v & 1, column v >> 1; upper
// row r holds X[16 + r], lower row r holds X[15 - r].
struct RingHistory {
  int32_t upper[2][16][8];
  int32_t lower[2][16][8];
};

struct RingSynthesis {
  RingHistory channel[kMaxChannels] = {};
  int32_t ringIndex = 0;
};

inline void RingSynthesizeFrame(RingSynthesis& s, const FrameState& frame, PcmBlock& pcm) {
  const int slots = SlotsPerFrame(frame);
  const int channels = ChannelCount(frame);
  for (int ch = 0; ch < channels; ++ch) {
    RingHistory& h = s.channel[ch];
    for (int n = 0; n < slots; ++n) {
      const int b = (s.ringIndex + n) & 15;
      int32_t x[32];
      Dct32Values(&frame.samples[ch][32 * n], x);
      for (int r = 0; r < 16; ++r) {
        h.upper[b & 1][r][b >> 1] = x[16 + r];
        h.lower[b & 1][r][b >> 1] = x[15 - r];
      }
      auto column = [&](int a) { return (b - a) & 15; };
      WindowFromAges(
          [&](int a, int k) {
            const int v = column(a);
            return h.upper[v & 1][k][v >> 1];
          },
          [&](int a, int k) {
            const int v = column(a);
            if (k == 0) return h.upper[v & 1][0][v >> 1];
            if (k == 16) return h.lower[v & 1][15][v >> 1];
            return h.lower[v & 1][k - 1][v >> 1];
          },
          &pcm.samples[ch][32 * n]);
    }
  }
  s.ringIndex = (s.ringIndex + slots) & 15;
}

}  // namespace quorvel::reference
