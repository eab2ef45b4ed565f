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
// The windowing follows synthesis.cpp term for term, with exact Q16
// coefficients and 64-bit sums.
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

// The window rearranged so that the eight coefficients meeting the eight
// history columns of a parity are contiguous, for every start s = 0..15 of
// the doubled rows (see synthesis.cpp):
//   rev[k][s][q] = c_k[a] at entry s + 2 ((8 - q) mod 8)
//   fwd[k][s][q] = c_k[15 - a] at entry 15 - s + 2 q
struct FullWindowLanes {
  alignas(32) int32_t rev[17][16][8];
  alignas(32) int32_t fwd[17][16][8];
};

FullWindowLanes MakeFullWindowLanes() {
  FullWindowLanes w{};
  for (int k = 0; k < 17; ++k) {
    for (int s = 0; s < 16; ++s) {
      for (int q = 0; q < 8; ++q) {
        w.rev[k][s][q] = SynthesisWindowQ16[k][s + 2 * ((8 - q) & 7)];
        w.fwd[k][s][q] = SynthesisWindowQ16[k][15 - s + 2 * q];
      }
    }
  }
  return w;
}

const FullWindowLanes kLanes = MakeFullWindowLanes();

inline int64_t Dot8(const int32_t* values, const int32_t* coefs) {
  int64_t sum = 0;
  for (int q = 0; q < 8; ++q) sum += int64_t{values[q]} * coefs[q];
  return sum;
}

}  // namespace

void ResetFullSynthesis(FullSynthesisState& synthesis) { std::memset(&synthesis, 0, sizeof synthesis); }

void FullDct32(const Q28* slotSamples, int64_t out[32]) {
  int64_t x[32];
  for (int k = 0; k < 32; ++k) x[k] = int64_t{slotSamples[k]} * 4;  // Q30
  FullTransform<32>(x, out);
}

void FullDct32x4Plain(const Q28* slots, int count, int32_t out[32][4]) {
  for (int j = 0; j < count; ++j) {
    int64_t x[32];
    FullDct32(slots + 32 * j, x);
    for (int m = 0; m < 32; ++m) out[m][j] = FullHistoryValue(x[m]);
  }
}

void FullWindowSlotPlain(const ChannelHistory& h, int b, Q28 out[32]) {
  const int own = b & 1;
  const int other = own ^ 1;
  const int e = b & 14;
  const int f = ((b + 15) & 14) | 1;
  for (int k = 0; k < 16; ++k) {
    const int32_t* evenTerms = h.upper[own][k];                                    // X[16 + k], even ages
    const int32_t* oddTerms = k == 0 ? h.upper[other][0] : h.lower[other][k - 1];  // X[16 - k], odd ages
    out[k] = OutputValue(Dot8(evenTerms, kLanes.rev[k][e]) - Dot8(oddTerms, kLanes.rev[k][f]));
    if (k > 0) out[32 - k] = OutputValue(Dot8(evenTerms, kLanes.fwd[k][e]) + Dot8(oddTerms, kLanes.fwd[k][f]));
  }
  out[16] = OutputValue(-Dot8(h.lower[other][15], kLanes.rev[16][f]));
}

void SynthesizeSlotsFull(FullSynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm, int channels,
                         int slots) {
  const SynthesisKernels& kernels = SynthesisKernelsFor(ActiveKernelLevel());
  for (int ch = 0; ch < channels; ++ch) {
    ChannelHistory& h = synthesis.channel[ch];
    int b = synthesis.ringIndex;
    // The DCT of up to four slots at once (it needs no history); each slot
    // then enters the history just before its own windowing, because its
    // column still holds the slot of age 16 until then.
    for (int first = 0; first < slots; first += 4) {
      const int count = slots - first < 4 ? slots - first : 4;
      int32_t x[32][4];
      kernels.fullDct32x4(&frame.samples[ch][first * 32], count, x);
      for (int j = 0; j < count; ++j) {
        int32_t* upper = &h.upper[b & 1][0][b >> 1];
        int32_t* lower = &h.lower[b & 1][0][b >> 1];
        for (int r = 0; r < 16; ++r) {
          upper[8 * r] = x[16 + r][j];
          lower[8 * r] = x[15 - r][j];
        }
        kernels.fullWindowSlot(h, b, &pcm.samples[ch][(first + j) * 32]);
        b = (b + 1) & 15;
      }
    }
  }
}

void SynthesizeFrameFull(FullSynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm) {
  const int slots = SlotsPerFrame(frame);
  const int channels = ChannelCount(frame);
  pcm.sampleRate = static_cast<int32_t>(frame.sampleRate);
  pcm.channels = static_cast<int16_t>(channels);
  pcm.samplesPerChannel = static_cast<int16_t>(32 * slots);
  SynthesizeSlotsFull(synthesis, frame, pcm, channels, slots);
  synthesis.ringIndex = (synthesis.ringIndex + slots) & 15;
}

}  // namespace quorvel
