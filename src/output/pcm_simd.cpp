// 16-bit output in 4 or 8 lanes.
//
// The error feedback chains the samples of a channel through the residual,
// but along a run of samples that all stay in one of the three regimes of
// ConvertSample16 the chain is a running sum. With r the residual before the
// run, P_i = r + s_0 + .. + s_i and v_i the sum of sample i and its residual:
// - in range (v_i within full scale): v_0 = P_0 and
//   v_i = s_i + (P_{i-1} & 0x1FFF); output v_i >> 13, residual P_i & 0x1FFF;
// - clipped high (v_i > 0x0FFFFFFF): each sample leaves v_i - 0x0FFFE000, so
//   v_i = P_i - i * 0x0FFFE000; output 32767;
// - clipped low (v_i < -0x10000000): each sample leaves v_i + 0x10000000, so
//   v_i = P_i + i * 0x10000000; output -32768.
// Each step computes the first sample's sum exactly, takes its regime, forms
// all lanes as if the run went on, and keeps the leading lanes whose v_i lie
// in the regime's window: by induction over the lanes each of them is what
// ConvertSample16 gives. The sample that leaves the run goes through
// ConvertClippingSample16 and the next step starts after it. The windows and
// the input bounds (|s_i| <= 2^29, |r| <= 0x50000000) keep every true v_i
// within 32 bits, so the wrapping vector sums are exact and nothing
// saturates; samples outside them go one by one. A clipped lane records its
// overshoot when the residual before it was below 0x8000 in magnitude, as
// ConvertSample16 does (the order of the channels does not matter for a
// maximum).
//
// Runs are tried four lanes at a time: in heavily clipped audio, where runs
// are short, eight-lane attempts fail too often. Blocks that are certainly
// in range (a residual left by an in-range sample, samples at least 0x2000
// inside full scale) skip the regime test and, with AVX2, go eight at a time.
#include <algorithm>

#include "cpu.h"
#include "output/pcm.h"
#include "output/pcm_full.h"

#if QUORVEL_HAVE_X86_KERNELS
#include <immintrin.h>

#include "output/pcm_x86.h"
#include "simd_target.h"

namespace quorvel {
namespace {

constexpr int32_t kFullLow = kFullScaleLow;
constexpr int32_t kFullHigh = kFullScaleHigh;
constexpr int32_t kHighStep = kFullScaleHigh & ~kBelowOutputStep;  // what a sample clipped high takes from the sum
constexpr int32_t kLowStep = -kFullScaleLow;                       // what a sample clipped low adds to the sum
constexpr int32_t kSampleBound = 0x20000000;
constexpr int32_t kResidualBound = 0x50000000;
constexpr int32_t kClipWindow = 0x4FFFFFFF;  // |v| above this leaves the vector path

constexpr uint32_t kChunk = 1152;  // samples per channel converted before interleaving

inline bool ResidualFits(int32_t r) { return r >= -kResidualBound && r <= kResidualBound; }

enum class Regime { kInRange, kHigh, kLow };

inline Regime RegimeOf(int32_t v) {
  return v > kFullHigh ? Regime::kHigh : v < kFullLow ? Regime::kLow : Regime::kInRange;
}

inline int32_t CountTrailingZeros(uint32_t bits) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctz(bits);
#else
  int32_t n = 0;
  while (!(bits & 1u)) bits >>= 1, ++n;
  return n;
#endif
}

}  // namespace

namespace {

QUORVEL_TARGET_SSE41 inline __m128i Set4(int32_t v) { return _mm_set1_epi32(v); }

// Lanes of v outside lo..hi, as a 4-bit mask.
QUORVEL_TARGET_SSE41 inline uint32_t Outside4(__m128i v, int32_t lo, int32_t hi) {
  const __m128i out = _mm_or_si128(_mm_cmpgt_epi32(v, Set4(hi)), _mm_cmplt_epi32(v, Set4(lo)));
  return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(out)));
}

// The largest overshoot o_i among the first `lanes` lanes whose residual
// before the sample was quiet.
QUORVEL_TARGET_SSE41 inline int32_t ClippedOvershoot4(__m128i o, __m128i before, int32_t lanes) {
  const __m128i taken = _mm_and_si128(_mm_cmplt_epi32(_mm_abs_epi32(before), Set4(0x8000)),
                                      _mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), Set4(lanes)));
  __m128i m = _mm_and_si128(o, taken);
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, 0x4E));
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, 0xB1));
  return _mm_cvtsi128_si32(m);
}

QUORVEL_TARGET_SSE41 inline int32_t Lane4(__m128i v, int32_t lane) {
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
  return lanes[lane];
}

QUORVEL_TARGET_SSE41 inline __m128i RunningSums4(__m128i s) {
  const __m128i q = _mm_add_epi32(s, _mm_slli_si128(s, 4));
  return _mm_add_epi32(q, _mm_slli_si128(q, 8));
}

// Whether a block of four is certainly in range (see the top of the file).
QUORVEL_TARGET_SSE41 inline bool FastEligible4(__m128i s, int32_t r) {
  return static_cast<uint32_t>(r) <= 0x1FFFu && !Outside4(s, kFullLow, kFullHigh - 0x1FFF);
}

// Four in-range outputs; the residual after them waits for one addition.
QUORVEL_TARGET_SSE41 inline __m128i FastBlock4(__m128i s, int32_t& r) {
  const __m128i q = RunningSums4(s);
  const __m128i rv = Set4(r);
  const __m128i after = _mm_and_si128(_mm_add_epi32(q, rv), Set4(0x1FFF));
  r = static_cast<int32_t>((static_cast<uint32_t>(r) + static_cast<uint32_t>(_mm_extract_epi32(q, 3))) & 0x1FFFu);
  return _mm_srai_epi32(_mm_add_epi32(s, _mm_alignr_epi8(after, rv, 12)), 13);
}

// One step of a run at samples[0..3]: sets `value` to the outputs of the four
// lanes and returns how many of them belong to the run (0..4), with the
// residual after them and the overshoot updated.
QUORVEL_TARGET_SSE41 inline int32_t RunStep4(const Q28* samples, int32_t& r, int32_t& overshoot, __m128i& value) {
  const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples));
  value = _mm_setzero_si128();
  if (!ResidualFits(r) || Outside4(s, -kSampleBound, kSampleBound)) return 0;
  const __m128i q = RunningSums4(s);
  const __m128i rv = Set4(r);
  const __m128i p = _mm_add_epi32(q, rv);
  uint32_t outside;
  int32_t step;  // what each lane of the run adds to r besides its sample
  const Regime regime = RegimeOf(samples[0] + r);
  if (regime == Regime::kInRange) {
    const __m128i v = _mm_add_epi32(s, _mm_alignr_epi8(_mm_and_si128(p, Set4(0x1FFF)), rv, 12));
    outside = Outside4(v, kFullLow, kFullHigh);
    value = _mm_srai_epi32(v, 13);
    step = 0;
  } else {
    const bool high = regime == Regime::kHigh;
    const __m128i v = high ? _mm_sub_epi32(p, _mm_setr_epi32(0, kHighStep, 2 * kHighStep, 3 * kHighStep))
                           : _mm_add_epi32(p, _mm_setr_epi32(0, kLowStep, 2 * kLowStep, 3 * kLowStep));
    outside = high ? Outside4(v, kFullHigh + 1, kClipWindow) : Outside4(v, -kClipWindow, kFullLow - 1);
    const int32_t lanes = outside ? CountTrailingZeros(outside) : 4;
    const __m128i o = high ? _mm_sub_epi32(v, Set4(kFullHigh)) : _mm_sub_epi32(Set4(kFullLow), v);
    overshoot = std::max(overshoot, ClippedOvershoot4(o, _mm_sub_epi32(v, s), lanes));
    value = Set4(high ? 32767 : -32768);
    step = high ? -kHighStep : kLowStep;
  }
  const int32_t run = outside ? CountTrailingZeros(outside) : 4;
  if (run > 0) {
    // The residual after the run's last lane: P & 0x1FFF in range,
    // P + run * step when clipped.
    const uint32_t sum = static_cast<uint32_t>(r) + static_cast<uint32_t>(Lane4(q, run - 1));
    r = regime == Regime::kInRange
            ? static_cast<int32_t>(sum & 0x1FFFu)
            : static_cast<int32_t>(sum + static_cast<uint32_t>(run) * static_cast<uint32_t>(step));
  }
  return run;
}

// The low 16 bits of the four lanes of v at out[0..3].
QUORVEL_TARGET_SSE41 inline void Store16x4(int16_t* out, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(v, v));
}

// Converts from s[i] on, whose four samples are sv, into out[i..]: a block
// certainly in range, else a run and the sample that leaves it (or one that
// cannot start one). Returns the samples converted, 1..4.
QUORVEL_TARGET_SSE41 inline uint32_t Step4(const Q28* s, uint32_t i, __m128i sv, int32_t& r, int32_t& overshoot,
                                           int16_t* out) {
  if (FastEligible4(sv, r)) {
    Store16x4(out + i, FastBlock4(sv, r));
    return 4;
  }
  __m128i value;
  const uint32_t run = static_cast<uint32_t>(RunStep4(s + i, r, overshoot, value));
  Store16x4(out + i, value);  // lanes after the run are written again below
  if (run == 4) return 4;
  out[i + run] = static_cast<int16_t>(ConvertClippingSample16(s[i + run], r, overshoot));
  return run + 1;
}

// Converts samples [i, n) of one channel into out[i..n-1].
QUORVEL_TARGET_SSE41 void ConvertChannel4(const Q28* s, uint32_t i, uint32_t n, int32_t& r, int32_t& overshoot,
                                          int16_t* out) {
  while (i + 4 <= n) i += Step4(s, i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)), r, overshoot, out);
  for (; i < n; ++i) out[i] = static_cast<int16_t>(ConvertClippingSample16(s[i], r, overshoot));
}

// Interleaves n samples of two channels into 16-bit little-endian pairs.
QUORVEL_TARGET_SSE41 void Interleave(const int16_t* left, const int16_t* right, uint32_t n, uint8_t* out) {
  uint32_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m128i l = _mm_load_si128(reinterpret_cast<const __m128i*>(left + k));
    const __m128i r = _mm_load_si128(reinterpret_cast<const __m128i*>(right + k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * k), _mm_unpacklo_epi16(l, r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * k + 16), _mm_unpackhi_epi16(l, r));
  }
  for (; k < n; ++k) {
    StoreLittleEndian16(out + 4 * k, left[k]);
    StoreLittleEndian16(out + 4 * k + 2, right[k]);
  }
}

}  // namespace

QUORVEL_TARGET_SSE41 int32_t WritePcmSse41(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                                           int32_t residual[2], int32_t& maxOvershoot) {
  int32_t r0 = residual[0], r1 = residual[1], overshoot = maxOvershoot;
  alignas(16) int16_t left[kChunk], right[kChunk];
  for (uint32_t start = 0; start < count; start += kChunk) {
    const uint32_t n = std::min(kChunk, count - start);
    ConvertChannel4(channel0 + start, 0, n, r0, overshoot, left);
    if (channel1 == nullptr) {
      std::memcpy(out + 2 * start, left, 2 * n);  // x86 is little-endian
      continue;
    }
    ConvertChannel4(channel1 + start, 0, n, r1, overshoot, right);
    Interleave(left, right, n, out + 4 * start);
  }
  residual[0] = r0;
  if (channel1) residual[1] = r1;
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * (channel1 ? 4 : 2));
}

namespace {

QUORVEL_TARGET_AVX2 inline __m256i Set8(int32_t v) { return _mm256_set1_epi32(v); }

QUORVEL_TARGET_AVX2 inline bool FastEligible8(__m256i s, int32_t r) {
  const __m256i out =
      _mm256_or_si256(_mm256_cmpgt_epi32(s, Set8(kFullHigh - 0x1FFF)), _mm256_cmpgt_epi32(Set8(kFullLow), s));
  return static_cast<uint32_t>(r) <= 0x1FFFu && _mm256_testz_si256(out, out);
}

// Eight in-range outputs; the residual after them waits for one addition.
QUORVEL_TARGET_AVX2 inline __m256i FastBlock8(__m256i s, int32_t& r) {
  __m256i q = _mm256_add_epi32(s, _mm256_slli_si256(s, 4));
  q = _mm256_add_epi32(q, _mm256_slli_si256(q, 8));  // running sums within each half
  const __m256i carry = _mm256_shuffle_epi32(q, 0xFF);
  q = _mm256_add_epi32(q, _mm256_permute2x128_si256(carry, carry, 0x08));
  const __m256i rv = Set8(r);
  const __m256i after = _mm256_and_si256(_mm256_add_epi32(q, rv), Set8(0x1FFF));
  const __m256i before =
      _mm256_blend_epi32(_mm256_permutevar8x32_epi32(after, _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6)), rv, 0x01);
  r = static_cast<int32_t>((static_cast<uint32_t>(r) + static_cast<uint32_t>(_mm256_extract_epi32(q, 7))) & 0x1FFFu);
  return _mm256_srai_epi32(_mm256_add_epi32(s, before), 13);
}

// Converts n samples of one channel into out[0..n-1]: eight at a time while
// certainly in range, otherwise as ConvertChannel4 does.
QUORVEL_TARGET_AVX2 void ConvertChannel8(const Q28* s, uint32_t n, int32_t& r, int32_t& overshoot, int16_t* out) {
  uint32_t i = 0;
  while (i + 8 <= n) {
    const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    if (FastEligible8(sv, r)) {
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(FastBlock8(sv, r), sv), 0x08);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(packed));
      i += 8;
      continue;
    }
    i += Step4(s, i, _mm256_castsi256_si128(sv), r, overshoot, out);
  }
  ConvertChannel4(s, i, n, r, overshoot, out);
}

}  // namespace

QUORVEL_TARGET_AVX2 int32_t WritePcmAvx2(uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                                         int32_t residual[2], int32_t& maxOvershoot) {
  int32_t r0 = residual[0], r1 = residual[1], overshoot = maxOvershoot;
  alignas(32) int16_t left[kChunk], right[kChunk];
  uint32_t i = 0;
  if (channel1) {
    // While both channels are certainly in range they go straight into the
    // interleaved output; from the first block that is not, each channel
    // goes on by itself and the two are interleaved afterwards.
    const __m256i low16 = Set8(0xFFFF);
    for (; i + 8 <= count; i += 8) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(channel0 + i));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(channel1 + i));
      if (!FastEligible8(a, r0) || !FastEligible8(b, r1)) break;
      const __m256i left8 = FastBlock8(a, r0);
      const __m256i right8 = FastBlock8(b, r1);
      // Channel 0 in the low half of each 32-bit pair: little-endian order.
      const __m256i pairs = _mm256_or_si256(_mm256_and_si256(left8, low16), _mm256_slli_epi32(right8, 16));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), pairs);
    }
  } else {
    // One channel goes straight into the output the same way.
    for (; i + 8 <= count; i += 8) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(channel0 + i));
      if (!FastEligible8(a, r0)) break;
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(FastBlock8(a, r0), a), 0x08);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm256_castsi256_si128(packed));
    }
  }
  for (uint32_t start = i; start < count; start += kChunk) {
    const uint32_t n = std::min(kChunk, count - start);
    ConvertChannel8(channel0 + start, n, r0, overshoot, left);
    if (channel1 == nullptr) {
      std::memcpy(out + 2 * start, left, 2 * n);  // x86 is little-endian
      continue;
    }
    ConvertChannel8(channel1 + start, n, r1, overshoot, right);
    Interleave(left, right, n, out + 4 * start);
  }
  residual[0] = r0;
  if (channel1) residual[1] = r1;
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * (channel1 ? 4 : 2));
}

// The full tier's rounding. packssdw is exactly the saturation to 16 bits.
// The overshoot is tracked as the largest magnitude v ^ (v >> 31) (0 to
// 2^31 - 1), from which the excess beyond full scale is one subtraction at
// the end: the maximum commutes with subtracting a constant.
namespace {

constexpr int32_t kExcessOffset = 0x0FFFFFFF;  // magnitude minus this is RoundSample16's excess

QUORVEL_TARGET_SSE41 inline __m128i Load4(const Q28* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// RoundSample16 of four samples before the packing; `largest` is raised lane
// by lane to their magnitudes.
QUORVEL_TARGET_SSE41 inline __m128i Round4(__m128i v, __m128i& largest) {
  largest = _mm_max_epi32(largest, _mm_xor_si128(v, _mm_srai_epi32(v, 31)));
  return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(v, 12), _mm_set1_epi32(1)), 1);
}

QUORVEL_TARGET_SSE41 inline __m128i Pack8(const Q28* p, __m128i& largest) {
  const __m128i a = Round4(Load4(p), largest);
  return _mm_packs_epi32(a, Round4(Load4(p + 4), largest));
}

// maxOvershoot raised to the excess of the largest magnitude in `lanes`
// (count of them), if any sample was seen.
inline void RaiseOvershoot(const int32_t* lanes, int count, bool seen, int32_t& overshoot) {
  if (!seen) return;
  int32_t magnitude = 0;
  for (int i = 0; i < count; ++i) magnitude = std::max(magnitude, lanes[i]);
  overshoot = std::max(overshoot, magnitude - kExcessOffset);
}

// What a vector writer leaves after its `blocks` samples per channel: the
// overshoot of their lane maxima, then the rest by the plain loop. Returns the
// bytes of all `count` samples.
inline int32_t FinishRounded(const int32_t* lanes, int laneCount, uint32_t blocks, uint8_t* out, uint32_t count,
                             const Q28* channel0, const Q28* channel1, int32_t& maxOvershoot) {
  const int channels = channel1 ? 2 : 1;
  int32_t overshoot = maxOvershoot;
  RaiseOvershoot(lanes, laneCount, blocks > 0, overshoot);
  WritePcmRoundedPlain(out + 2 * channels * blocks, count - blocks, channel0 + blocks,
                       channel1 ? channel1 + blocks : nullptr, overshoot);
  maxOvershoot = overshoot;
  return static_cast<int32_t>(count * 2 * channels);
}

}  // namespace

QUORVEL_TARGET_SSE41 int32_t WritePcmRoundedSse41(uint8_t* out, uint32_t count, const Q28* channel0,
                                                  const Q28* channel1, int32_t& maxOvershoot) {
  __m128i largest = _mm_setzero_si128();
  const uint32_t blocks = count / 8 * 8;
  for (uint32_t i = 0; i < blocks; i += 8) {
    const __m128i left = Pack8(channel0 + i, largest);
    if (channel1 == nullptr) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), left);
    } else {
      const __m128i right = Pack8(channel1 + i, largest);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_unpacklo_epi16(left, right));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i + 16), _mm_unpackhi_epi16(left, right));
    }
  }
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), largest);
  return FinishRounded(lanes, 4, blocks, out, count, channel0, channel1, maxOvershoot);
}

namespace {

QUORVEL_TARGET_AVX2 inline __m256i Round8(const Q28* p, __m256i& largest) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  largest = _mm256_max_epi32(largest, _mm256_xor_si256(v, _mm256_srai_epi32(v, 31)));
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(v, 12), _mm256_set1_epi32(1)), 1);
}

}  // namespace

// Eight samples of each channel per step. packssdw works within 128-bit
// halves: interleaving the rounded 32-bit values first ([L0 R0 L1 R1 | L4 R4
// L5 R5] and [L2 R2 L3 R3 | L6 R6 L7 R7]) makes its result the interleaved
// order; one channel packs sixteen samples and puts the quarters in order.
QUORVEL_TARGET_AVX2 int32_t WritePcmRoundedAvx2(uint8_t* out, uint32_t count, const Q28* channel0,
                                                const Q28* channel1, int32_t& maxOvershoot) {
  __m256i largest = _mm256_setzero_si256();
  const uint32_t step = channel1 ? 8 : 16;
  const uint32_t blocks = count / step * step;
  if (channel1 == nullptr) {
    for (uint32_t i = 0; i < blocks; i += 16) {
      const __m256i a = Round8(channel0 + i, largest);
      const __m256i b = Round8(channel0 + i + 8, largest);
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), packed);
    }
  } else {
    for (uint32_t i = 0; i < blocks; i += 8) {
      const __m256i left = Round8(channel0 + i, largest);
      const __m256i right = Round8(channel1 + i, largest);
      const __m256i packed =
          _mm256_packs_epi32(_mm256_unpacklo_epi32(left, right), _mm256_unpackhi_epi32(left, right));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), packed);
    }
  }
  alignas(32) int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), largest);
  return FinishRounded(lanes, 8, blocks, out, count, channel0, channel1, maxOvershoot);
}

}  // namespace quorvel

#endif  // QUORVEL_HAVE_X86_KERNELS
