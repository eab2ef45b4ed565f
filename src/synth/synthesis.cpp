// Windowing over the history, and the glue of a frame's synthesis.
//
// With c_k[a] = SynthesisWindow[k][a] and X_a the DCT of the slot of age a
// (a = 0 is the slot itself), the windowed sums of a slot are, modulo 2^32:
//   out[k]      = sum over even a of c_k[a] X_a[16 + k]
//               - sum over odd a of c_k[a] X_a[16 - k],        k = 0..15
//   out[32 - k] = sum over even a of c_k[15 - a] X_a[16 + k]
//               + sum over odd a of c_k[15 - a] X_a[16 - k],   k = 1..15
//   out[16]     = -sum over odd a of c_16[a] X_a[0]
// each shifted right by 2 (Q30 to Q28).
//
// Also the synthesis kernel tables: the plain windowing and DCT, overridden
// per level by the x86 and NEON versions declared beside this file.
#include "synth/synthesis.h"

#include "synth/synthesis_full.h"

#include <cstring>

#if QUORVEL_HAVE_X86_KERNELS
#include "synth/synthesis_x86.h"
#endif
#if QUORVEL_HAVE_NEON_KERNELS
#include "synth/synthesis_arm.h"
#endif

namespace quorvel {
namespace {

// The windowed sums are Q30; the output keeps Q28.
constexpr int kWindowShift = 2;

}  // namespace

const SynthesisKernels& SynthesisKernelsFor(KernelLevel level) {
  return KernelTableFor(
      level, SynthesisKernels{WindowSlots, WindowTails, Dct32LanesPlain, FullDct32x4Plain, FullWindowSlotsPlain});
}

void ResetSynthesis(SynthesisState& synthesis, PcmBlock& pcm) {
  std::memset(&synthesis, 0, sizeof synthesis);
  pcm.sampleRate = 0;
  pcm.channels = 0;
  pcm.samplesPerChannel = 0;
}

void WindowSlots(const ChannelHistory& h, int position, int count, Q28* out) {
  for (int n = 0; n < count; ++n, out += 32) {
    const int t = position + n;
    for (int k = 0; k <= 16; ++k) {
      int32_t front = 0, back = 0;
      for (int a = 0; a < 16; ++a) {
        if (a % 2 == 0) {
          if (k == 16) continue;  // X[32] is not kept: output 16 has odd ages only
          const int32_t u = h.value[16 + k][t - a];
          front = WrapAdd(front, WrapMul(SynthesisWindow[k][a], u));
          back = WrapAdd(back, WrapMul(SynthesisWindow[k][15 - a], u));
        } else {
          const int32_t u = h.value[16 - k][t - a];
          front = WrapSub(front, WrapMul(SynthesisWindow[k][a], u));
          back = WrapAdd(back, WrapMul(SynthesisWindow[k][15 - a], u));
        }
      }
      out[k] = front >> kWindowShift;
      if (k > 0 && k < 16) out[32 - k] = back >> kWindowShift;
    }
  }
}

void WindowTails(const ChannelHistory& h0, int position0, const ChannelHistory& h1, int position1, int count, Q28* out0,
                 Q28* out1) {
  WindowSlots(h0, position0, count, out0);
  WindowSlots(h1, position1, count, out1);
}

// Position stored + j (j = 0..15) held the slot of ring value h.ring + j; it
// must hold that of b + j, which sat at stored + (j + b - h.ring) mod 16.
void AlignHistory(ChannelHistory& h, int b) {
  const int turn = (b - h.ring) & 15;
  if (turn != 0) {
    for (auto& row : h.value) {
      int32_t* const carried = row + h.stored;
      int32_t before[kCarriedSlots];
      std::memcpy(before, carried, sizeof before);
      for (int j = 0; j < kCarriedSlots; ++j) carried[j] = before[(j + turn) & 15];
    }
  }
  h.ring = b;
}

void SynthesizeSlots(SynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm, int channels, int slots) {
  const SynthesisKernels& kernels = SynthesisKernelsFor(ActiveKernelLevel());
  // Eight slots at a time: their DCT, stored row by row behind the slots
  // before them, then their windowed sums. When both channels end on four
  // slots or fewer (a Layer I frame's 12, a Layer II frame's 36), one DCT
  // takes both channels' last slots, half the lanes each.
  const int tail = slots % 8;
  const bool sharedTail = channels == 2 && tail > 0 && tail <= 4;
  const int whole = sharedTail ? slots - tail : slots;
  const int room = (slots + 7) & ~7;  // the eight-slot groups write whole
  for (int ch = 0; ch < channels; ++ch) {
    ChannelHistory& h = synthesis.channel[ch];
    if (kCarriedSlots + h.stored + room > kHistoryColumns) {
      for (auto& row : h.value) std::memcpy(row, row + h.stored, kCarriedSlots * sizeof(int32_t));
      h.stored = 0;
    }
    AlignHistory(h, synthesis.ringIndex);
    for (int first = 0; first < whole; first += 8) {
      const int count = whole - first < 8 ? whole - first : 8;
      const int position = kCarriedSlots + h.stored + first;
      kernels.dct32Lanes(&frame.samples[ch][first * 32], count, &h.value[0][position], kHistoryColumns);
      kernels.windowSlots(h, position, count, &pcm.samples[ch][first * 32]);
    }
  }
  if (sharedTail) {
    alignas(32) Q28 both[8][32];  // channel 0's last slots in 0..3, channel 1's in 4..7
    alignas(32) DctLanes x;
    std::memcpy(both[0], &frame.samples[0][whole * 32], sizeof(Q28) * 32 * static_cast<size_t>(tail));
    std::memcpy(both[4], &frame.samples[1][whole * 32], sizeof(Q28) * 32 * static_cast<size_t>(tail));
    if (tail < 4) std::memset(both[tail], 0, sizeof(Q28) * 32 * static_cast<size_t>(4 - tail));  // lanes nothing uses
    kernels.dct32Lanes(both[0], 4 + tail, &x[0][0], 8);
    int position[2];
    for (int ch = 0; ch < 2; ++ch) {
      ChannelHistory& h = synthesis.channel[ch];
      position[ch] = kCarriedSlots + h.stored + whole;
      for (int m = 0; m < 32; ++m) std::memcpy(&h.value[m][position[ch]], &x[m][4 * ch], sizeof(int32_t) * 4);
    }
    kernels.windowTails(synthesis.channel[0], position[0], synthesis.channel[1], position[1], tail,
                        &pcm.samples[0][whole * 32], &pcm.samples[1][whole * 32]);
  }
  for (int ch = 0; ch < channels; ++ch) {
    ChannelHistory& h = synthesis.channel[ch];
    h.stored += slots;  // the frame's last 16 slots are the carried ones now
    h.ring = (h.ring + slots) & 15;
  }
}

void SynthesizeFrame(SynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm) {
  const int slots = SlotsPerFrame(frame);
  const int channels = ChannelCount(frame);
  pcm.sampleRate = static_cast<int32_t>(frame.sampleRate);
  pcm.channels = static_cast<int16_t>(channels);
  pcm.samplesPerChannel = static_cast<int16_t>(32 * slots);
  SynthesizeSlots(synthesis, frame, pcm, channels, slots);
  synthesis.ringIndex = (synthesis.ringIndex + slots) & 15;
}

}  // namespace quorvel
