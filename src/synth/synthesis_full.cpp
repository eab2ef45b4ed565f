// The full tier's DCT and windowing.
//
// The DCT is the recursion of dct32.cpp (sums and cosine-weighted
// differences, the odd results rebuilt with y[2m+1] = 2 o[m] - y[2m-1]) in
// 64-bit integers in Q30. Level N's inputs stay below 2^(38 - log2 N) for
// any 32-bit input and its differences below 2^(39 - log2 N); each weighted
// difference is the exact product with a Q31 cosine, rounded once. A single
// 64-bit product would have to share its bits between operand and cosine,
// and either choice costs precision: a short cosine errs in proportion to
// the signal (2^-25 of it at N = 2), a rounded operand by a fixed amount that
// the odd-result recursion adds up.
//
// The windowing forms the sums of synthesis.cpp from the same exact Q16
// coefficients and history values, over the ages of the slots (see
// FullWindowSlotsPlain), in 64 bits.
#include "synth/synthesis_full.h"

#include <cstring>

namespace quorvel {
namespace {

template <int N>
constexpr const int64_t* FullCosTable() {
  if constexpr (N == 32) return FullDctCos32;
  if constexpr (N == 16) return FullDctCos16;
  if constexpr (N == 8) return FullDctCos8;
  if constexpr (N == 4) return FullDctCos4;
  return FullDctCos2;
}

template <int N>
inline void FullTransform(const int64_t* x, int64_t* y) {
  if constexpr (N == 1) {
    y[0] = x[0];
  } else {
    constexpr int H = N / 2;
    const int64_t* c = FullCosTable<N>();
    int64_t g[H], h[H], e[H], o[H];
    for (int n = 0; n < H; ++n) {
      g[n] = x[n] + x[N - 1 - n];
      h[n] = MulQ31(x[n] - x[N - 1 - n], c[n]);
    }
    FullTransform<H>(g, e);
    FullTransform<H>(h, o);
    for (int m = 0; m < H; ++m) y[2 * m] = e[m];
    y[1] = o[0];
    for (int m = 1; m < H; ++m) y[2 * m + 1] = 2 * o[m] - y[2 * m - 1];
  }
}

// Q40 sum to Q28, rounded half up and saturated.
inline Q28 OutputValue(int64_t sum) {
  const int64_t v = (sum + 2048) >> 12;
  return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

}  // namespace

void ResetFullSynthesis(FullSynthesisState& synthesis) { std::memset(&synthesis, 0, sizeof synthesis); }

void FullDct32(const Q28* slotSamples, int64_t out[32]) {
  int64_t x[32];
  for (int k = 0; k < 32; ++k) x[k] = int64_t{slotSamples[k]} * 4;  // Q30
  FullTransform<32>(x, out);
}

bool FullDct32x4Plain(const Q28* slots, int count, FullChannelHistory& history, int index) {
  bool clamped = false;
  for (int j = 0; j < count; ++j) {
    Q28 s[32];
    for (int k = 0; k < 32; ++k) {
      s[k] = FullInputValue(slots[32 * j + k]);
      clamped |= s[k] != slots[32 * j + k];
    }
    int64_t x[32];
    FullDct32(s, x);
    FullHistorySlot& slot = history.slot[index + j];
    for (int k = 0; k < 16; ++k) {
      slot.even[k] = FullHistoryValue(x[16 + k]);
      slot.odd[k] = FullHistoryValue(x[16 - k]);
    }
    history.first[index + j] = FullHistoryValue(x[0]);
  }
  return clamped;
}

// With c_k[a] = D[k + 32 a] (SynthesisWindowQ16 row k) and u the history
// value a slot of age a gives output k (X[16 + k] at even ages, X[16 - k] at
// odd ones):
//   out[k]      = sum over a of (+c_k[a] at even a, -c_k[a] at odd a) u,  k = 0..15
//   out[32 - k] = sum over a of c_k[15 - a] u,                            k = 1..15
//   out[16]     = -sum over odd a of c_16[a] X[0]
// Each sum has 16 products below 2^30 x 2^17 and fits 64 bits exactly.
void FullWindowSlotsPlain(const FullChannelHistory& history, int index, int count, Q28* out) {
  for (int n = 0; n < count; ++n, out += 32) {
    const int t = index + n;
    int64_t front[16] = {}, back[16] = {};  // back[k]: out[32 - k]
    int64_t middle = 0;                     // out[16]
    for (int a = 0; a < 16; ++a) {
      const FullHistorySlot& slot = history.slot[t - a];
      const bool even = a % 2 == 0;
      const int32_t* u = even ? slot.even : slot.odd;
      for (int k = 0; k < 16; ++k) {
        const int64_t c = SynthesisWindowQ16[k][a];
        front[k] += (even ? c : -c) * u[k];
        if (k > 0) back[k] += int64_t{SynthesisWindowQ16[k][15 - a]} * u[k];
      }
      if (!even) middle -= int64_t{SynthesisWindowQ16[16][a]} * history.first[t - a];
    }
    for (int k = 0; k < 16; ++k) out[k] = OutputValue(front[k]);
    out[16] = OutputValue(middle);
    for (int k = 1; k < 16; ++k) out[32 - k] = OutputValue(back[k]);
  }
}

bool SynthesizeFrameFull(FullSynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm) {
  const int slots = SlotsPerFrame(frame);
  const int channels = ChannelCount(frame);
  pcm.sampleRate = static_cast<int32_t>(frame.sampleRate);
  pcm.channels = static_cast<int16_t>(channels);
  pcm.samplesPerChannel = static_cast<int16_t>(32 * slots);
  const SynthesisKernels& kernels = SynthesisKernelsFor(ActiveKernelLevel());
  bool clamped = false;
  for (int ch = 0; ch < channels; ++ch) {
    FullChannelHistory& history = synthesis.channel[ch];
    if (kFullCarriedSlots + history.stored + slots > kFullHistorySlots) {
      std::memmove(history.slot, history.slot + history.stored, kFullCarriedSlots * sizeof(FullHistorySlot));
      std::memmove(history.first, history.first + history.stored, kFullCarriedSlots * sizeof(int32_t));
      history.stored = 0;
    }
    const int index = kFullCarriedSlots + history.stored;
    for (int first = 0; first < slots; first += 4) {
      const int count = slots - first < 4 ? slots - first : 4;
      clamped |= kernels.fullDct32x4(&frame.samples[ch][first * 32], count, history, index + first);
    }
    kernels.fullWindowSlots(history, index, slots, pcm.samples[ch].data());
    history.stored += slots;
  }
  return clamped;
}

void AdvanceSilenceFull(FullChannelHistory& history, int slots) {
  if (kFullCarriedSlots + history.stored + slots > kFullHistorySlots) {
    std::memmove(history.slot, history.slot + history.stored, kFullCarriedSlots * sizeof(FullHistorySlot));
    std::memmove(history.first, history.first + history.stored, kFullCarriedSlots * sizeof(int32_t));
    history.stored = 0;
  }
  const int index = kFullCarriedSlots + history.stored;
  std::memset(history.slot + index, 0, static_cast<size_t>(slots) * sizeof(FullHistorySlot));
  std::memset(history.first + index, 0, static_cast<size_t>(slots) * sizeof(int32_t));
  history.stored += slots;
}

}  // namespace quorvel
