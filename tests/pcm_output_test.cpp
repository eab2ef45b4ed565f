// 16-bit output: error feedback, clipping, the overshoot measure, the
// saturating sum of sample and residual, and the byte layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "output/pcm.h"
#include "reference/pcm_reference.h"
#include "test_seed.h"

namespace quorvel {
namespace {

// The 16-bit conversion as defined and the library's two forms of it, which
// must agree with it everywhere.
using Converter = int32_t (*)(Q28 sample, int32_t& residual, int32_t& maxOvershoot);
int32_t Defined16(Q28 sample, int32_t& residual, int32_t& maxOvershoot) {
  return reference::ConvertSample(16, sample, residual, maxOvershoot);
}
const struct {
  const char* name;
  Converter convert;
} kConverters[] = {{"definition", Defined16},
                   {"ConvertSample16", ConvertSample16},
                   {"ConvertClippingSample16", ConvertClippingSample16}};

TEST(PcmOutput, ConvertSampleSequences) {
  const struct {
    const char* name;
    std::vector<Q28> samples;
    std::vector<int32_t> outputs, residuals;
    int32_t maxOvershoot;
  } cases[] = {
      {"just below full scale", {0x0FFFFFFF}, {32767}, {0x1FFF}, 0},
      {"full scale clips", {0x10000000}, {32767}, {0x2000}, 1},
      {"-1.0 does not clip", {-0x10000000}, {-32768}, {0}, 0},
      {"below -1.0 clips", {-0x10000001}, {-32768}, {-1}, 1},
      {"rounds towards minus infinity", {-1}, {-1}, {0x1FFF}, 0},
      {"half a step twice", {0x1000, 0x1000}, {0, 1}, {0x1000, 0}, 0},
      {"run at 1.5",
       {0x18000000, 0x18000000, 0x18000000, 0, 0, 0},
       {32767, 32767, 32767, 32767, 16388, 0},
       {0x08002000, 0x10004000, 0x18006000, 0x08008000, 0, 0},
       0x08000001},
      {"run at -1.5",
       {-0x18000000, -0x18000000, 0, 0},
       {-32768, -32768, -32768, 0},
       {-0x08000000, -0x10000000, 0, 0},
       0x08000000},
  };
  for (const auto& converter : kConverters) {
    SCOPED_TRACE(converter.name);
    for (const auto& c : cases) {
      int32_t residual = 0, maxOvershoot = 0;
      for (size_t i = 0; i < c.samples.size(); ++i) {
        EXPECT_EQ(converter.convert(c.samples[i], residual, maxOvershoot), c.outputs[i]) << c.name << " #" << i;
        EXPECT_EQ(residual, c.residuals[i]) << c.name << " #" << i;
      }
      EXPECT_EQ(maxOvershoot, c.maxOvershoot) << c.name;
    }
  }
}

TEST(PcmOutput, LongRunBeyondFullScaleStaysAtTheRail) {
  for (const auto& converter : kConverters) {
    SCOPED_TRACE(converter.name);
    for (const Q28 level : {INT32_MAX, INT32_MIN, 0x70000000}) {
      int32_t residual = 0, maxOvershoot = 0;
      const int32_t rail = level > 0 ? 32767 : -32768;
      for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(converter.convert(level, residual, maxOvershoot), rail) << level << " sample " << i;
        ASSERT_TRUE(level > 0 ? residual > 0 : residual < 0) << "the residual wrapped at sample " << i;
      }
      EXPECT_EQ(residual, level > 0 ? INT32_MAX - 0x0FFFE000 : INT32_MIN + 0x10000000);
      EXPECT_EQ(maxOvershoot, level > 0 ? level - 0x0FFFFFFF : -0x10000000 - level) << "only the first is recorded";
      // The amount kept is worked off at the rail, never from the other side.
      for (int i = 0; i < 20; ++i) {
        const int32_t out = converter.convert(0, residual, maxOvershoot);
        EXPECT_TRUE(i < 6 ? out == rail : out * rail >= 0) << "zero sample " << i << " gave " << out;
      }
      EXPECT_TRUE(residual >= 0 && residual <= 0x1FFF) << residual;
    }
  }
}

// The conversion as written for the 32-bit sum, valid wherever the sum fits.
int32_t WrappingReference(Q28 sample, int32_t& residual, int32_t& maxOvershoot) {
  const int64_t v = static_cast<int64_t>(sample) + residual;
  const int64_t d = std::clamp<int64_t>(v, -0x10000000, 0x0FFFFFFF);
  const int64_t o = v > d ? v - d : d - v;
  if (o > maxOvershoot && residual > -0x8000 && residual < 0x8000) maxOvershoot = static_cast<int32_t>(o);
  const int64_t t = d & ~int64_t{0x1FFF};
  residual = static_cast<int32_t>(v - t);
  return static_cast<int32_t>(t >> 13);
}

TEST(PcmOutput, SaturationChangesNothingWhileTheSumFits) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<Q28> sample(-0x30000000, 0x30000000);
  for (const auto& converter : kConverters) {
    SCOPED_TRACE(converter.name);
    int32_t residual = 0, maxOvershoot = 0, refResidual = 0, refOvershoot = 0;
    for (int i = 0; i < 100000; ++i) {
      if (i % 1000 == 0) maxOvershoot = refOvershoot = 0;
      const Q28 s = i % 7 == 0 ? sample(rng) : sample(rng) / 4;
      ASSERT_EQ(converter.convert(s, residual, maxOvershoot), WrappingReference(s, refResidual, refOvershoot)) << i;
      ASSERT_EQ(residual, refResidual) << i;
      ASSERT_EQ(maxOvershoot, refOvershoot) << i;
    }
  }
}

TEST(PcmOutput, WritePcmLayout) {
  const Q28 left[3] = {0x1234 << 13, -2 * 8192, 0x10000000};
  const Q28 right[3] = {-0x10000000, 0x7F01 << 13, 0};
  uint8_t out[12];
  int32_t residual[2] = {0, 12345}, maxOvershoot = 0;
  ASSERT_EQ(WritePcm(out, 3, left, nullptr, residual, maxOvershoot), 6);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(residual[1], 12345) << "a single channel leaves residual 1 alone";
  EXPECT_EQ(maxOvershoot, 1);

  residual[0] = residual[1] = 0;
  ASSERT_EQ(WritePcm(out, 3, left, right, residual, maxOvershoot), 12);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 12),
            (std::vector<uint8_t>{0x34, 0x12, 0x00, 0x80, 0xFE, 0xFF, 0x01, 0x7F, 0xFF, 0x7F, 0x00, 0x00}));
  EXPECT_EQ(WritePcm(out, 0, left, right, residual, maxOvershoot), 0);
}

}  // namespace
}  // namespace quorvel
