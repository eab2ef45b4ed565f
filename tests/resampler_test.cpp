// Sample-rate conversion: the step table, rate lookup, output counts and the
// interpolation patterns of the simple ratios.
#include "output/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace quorvel {
namespace {

constexpr uint32_t kRoom = 8192;  // more than any block of up to 1152 samples yields

std::vector<Q28> RandomBlock(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Q28> block(1152);
  for (Q28& v : block) v = static_cast<Q28>(rng() % 0x20000000u) - 0x10000000;  // within full scale
  return block;
}

std::vector<Q28> Resample(int32_t from, int32_t to, const std::vector<Q28>& input, uint32_t n) {
  ResamplerState state;
  EXPECT_EQ(SetupResampler(state, from, to), 0);
  std::vector<Q28> out(kRoom);
  out.resize(ResampleBlock(state, n, input.data(), out.data(), kRoom));
  return out;
}

TEST(ResampleStepTable, IsTheRoundedRatioOfEveryPair) {
  for (int f = 0; f < 9; ++f) {
    for (int t = 0; t < 9; ++t) {
      const double ratio = static_cast<double>(ResampleRateTable[f]) * 268435456.0 / ResampleRateTable[t];
      EXPECT_EQ(ResampleStepTable[f][t], static_cast<Q28>(std::llround(ratio))) << f << "," << t;
    }
    EXPECT_EQ(ResampleStepTable[f][f], kOneQ28);
  }
  EXPECT_EQ(ResampleStepTable[0][8], 0x60000000);  // 48000 -> 8000
  EXPECT_EQ(ResampleStepTable[8][0], 0x02AAAAAB);  // 8000 -> 48000
  EXPECT_EQ(ResampleStepTable[0][1], 0x116A3B36);  // 48000 -> 44100
  EXPECT_EQ(ResampleStepTable[1][0], 0x0EB33333);  // 44100 -> 48000
  EXPECT_EQ(ResampleStepTable[2][0], 0x0AAAAAAB);  // 32000 -> 48000
}

TEST(SetupResampler, AcceptsOnlyTheNineRates) {
  const int32_t rates[] = {48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(RateIndex(rates[i]), i);
  for (int32_t bad : {0, -1, 1, 96000, 44101, 22000, -48000}) {
    EXPECT_EQ(RateIndex(bad), -1) << bad;
    ResamplerState state{0x1234, 0x5678};
    EXPECT_EQ(SetupResampler(state, bad, 48000), -1);
    EXPECT_EQ(SetupResampler(state, 48000, bad), -1);
    EXPECT_EQ(state.step, 0x1234);
    EXPECT_EQ(state.phase, 0x5678);
  }
  ResamplerState state{0x1234, 0x5678};
  EXPECT_EQ(SetupResampler(state, 24000, 48000), 0);
  EXPECT_EQ(state.step, 0x08000000);
  EXPECT_EQ(state.phase, 0);
}

// Counts are exact for the decoder's block sizes and bounded for all others
// (n = 0 and n = 1 give nothing between different rates).
TEST(ResampleBlock, OutputCounts) {
  const std::vector<Q28> input = RandomBlock(1);
  std::vector<Q28> out(kRoom);
  for (int32_t from : ResampleRateTable) {
    for (int32_t to : ResampleRateTable) {
      for (uint32_t n = 0; n <= 1152; ++n) {
        if (from == to && n != 384 && n != 1152) continue;
        ResamplerState state;
        SetupResampler(state, from, to);
        const uint32_t count = ResampleBlock(state, n, input.data(), out.data(), kRoom);
        if (from != to) {
          ASSERT_LE(count, n < 2 ? 0 : 6 * (n - 1)) << from << " -> " << to << ", n " << n;
        }
        if (n != 384 && n != 1152) continue;
        const uint64_t expected = from == to ? n : ((n - 1) * static_cast<uint64_t>(to) + from - 1) / from;
        EXPECT_EQ(count, expected) << from << " -> " << to << ", n " << n;
        EXPECT_EQ(ResampledCapacity(n, from, to), expected) << from << " -> " << to << ", n " << n;
      }
    }
  }
}

TEST(ResampleBlock, SimpleRatiosInterpolateExactly) {
  const std::vector<Q28> in = RandomBlock(3);
  EXPECT_EQ(Resample(44100, 44100, in, 1152), in);
  EXPECT_TRUE(Resample(44100, 44100, in, 0).empty());

  const std::vector<Q28> down = Resample(48000, 8000, in, 1152);
  ASSERT_EQ(down.size(), 192u);
  for (size_t k = 0; k < down.size(); ++k) ASSERT_EQ(down[k], in[6 * k]) << k;

  const std::vector<Q28> up6 = Resample(8000, 48000, in, 1152);
  ASSERT_EQ(up6.size(), 6906u);
  for (size_t k = 0; k < up6.size(); k += 6) ASSERT_EQ(up6[k], in[k / 6]) << k;
  EXPECT_EQ(up6[1], WrapAdd(in[0], FixMul(0x02AAAAAB, WrapSub(in[1], in[0]))));

  const std::vector<Q28> up2 = Resample(24000, 48000, in, 1152);
  ASSERT_EQ(up2.size(), 2302u);
  for (size_t i = 0; i < 1151; ++i) {
    ASSERT_EQ(up2[2 * i], in[i]) << i;
    ASSERT_EQ(up2[2 * i + 1], in[i] + ((in[i + 1] - in[i] + 0x800) >> 12) * 0x800) << i;
  }

  const struct {
    int32_t from, to;
    uint32_t count;
  } counts[] = {{48000, 44100, 1058}, {44100, 48000, 1253}};
  for (const auto& c : counts) EXPECT_EQ(Resample(c.from, c.to, in, 1152).size(), c.count);
}

TEST(ResampleBlock, FractionBelowHalfACoefficientStepGivesTheLeftNeighbour) {
  const Q28 in[2] = {0x01000000, 0x09000000};
  for (const auto& [phase, expected] : {std::pair{0x7FFF, 0x01000000}, std::pair{0x8000, 0x01008000}}) {
    ResamplerState state;
    SetupResampler(state, 48000, 44100);
    state.phase = phase;
    Q28 out[4] = {};
    ASSERT_EQ(ResampleBlock(state, 2, in, out, 4), 1u);
    EXPECT_EQ(out[0], expected) << std::hex << phase;
  }
}

// The full tier's conversion walks the input exactly as the compatible one
// does (the same counts, the same whole-sample positions) and interpolates
// from the exact difference: within half a Q28 unit of the double-precision
// line between the neighbours, saturated at the ends of the 32-bit range.
TEST(ResampleBlockFull, SamePositionsAsTheCompatibleTierAndExactInterpolation) {
  std::vector<Q28> in = RandomBlock(5);
  in[10] = INT32_MAX;  // a difference of nearly 2^32 to its neighbours
  in[11] = INT32_MIN;
  for (int32_t from : ResampleRateTable) {
    for (int32_t to : ResampleRateTable) {
      ResamplerState a, b;
      SetupResampler(a, from, to);
      SetupResampler(b, from, to);
      std::vector<Q28> compatible(kRoom), full(kRoom);
      const uint32_t n = ResampleBlock(a, 1152, in.data(), compatible.data(), kRoom);
      ASSERT_EQ(ResampleBlockFull(b, 1152, in.data(), full.data(), kRoom), n) << from << " -> " << to;
      EXPECT_EQ(a.phase, b.phase);
      // Replay the walk to know each output's neighbours and fraction.
      int64_t base = 0;
      int32_t phase = 0;
      const int32_t step = ResampleStepTable[RateIndex(from)][RateIndex(to)];
      for (uint32_t k = 0; k < n && from != to; ++k) {
        base += phase >> 28;
        const int32_t f = phase & 0x0FFFFFFF;
        const double left = in[base], right = in[base + 1];
        const double exact = std::clamp(left + (right - left) * f / 268435456.0, -2147483648.0, 2147483647.0);
        ASSERT_LE(std::fabs(full[k] - exact), 0.5) << from << " -> " << to << ", output " << k;
        if (f == 0) {  // whole-sample positions copy the sample
          ASSERT_EQ(full[k], compatible[k]);
        }
        phase = WrapAdd(f, step);
        const uint32_t nudged = static_cast<uint32_t>(WrapAdd(phase, 0x80));
        if ((nudged & 0x0FFFFF00u) == 0) phase = static_cast<int32_t>(nudged & 0xF0000000u);
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
