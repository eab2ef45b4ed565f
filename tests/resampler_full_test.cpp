// The full tier's band-limited rate converter: its prototype table, its
// coefficient rows, exact output counts over any block sizes, restarts that
// agree with a whole run, and its quality on tones (gain and spurs, measured
// by a 65536-point Blackman-Harris FFT before any 16-bit rounding).
#include "output/resampler_full.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

#include "output/resampler.h"
#include "test_seed.h"

namespace quorvel {
namespace {

constexpr int32_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

double BesselI0(double x) {
  double total = 1, term = 1;
  for (int k = 1; term > 1e-20 * total; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    total += term;
  }
  return total;
}

// The prototype by its defining formula (cutoff 0.495, half length 20,
// Kaiser beta 10.5), independently of the generator.
double Prototype(double t) {
  if (std::abs(t) >= 20) return 0;
  const double x = 2 * 0.495 * t;
  const double s = x == 0 ? 1 : std::sin(M_PI * x) / (M_PI * x);
  const double r = t / 20;
  return 2 * 0.495 * s * BesselI0(10.5 * std::sqrt(1 - r * r)) / BesselI0(10.5);
}

TEST(ResamplerFullTable, PrototypeMatchesItsFormula) {
  EXPECT_EQ(kPrototypeQ30[0], 1063004406);  // 2 * 0.495 in Q30
  for (const int k : {0, 1, 100, 128, 255, 256, 777, 1000, 2560, 4000, 5119, 5120}) {
    EXPECT_NEAR(kPrototypeQ30[k], Prototype(k / 256.0) * 1073741824.0, 1.0) << "k " << k;
  }
  for (int k = 5121; k < kPrototypeTaps; ++k) EXPECT_EQ(kPrototypeQ30[k], 0);
}

TEST(ResamplerFullTable, RatiosAndSizes) {
  struct Row {
    int32_t from, to;
    uint32_t up, down, half;
  };
  const Row rows[] = {
      {48000, 44100, 147, 160, 22}, {44100, 48000, 160, 147, 20}, {32000, 48000, 3, 2, 20},
      {48000, 16000, 1, 3, 60},     {22050, 44100, 2, 1, 20},     {8000, 48000, 6, 1, 20},
      {48000, 8000, 1, 6, 120},     {11025, 48000, 640, 147, 20}, {48000, 11025, 147, 640, 88},
      {44100, 44100, 1, 1, 0},
  };
  for (const Row& r : rows) {
    const ResampleRatio ratio = RatioOf(r.from, r.to);
    EXPECT_EQ(ratio.up, r.up) << r.from << " -> " << r.to;
    EXPECT_EQ(ratio.down, r.down) << r.from << " -> " << r.to;
    EXPECT_EQ(ratio.half, r.half) << r.from << " -> " << r.to;
  }
  EXPECT_EQ(RatioOf(44100, 44000).half, 0u);  // not one of the nine
  EXPECT_EQ(MaxTapCount(), 240u);
  EXPECT_EQ(MaxCoefficientCount(), 441u * 118u);  // 32000 -> 11025
}

// Every row of every pair: the coefficients are the prototype at their
// positions (within the interpolation's and the roundings' error), each row
// sums to unity gain within the passband ripple, and the absolute sums stay
// well below 4, the bound the 64-bit sums rely on.
TEST(ResamplerFullTable, EveryRowOfEveryPair) {
  for (const int32_t from : kRates) {
    for (const int32_t to : kRates) {
      const ResampleRatio r = RatioOf(from, to);
      if (r.half == 0) continue;
      const double d = std::max(r.up, r.down);
      const double scale = r.down > r.up ? static_cast<double>(r.up) / r.down : 1.0;
      double worstError = 0, worstSum = 0, largestAbs = 0;
      for (uint32_t p = 0; p < r.up; ++p) {
        int64_t sum = 0, absolute = 0;
        for (uint32_t i = 0; i < r.Taps(); ++i) {
          const int32_t c = PolyphaseCoefficient(r, p, i);
          sum += c;
          absolute += c < 0 ? -static_cast<int64_t>(c) : c;
          if (i % 7 == 0 || p % 5 == 0) {
            const double k = static_cast<double>(i) - r.half + 1;
            const double t = (k * r.up - p) / d;
            const double exact = Prototype(t) * scale * 1073741824.0;
            // The prototype ends with a step of 2e-5 at 20 periods; the
            // stencil of the last table interval straddles it.
            if (std::abs(t) < 20 - 2 / 256.0) {
              worstError = std::max(worstError, std::abs(c - exact));
            } else {
              EXPECT_LT(std::abs(c), 20000) << from << " -> " << to;
            }
          }
        }
        worstSum = std::max(worstSum, std::abs(sum / 1073741824.0 - 1));
        largestAbs = std::max(largestAbs, absolute / 1073741824.0);
      }
      EXPECT_LT(worstError, 4.0) << from << " -> " << to;
      EXPECT_LT(worstSum, 1e-4) << from << " -> " << to;
      EXPECT_LT(largestAbs, 2.5) << from << " -> " << to;
    }
  }
}

std::vector<Q28> RandomSignal(std::mt19937& rng, size_t n) {
  std::vector<Q28> v(n);
  for (Q28& x : v) x = static_cast<Q28>(rng() % 0x20000000u) - 0x10000000;
  return v;
}

// Runs the converter over `input` in blocks of the given sizes (cycled), then
// flushes; returns both channels' output.
std::pair<std::vector<Q28>, std::vector<Q28>> Convert(FullResampler& rs, const std::vector<Q28>& in0,
                                                      const std::vector<Q28>& in1,
                                                      const std::vector<uint32_t>& blocks) {
  std::vector<Q28> out0, out1, b0(FullResampler::kMaxOutput), b1(FullResampler::kMaxOutput);
  size_t at = 0, which = 0;
  while (at < in0.size()) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(blocks[which++ % blocks.size()], in0.size() - at));
    const uint32_t m = rs.Process(in0.data() + at, in1.data() + at, n, b0.data(), b1.data());
    out0.insert(out0.end(), b0.begin(), b0.begin() + m);
    out1.insert(out1.end(), b1.begin(), b1.begin() + m);
    at += n;
  }
  const uint32_t m = rs.Flush(b0.data(), b1.data());
  out0.insert(out0.end(), b0.begin(), b0.begin() + m);
  out1.insert(out1.end(), b1.begin(), b1.begin() + m);
  return {out0, out1};
}

// Every pair: exactly ceil(S L / M) samples for S input samples, and the
// same samples whatever the block sizes.
TEST(ResamplerFull, ExactCountAndTheSameOutputForAnyBlocks) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  FullResampler rs;
  for (const int32_t from : kRates) {
    for (const int32_t to : kRates) {
      const size_t length = 3000 + rng() % 3000;
      const std::vector<Q28> in0 = RandomSignal(rng, length), in1 = RandomSignal(rng, length);
      ASSERT_TRUE(rs.Setup(from, to));
      const auto whole = Convert(rs, in0, in1, {1152});
      const uint64_t expected = (static_cast<uint64_t>(length) * to + from - 1) / from;
      EXPECT_EQ(whole.first.size(), expected) << from << " -> " << to;
      EXPECT_EQ(rs.produced(), expected);
      rs.Reset();
      const auto cut = Convert(rs, in0, in1, {1, 384, 17, 1152, 576, 3});
      EXPECT_TRUE(cut == whole) << from << " -> " << to;
    }
  }
}

// A restart at input sample `position` gives, from the output index it
// returns on, the whole run's samples once the filter no longer reaches
// before `position`.
TEST(ResamplerFull, RestartAgreesWithTheWholeRun) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  FullResampler rs;
  for (const auto& [from, to] : {std::pair{48000, 44100}, {44100, 48000}, {32000, 48000}, {48000, 16000},
                                 {22050, 44100}, {11025, 48000}, {48000, 8000}}) {
    const std::vector<Q28> in = RandomSignal(rng, 8000);
    ASSERT_TRUE(rs.Setup(from, to));
    const auto whole = Convert(rs, in, in, {1152});
    const ResampleRatio r = rs.ratio();
    for (int trial = 0; trial < 5; ++trial) {
      const uint64_t position = rng() % 6000;
      const uint64_t first = rs.Restart(position);
      EXPECT_EQ(first, (position * r.up + r.down - 1) / r.down);
      const std::vector<Q28> tail(in.begin() + static_cast<std::ptrdiff_t>(position), in.end());
      const auto part = Convert(rs, tail, tail, {1152, 100});
      ASSERT_EQ(first + part.first.size(), whole.first.size()) << from << " -> " << to << " at " << position;
      // Output j reads input samples from floor(j M / L) - H + 1 on.
      uint64_t clean = first;
      while ((clean * r.down / r.up) + 1 < position + r.half) ++clean;
      for (uint64_t j = clean; j < whole.first.size(); ++j) {
        ASSERT_EQ(part.first[j - first], whole.first[j]) << from << " -> " << to << " at " << position << ", j " << j;
      }
    }
  }
}

TEST(ResamplerFull, EqualRatesPassTheSamplesThrough) {
  FullResampler rs;
  ASSERT_TRUE(rs.Setup(32000, 32000));
  std::mt19937 rng(5);
  const std::vector<Q28> in = RandomSignal(rng, 1000);
  const auto out = Convert(rs, in, in, {384});
  EXPECT_EQ(out.first, in);
  EXPECT_FALSE(rs.Setup(32000, 44000));
  EXPECT_EQ(rs.from(), 32000);
}

TEST(ResamplerFull, SaturatesInsteadOfWrapping) {
  FullResampler rs;
  ASSERT_TRUE(rs.Setup(44100, 48000));
  std::vector<Q28> in(4000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = (i / 3) % 2 ? INT32_MAX : INT32_MIN;  // overshoots ringing
  const auto out = Convert(rs, in, in, {1152});
  EXPECT_EQ(out.first.size(), 4354u);
  EXPECT_NE(std::count(out.first.begin(), out.first.end(), INT32_MAX), 0);
}

// --- Quality ---------------------------------------------------------------

constexpr size_t kFftSize = 65536;

void Fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t half = len / 2;
    for (size_t k = 0; k < half; ++k) {
      const double angle = -2 * M_PI * static_cast<double>(k) / static_cast<double>(len);
      const std::complex<double> w(std::cos(angle), std::sin(angle));
      for (size_t i = k; i < n; i += len) {
        const std::complex<double> u = a[i], v = a[i + half] * w;
        a[i] = u + v;
        a[i + half] = u - v;
      }
    }
  }
}

TEST(ResamplerFullQuality, FftFindsAKnownTone) {
  std::vector<std::complex<double>> a(kFftSize);
  for (size_t i = 0; i < kFftSize; ++i) a[i] = std::cos(2 * M_PI * 1000.0 * static_cast<double>(i) / kFftSize);
  Fft(a);
  EXPECT_NEAR(std::abs(a[1000]), kFftSize / 2.0, 1e-6);
  EXPECT_NEAR(std::abs(a[999]), 0, 1e-6);
}

struct ToneFigures {
  double gainDb = 0;   // output tone over input tone
  double spurDbc = 0;  // the largest bin outside the tone's, relative to it
};

// A -1 dBFS tone at output bin `bin`, converted, and its 65536 output samples
// in the steady state under a 4-term Blackman-Harris window. The tone lies
// on a bin, so its window spectrum occupies bins bin - 3 .. bin + 3 alone.
ToneFigures MeasureTone(FullResampler& rs, int32_t from, int32_t to, size_t bin) {
  const ResampleRatio r = rs.ratio();
  rs.Reset();
  const double amplitude = std::pow(10.0, -1.0 / 20) * 268435456.0;
  const double frequency = static_cast<double>(bin) * to / kFftSize;
  const size_t skip = (r.half + 2) * r.up / r.down + 8;  // outputs that still see the silent past
  const size_t inputs = (skip + kFftSize + 4) * r.down / r.up + r.half + 4;
  std::vector<Q28> in(inputs);
  for (size_t i = 0; i < inputs; ++i) {
    in[i] = static_cast<Q28>(std::lround(amplitude * std::sin(2 * M_PI * frequency * i / from + 0.3)));
  }
  std::vector<Q28> out, block(FullResampler::kMaxOutput);
  for (size_t at = 0; at < inputs; at += FullResampler::kMaxBlock) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(FullResampler::kMaxBlock, inputs - at));
    const uint32_t m = rs.Process(in.data() + at, nullptr, n, block.data(), nullptr);
    out.insert(out.end(), block.begin(), block.begin() + m);
  }
  EXPECT_GE(out.size(), skip + kFftSize);
  std::vector<std::complex<double>> a(kFftSize);
  double windowSum = 0;
  for (size_t i = 0; i < kFftSize; ++i) {
    const double x = 2 * M_PI * static_cast<double>(i) / kFftSize;
    const double w = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
    windowSum += w;
    a[i] = w * out[skip + i];
  }
  Fft(a);
  ToneFigures f;
  const double peak = std::abs(a[bin]);
  f.gainDb = 20 * std::log10(peak / (amplitude * windowSum / 2));
  double spur = 0;
  for (size_t k = 0; k <= kFftSize / 2; ++k) {
    if (k + 3 >= bin && k <= bin + 3) continue;
    spur = std::max(spur, std::abs(a[k]));
  }
  f.spurDbc = 20 * std::log10(std::max(spur, 1e-300) / peak);
  return f;
}

// 24 tones from 0.005 to 0.42 of the lower rate at each of the five ratios.
TEST(ResamplerFullQuality, GainAndSpursAtTheFiveRatios) {
  FullResampler rs;
  for (const auto& [from, to] : {std::pair{48000, 44100}, {44100, 48000}, {32000, 48000}, {48000, 16000},
                                 {22050, 44100}}) {
    ASSERT_TRUE(rs.Setup(from, to));
    const double lower = std::min(from, to);
    double worstGain = 0, worstSpur = -400;
    double spurAt = 0;
    for (int t = 0; t < 24; ++t) {
      const double fraction = t == 23 ? 0.42 : 0.005 + t * (0.415 / 23);
      const size_t bin = static_cast<size_t>(std::floor(fraction * lower * kFftSize / to));
      const ToneFigures f = MeasureTone(rs, from, to, bin);
      EXPECT_LE(std::abs(f.gainDb), 0.005) << from << " -> " << to << " at bin " << bin;
      EXPECT_LE(f.spurDbc, -100) << from << " -> " << to << " at bin " << bin;
      if (std::abs(f.gainDb) > std::abs(worstGain)) worstGain = f.gainDb;
      if (f.spurDbc > worstSpur) {
        worstSpur = f.spurDbc;
        spurAt = static_cast<double>(bin) * to / kFftSize;
      }
    }
    std::printf("[ quality  ] %5d -> %5d Hz: %3u taps, worst gain error %+.6f dB, worst spur %.1f dBc (tone %.0f Hz)\n",
                from, to, rs.ratio().Taps(), worstGain, worstSpur, spurAt);
  }
}

}  // namespace
}  // namespace quorvel
