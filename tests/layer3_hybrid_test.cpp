// The Layer III hybrid filterbank: its windows, the long IMDCT against a
// double-precision definition, the skipping of silent subbands against the
// full computation, and the mixed flag of start and stop blocks.
#include "layers/layer3_hybrid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "layers/layer3_tables.h"
#include "test_seed.h"

namespace quorvel {
namespace {

// The long windows by their definition: normal, start, stop.
double LongWindow(int type, int i) {
  const double normal = std::sin(M_PI / 36 * (i + 0.5));
  if (type == 1) {
    if (i < 18) return normal;
    if (i < 24) return 1.0;
    if (i < 30) return std::sin(M_PI / 12 * (i - 18 + 0.5));
    return 0.0;
  }
  if (type == 2) {
    if (i < 6) return 0.0;
    if (i < 12) return std::sin(M_PI / 12 * (i - 6 + 0.5));
    if (i < 18) return 1.0;
    return normal;
  }
  return normal;
}

// Rounded from the Q31 windows: within 0.5 + 1/8 of the definition.
TEST(Layer3Hybrid, WindowsInQ28) {
  for (int type = 0; type < 3; ++type) {
    for (int i = 0; i < 36; ++i) {
      EXPECT_EQ(kImdctWindowQ28[type][i], (kImdctWindowQ31[type][i] + 4) >> 3) << type << " " << i;
      EXPECT_NEAR(static_cast<double>(kImdctWindowQ28[type][i]), LongWindow(type, i) * (1 << 28), 0.625)
          << type << " " << i;
    }
  }
  EXPECT_EQ(kImdctWindowQ28[0][0], 11708990);
  EXPECT_EQ(kImdctWindowQ28[1][20], 268435456);
  EXPECT_EQ(kImdctWindowQ28[2][35], 11708990);
}

// One granule of long blocks from silence: each output is the windowed
// IMDCT (frequency inversion in the odd slots of odd subbands), each overlap
// value the second half, within two roundings and the tables' errors of
// the double-precision sum.
TEST(Layer3Hybrid, LongBlocksMatchTheDefinition) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  for (int type = 0; type < 3; ++type) {
    std::vector<Q28> xr(576);
    for (Q28& v : xr) v = static_cast<Q28>(rng() % 0x20000001u) - 0x10000000;  // +-1.0
    std::vector<Q28> out(576), overlap(576);
    ImdctLongPlain(xr.data(), 0, 32, type, overlap.data(), out.data());
    for (int sb = 0; sb < 32; ++sb) {
      for (int i = 0; i < 36; ++i) {
        double y = 0, magnitude = 0;
        for (int k = 0; k < 18; ++k) {
          y += xr[18 * sb + k] * std::cos(M_PI / 72 * (2 * i + 1 + 18) * (2 * k + 1));
          magnitude += std::fabs(xr[18 * sb + k]);
        }
        y *= LongWindow(type, i);
        const double got = i < 18 ? out[32 * i + sb] * ((sb & 1) && (i & 1) ? -1.0 : 1.0) : overlap[32 * (i - 18) + sb];
        // Two roundings, the cosines' error (0.5 in Q28) and the windows'
        // (0.625).
        const double tolerance = 1.5 + (0.5 * magnitude + 0.625 * std::fabs(y)) / (1 << 28);
        ASSERT_NEAR(got, y, tolerance) << "type " << type << " subband " << sb << " output " << i;
      }
    }
  }
}

struct BlockCase {
  const char* name;
  Layer3Block block;
};
constexpr BlockCase kBlockCases[] = {
    {"normal", {0, 0, 0}}, {"start", {1, 1, 0}},       {"short", {1, 2, 0}},
    {"stop", {1, 3, 0}},   {"mixed short", {1, 2, 1}}, {"mixed start", {1, 1, 1}},
};

// Granules of every kind with spectra that end anywhere: the filterbank told
// where the spectrum ends, keeping its own bound on the overlap, gives the
// same samples as one that transforms every subband of every granule.
TEST(Layer3Hybrid, SilentSubbandsCostNothingAndChangeNothing) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  for (int level : {0, 1}) {
    const KernelLevel kernels = level ? BestKernelLevel() : KernelLevel::kPlain;
    const KernelLevel before = ActiveKernelLevel();
    ForceKernelLevel(kernels);
    HybridOverlap skipping{}, full{};
    for (int granule = 0; granule < 400; ++granule) {
      const BlockCase& c = kBlockCases[rng() % 6];
      // Mostly short spectra, sometimes silence, sometimes all 576 lines.
      const int r = static_cast<int>(rng() % 10);
      const int active = r == 0 ? 0 : r == 1 ? 576 : static_cast<int>(rng() % 577);
      std::vector<Q28> xr(576, 0);
      for (int i = 0; i < active; ++i) xr[i] = rng() % 3 ? static_cast<Q28>(rng() % 0x8000001u) - 0x4000000 : 0;
      std::vector<Q28> xr2 = xr, a(576, 0x5A5A5A5A), b(576, 0x5A5A5A5A);
      HybridFilterbank(c.block, xr.data(), c.block.IsShort() ? 576 : active, skipping, a.data());
      full.subbands = 32;
      HybridFilterbank(c.block, xr2.data(), 576, full, b.data());
      ASSERT_EQ(a, b) << c.name << " granule " << granule << " active " << active;
      ASSERT_EQ(std::memcmp(skipping.value, full.value, sizeof full.value), 0) << c.name << " granule " << granule;
    }
    ForceKernelLevel(before);
  }
}

// A start or stop block with the mixed flag takes the normal window in its
// two lowest subbands and its own above them.
TEST(Layer3Hybrid, MixedFlagOnLongBlocksGivesTheLowSubbandsTheNormalWindow) {
  std::mt19937 rng(7);
  for (uint32_t blockType : {1u, 3u}) {
    std::vector<Q28> xr(576);
    for (Q28& v : xr) v = static_cast<Q28>(rng() % 0x2000001u) - 0x1000000;
    // The anti-alias butterflies first, as the filterbank takes them.
    std::vector<Q28> aliased = xr;
    HybridAntialias(aliased.data(), 31, 576);
    std::vector<Q28> want(576), wantOverlap(576, 0);
    ImdctLongPlain(aliased.data(), 0, 2, 0, wantOverlap.data(), want.data());
    ImdctLongPlain(aliased.data(), 2, 32, blockType == 1 ? 1 : 2, wantOverlap.data(), want.data());
    HybridOverlap overlap{};
    std::vector<Q28> got(576);
    HybridFilterbank(Layer3Block{1, blockType, 1}, xr.data(), 576, overlap, got.data());
    EXPECT_EQ(got, want) << "block type " << blockType;
  }
}

}  // namespace
}  // namespace quorvel
