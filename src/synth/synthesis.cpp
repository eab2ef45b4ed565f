// Windowing over the 16-slot history.
//
// For the slot with ring value b, the columns of b's own parity hold the
// slots of even age and the other parity those of odd age. Because every
// window row is stored twice, the eight coefficients that meet the eight
// columns of a parity sit at stride 2 from a start entry that depends only on
// b, and no index wraps: with e = b & 14 and f = ((b + 15) & 14) | 1, column q
// of the own parity takes c[a] from entry e + 2 ((8 - q) mod 8) and c[15 - a]
// from entry 15 - e + 2q; the other parity likewise with f.
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

// sum over the 8 columns of values[q] * row[start + 2 ((8 - q) mod 8)], mod 2^32.
inline int32_t DotReversed(const int32_t* values, const int32_t* row, int start) {
  int32_t sum = WrapMul(values[0], row[start]);
  for (int q = 1; q < 8; ++q) sum = WrapAdd(sum, WrapMul(values[q], row[start + 2 * (8 - q)]));
  return sum;
}

// sum over the 8 columns of values[q] * row[start + 2q], mod 2^32.
inline int32_t DotForward(const int32_t* values, const int32_t* row, int start) {
  int32_t sum = 0;
  for (int q = 0; q < 8; ++q) sum = WrapAdd(sum, WrapMul(values[q], row[start + 2 * q]));
  return sum;
}

// The windowed sums are Q30; the output keeps Q28.
constexpr int kWindowShift = 2;

}  // namespace

const SynthesisKernels& SynthesisKernelsFor(KernelLevel level) {
  return KernelTableFor(level, SynthesisKernels{WindowSlot, Dct32LanesPlain, FullDct32x4Plain, FullWindowSlotsPlain});
}

void ResetSynthesis(SynthesisState& synthesis, PcmBlock& pcm) {
  std::memset(&synthesis, 0, sizeof synthesis);
  pcm.sampleRate = 0;
  pcm.channels = 0;
  pcm.samplesPerChannel = 0;
}

void WindowSlot(const ChannelHistory& h, int b, Q28 out[32]) {
  const int own = b & 1;
  const int other = own ^ 1;
  const int e = b & 14;
  const int f = ((b + 15) & 14) | 1;
  for (int k = 0; k < 16; ++k) {
    const int32_t* row = SynthesisWindow[k];
    const int32_t* evenTerms = h.upper[own][k];                               // X[16 + k], even ages
    const int32_t* oddTerms = k == 0 ? h.upper[other][0] : h.lower[other][k - 1];  // X[16 - k], odd ages
    const int32_t front = WrapSub(DotReversed(evenTerms, row, e), DotReversed(oddTerms, row, f));
    out[k] = front >> kWindowShift;
    if (k > 0) {
      const int32_t back = WrapAdd(DotForward(evenTerms, row, 15 - e), DotForward(oddTerms, row, 15 - f));
      out[32 - k] = back >> kWindowShift;
    }
  }
  out[16] = WrapNeg(DotReversed(h.lower[other][15], SynthesisWindow[16], f)) >> kWindowShift;
}

void SynthesizeSlots(SynthesisState& synthesis, const FrameState& frame, PcmBlock& pcm, int channels, int slots) {
  const SynthesisKernels& kernels = SynthesisKernelsFor(ActiveKernelLevel());
  for (int ch = 0; ch < channels; ++ch) {
    ChannelHistory& h = synthesis.channel[ch];
    int b = synthesis.ringIndex;
    // The DCT of up to eight slots at once (it needs no history); each slot
    // then enters the history just before its own windowing, because the
    // column it takes still holds the slot of age 16 until then.
    for (int first = 0; first < slots; first += 8) {
      const int count = slots - first < 8 ? slots - first : 8;
      alignas(32) DctLanes x;
      kernels.dct32Lanes(&frame.samples[ch][first * 32], count, x);
      for (int j = 0; j < count; ++j) {
        // Rows of the lanes and of the history planes are both 8 values
        // apart: a strided copy of lane j into column b >> 1.
        const int32_t* fromUpper = &x[16][j];
        const int32_t* fromLower = &x[15][j];
        int32_t* upper = &h.upper[b & 1][0][b >> 1];
        int32_t* lower = &h.lower[b & 1][0][b >> 1];
        for (int r = 0; r < 16; ++r) {
          upper[8 * r] = fromUpper[8 * r];
          lower[8 * r] = fromLower[-8 * r];
        }
        kernels.windowSlot(h, b, &pcm.samples[ch][(first + j) * 32]);
        b = (b + 1) & 15;
      }
    }
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
