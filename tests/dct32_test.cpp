// The fixed-point 32-point DCT: exact values that pin its rounding, and a
// double-precision DCT-II as the independent reference.
#include "synth/dct32.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "test_seed.h"

namespace quorvel {
namespace {

using Values = std::array<int32_t, 32>;

Values Transform(const std::array<Q28, 32>& in) {
  Values out;
  Dct32Values(in.data(), out.data());
  return out;
}

TEST(Dct32, ExactValues) {
  constexpr Values kCosine = {65536, 65456, 65216, 64817, 64272, 63570, 62700, 61676, 60544, 59264, 57796,
                              56187, 54481, 52642, 50632, 48500, 46336, 44059, 41587, 39011, 36404, 33707,
                              30865, 27949, 25069, 22127, 19027, 15877, 12766, 9625,  6381,  3126};
  std::array<Q28, 32> in{};
  EXPECT_EQ(Transform(in), Values{}) << "zero input";

  in[0] = 0x10000000;
  EXPECT_EQ(Transform(in), kCosine) << "unit impulse in subband 0";

  in = {};
  in[31] = -0x10000000;
  Values alternating = kCosine;
  for (int m = 0; m < 32; m += 2) alternating[m] = -alternating[m];
  EXPECT_EQ(Transform(in), alternating) << "-1 in subband 31";

  in.fill(0x01000000);
  Values dc{};
  dc[0] = 131072;
  EXPECT_EQ(Transform(in), dc) << "32 x 1/16";
}

TEST(Dct32, MatchesDoublePrecisionDctII) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  // Inputs up to +-0.2 keep every intermediate sum of the transform below 8.0.
  std::uniform_int_distribution<int32_t> value(-0x03333333, 0x03333333);
  double worst = 0, signal = 0, noise = 0;
  for (int trial = 0; trial < 500; ++trial) {
    std::array<Q28, 32> in;
    for (Q28& v : in) v = trial % 4 == 0 ? value(rng) >> (trial % 20) : value(rng);
    const Values x = Transform(in);
    for (int m = 0; m < 32; ++m) {
      double exact = 0;
      for (int k = 0; k < 32; ++k) exact += in[k] / 268435456.0 * std::cos(m * (2 * k + 1) * std::numbers::pi / 64);
      const double error = x[m] - exact * 65536;
      worst = std::max(worst, std::abs(error));
      signal += exact * exact * 65536 * 65536;
      noise += error * error;
    }
  }
  // The Q12 cosine constants bound the accuracy: about 67 dB and 100 units.
  EXPECT_LT(worst, 200.0) << "largest error in units of 2^-16";
  EXPECT_GT(10 * std::log10(signal / noise), 62.0) << "SNR in dB";
}

}  // namespace
}  // namespace quorvel
