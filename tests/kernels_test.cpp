// Every optimised kernel against its plain reference on seeded random input,
// extremes and wraparound included, at every level this processor runs (the
// plain level too, so a build without instruction-set kernels still checks
// the plain ones against the definitions); the linear requantisation and the
// 64-bit bit window against the definitions.
//
// QUORVEL_KERNELS=plain|sse4.1|avx2|neon forces that level for the whole
// test binary (the corpus tests run once per level through tests/kernels.cmake).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cpu.h"
#include "layers/layer1.h"
#include "layers/layer2_tables.h"
#include "layers/layer3_hybrid.h"
#include "layers/layer3_tables.h"
#include "layers/requant.h"
#include "output/pcm.h"
#include "reference/pcm_reference.h"
#include "reference/synthesis_reference.h"
#include "synth/synthesis.h"
#include "test_seed.h"

namespace quorvel {
namespace {

class ForcedKernels : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* wanted = std::getenv("QUORVEL_KERNELS");
    if (!wanted || !*wanted) return;
    if (const auto level = KernelLevelNamed(wanted)) {
      std::printf("kernels: %s (asked for %s)\n", KernelLevelName(ForceKernelLevel(*level)), wanted);
    } else {
      std::printf("kernels: unknown level '%s', keeping %s\n", wanted, KernelLevelName(ActiveKernelLevel()));
    }
  }
};
const auto* const kForcedKernels = ::testing::AddGlobalTestEnvironment(new ForcedKernels);

// The levels this build and processor run, plain first.
std::vector<KernelLevel> SupportedLevels() {
  std::vector<KernelLevel> levels;
  for (KernelLevel level : kAllKernelLevels) {
    if (KernelLevelSupported(level)) levels.push_back(level);
  }
  return levels;
}

struct Rng {
  uint32_t seed = test::TestSeed();
  std::mt19937 engine{seed};
  uint32_t Next() { return engine(); }
  // Extremes, full-range values, and values of the size decoding meets.
  int32_t Value(int mode, int32_t typical) {
    static constexpr int32_t kExtremes[] = {INT32_MIN, INT32_MAX, 0, -1, 1, 0x10000000, -0x10000000, 0x0FFFFFFF};
    const uint32_t r = Next();
    switch (mode % 3) {
      case 0:
        return kExtremes[r % 8];
      case 1:
        return static_cast<int32_t>(r);
      default:
        return static_cast<int32_t>(r % (2u * static_cast<uint32_t>(typical) + 1u)) - typical;
    }
  }
};

TEST(Kernels, SelectionFallsBackToWhatIsSupported) {
  const KernelLevel before = ActiveKernelLevel();
  EXPECT_EQ(ForceKernelLevel(KernelLevel::kPlain), KernelLevel::kPlain);
  EXPECT_EQ(ActiveKernelLevel(), KernelLevel::kPlain);
  const KernelLevel avx2 = ForceKernelLevel(KernelLevel::kAvx2);
  EXPECT_TRUE(KernelLevelSupported(avx2));
  EXPECT_EQ(ActiveKernelLevel(), avx2);
  EXPECT_TRUE(KernelLevelSupported(BestKernelLevel()));
  ForceKernelLevel(before);
}

// Each level has a name of its own, which names it back; nothing else names one.
TEST(Kernels, LevelNamesRoundTrip) {
  for (KernelLevel level : kAllKernelLevels) {
    const std::string name = KernelLevelName(level);
    EXPECT_EQ(KernelLevelNamed(name), level) << name;
    EXPECT_EQ(KernelLevelNamed(name + " "), std::nullopt) << name;
    EXPECT_EQ(KernelLevelNamed(name.substr(0, name.size() - 1)), std::nullopt) << name;
  }
  EXPECT_EQ(KernelLevelNamed(""), std::nullopt);
}

// A level this build or processor cannot run gets the plain kernels of every
// stage, never a version it would fault on.
TEST(Kernels, UnsupportedLevelsGetThePlainTables) {
  for (KernelLevel level : kAllKernelLevels) {
    if (KernelLevelSupported(level)) continue;
    SCOPED_TRACE(KernelLevelName(level));
    EXPECT_EQ(SynthesisKernelsFor(level).windowSlots, &WindowSlots);
    EXPECT_EQ(SynthesisKernelsFor(level).windowTails, &WindowTails);
    EXPECT_EQ(SynthesisKernelsFor(level).dct32Lanes, &Dct32LanesPlain);
    EXPECT_EQ(LayerKernelsFor(level).requantRows, &RequantRowsPlain);
    EXPECT_EQ(HybridKernelsFor(level).imdctLong, &ImdctLongPlain);
    EXPECT_EQ(HybridKernelsFor(level).antialias, &AntialiasPlain);
    EXPECT_EQ(HybridKernelsFor(level).imdctShort, &ImdctShortPlain);
    EXPECT_EQ(OutputKernelsFor(level).writePcm, &WritePcmPlain);
  }
  EXPECT_EQ(SynthesisKernelsFor(KernelLevel::kPlain).windowSlots, &WindowSlots);
  EXPECT_EQ(LayerKernelsFor(KernelLevel::kPlain).requantRows, &RequantRowsPlain);
  EXPECT_EQ(OutputKernelsFor(KernelLevel::kPlain).writePcm, &WritePcmPlain);
}

// Where NEON runs, its level takes the NEON version of every kernel that has
// one, in both tiers, so that the bit-identity tests below and in
// full_tier_test.cpp really run them (under qemu for 32-bit ARM and AArch64:
// scripts/cross-check.sh).
TEST(Kernels, NeonLevelTakesEveryNeonKernel) {
  if (!KernelLevelSupported(KernelLevel::kNeon)) GTEST_SKIP() << "no NEON in this build or processor";
  const SynthesisKernels& synthesis = SynthesisKernelsFor(KernelLevel::kNeon);
  const SynthesisKernels& plainSynthesis = SynthesisKernelsFor(KernelLevel::kPlain);
  const LayerKernels& layers = LayerKernelsFor(KernelLevel::kNeon);
  const LayerKernels& plainLayers = LayerKernelsFor(KernelLevel::kPlain);
  const OutputKernels& output = OutputKernelsFor(KernelLevel::kNeon);
  const OutputKernels& plainOutput = OutputKernelsFor(KernelLevel::kPlain);
  const struct {
    const char* kernel;
    const void* neon;
    const void* plain;
  } kernels[] = {
      {"windowSlots", reinterpret_cast<const void*>(synthesis.windowSlots),
       reinterpret_cast<const void*>(plainSynthesis.windowSlots)},
      {"windowTails", reinterpret_cast<const void*>(synthesis.windowTails),
       reinterpret_cast<const void*>(plainSynthesis.windowTails)},
      {"dct32Lanes", reinterpret_cast<const void*>(synthesis.dct32Lanes),
       reinterpret_cast<const void*>(plainSynthesis.dct32Lanes)},
      {"fullDct32x4", reinterpret_cast<const void*>(synthesis.fullDct32x4),
       reinterpret_cast<const void*>(plainSynthesis.fullDct32x4)},
      {"fullWindowSlots", reinterpret_cast<const void*>(synthesis.fullWindowSlots),
       reinterpret_cast<const void*>(plainSynthesis.fullWindowSlots)},
      {"requantRows", reinterpret_cast<const void*>(layers.requantRows),
       reinterpret_cast<const void*>(plainLayers.requantRows)},
      {"requantRowsFull", reinterpret_cast<const void*>(layers.requantRowsFull),
       reinterpret_cast<const void*>(plainLayers.requantRowsFull)},
      {"writePcm", reinterpret_cast<const void*>(output.writePcm), reinterpret_cast<const void*>(plainOutput.writePcm)},
      {"writePcmRounded", reinterpret_cast<const void*>(output.writePcmRounded),
       reinterpret_cast<const void*>(plainOutput.writePcmRounded)},
  };
  for (const auto& k : kernels) {
    EXPECT_NE(k.neon, nullptr) << k.kernel;
    EXPECT_NE(k.neon, k.plain) << k.kernel << " is the plain version at the NEON level";
  }
}

TEST(Kernels, WindowSlotsMatchTheDefinition) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  auto history = std::make_unique<ChannelHistory>();
  constexpr Q28 kSentinel = 0x5A5A5A5A;
  for (KernelLevel level : SupportedLevels()) {
    const SynthesisKernels& k = SynthesisKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 30; ++trial) {
      for (auto& row : history->value) {
        for (int32_t& v : row) v = rng.Value(trial, 0x20000);
      }
      for (int position = kCarriedSlots; position <= kHistoryColumns - 8; ++position) {
        const int count = 1 + (position + trial) % 8;
        Q28 fast[8 * 32], reference[8 * 32];
        std::fill(std::begin(fast), std::end(fast), kSentinel);
        k.windowSlots(*history, position, count, fast);
        reference::WindowSlots(*history, position, count, reference);
        for (int j = 0; j < 32 * count; ++j)
          ASSERT_EQ(fast[j], reference[j]) << name << " trial " << trial << " position " << position << " j " << j;
        for (int j = 32 * count; j < 8 * 32; ++j)
          ASSERT_EQ(fast[j], kSentinel) << name << " wrote past the slots: " << j;
      }
    }
  }
}

// Two histories at once, four lanes each: every slot as the definition
// gives it from its own history, into its own output, and nothing past the
// `count` slots of either output.
TEST(Kernels, WindowTailsMatchTheDefinition) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  auto first = std::make_unique<ChannelHistory>();
  auto second = std::make_unique<ChannelHistory>();
  constexpr Q28 kSentinel = 0x5A5A5A5A;
  for (KernelLevel level : SupportedLevels()) {
    const SynthesisKernels& k = SynthesisKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 30; ++trial) {
      for (ChannelHistory* h : {first.get(), second.get()}) {
        for (auto& row : h->value) {
          for (int32_t& v : row) v = rng.Value(trial, 0x20000);
        }
      }
      for (int position0 = kCarriedSlots; position0 <= kHistoryColumns - 8; position0 += 3) {
        const int position1 = kCarriedSlots + static_cast<int>(rng.Next() % (kHistoryColumns - 8 - kCarriedSlots + 1));
        const int count = 1 + (position0 + trial) % 4;
        Q28 fast[2][4 * 32], expected[2][4 * 32];
        for (auto& out : fast) std::fill(std::begin(out), std::end(out), kSentinel);
        k.windowTails(*first, position0, *second, position1, count, fast[0], fast[1]);
        reference::WindowSlots(*first, position0, count, expected[0]);
        reference::WindowSlots(*second, position1, count, expected[1]);
        for (int ch = 0; ch < 2; ++ch) {
          for (int j = 0; j < 32 * count; ++j)
            ASSERT_EQ(fast[ch][j], expected[ch][j])
                << name << " trial " << trial << " positions " << position0 << "," << position1 << " output " << ch
                << " j " << j;
          for (int j = 32 * count; j < 4 * 32; ++j)
            ASSERT_EQ(fast[ch][j], kSentinel) << name << " output " << ch << " written past the slots: " << j;
        }
      }
    }
  }
}

TEST(Kernels, Dct32LanesMatchesDct32Values) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  for (KernelLevel level : SupportedLevels()) {
    const SynthesisKernels& k = SynthesisKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 60; ++trial) {
      const int count = 1 + trial % 8;
      const int stride = trial % 2 ? 8 : kHistoryColumns;  // DctLanes, or rows of a history
      // Exactly `count` slots, so that a read beyond them is caught.
      std::vector<Q28> slots(32 * static_cast<size_t>(count));
      for (Q28& v : slots) v = rng.Value(trial / 8, 0x10000000);
      // Rows of `stride` values with a margin behind the last: nothing but
      // lanes 0..7 of each row may change.
      std::vector<int32_t> rows(32 * static_cast<size_t>(stride) + 8, 0x5A5A5A5A);
      k.dct32Lanes(slots.data(), count, rows.data(), stride);
      for (int j = 0; j < count; ++j) {
        int32_t x[32];
        Dct32Values(&slots[32 * static_cast<size_t>(j)], x);
        for (int m = 0; m < 32; ++m)
          ASSERT_EQ(rows[static_cast<size_t>(m * stride + j)], x[m])
              << name << " trial " << trial << " slot " << j << " m " << m;
      }
      for (size_t i = 0; i < rows.size(); ++i) {
        if (static_cast<int>(i % static_cast<size_t>(stride)) < 8 && i < 32u * static_cast<size_t>(stride)) continue;
        ASSERT_EQ(rows[i], 0x5A5A5A5A) << name << " wrote outside the lanes at " << i;
      }
    }
  }
}

TEST(Kernels, RequantRowsMatchesPlain) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  for (KernelLevel level : SupportedLevels()) {
    const LayerKernels& k = LayerKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 30; ++trial) {
      RequantParams params;
      for (int sb = 0; sb < 32; ++sb) {
        const bool silent = rng.Next() % 4 == 0;
        params.offset[sb] = silent ? 0 : rng.Value(trial, 0x1000000);
        params.step[sb] = silent ? 0 : rng.Value(trial, 0x4000);
        params.scale[sb] = silent ? 0 : rng.Value(trial, 0x2000);
      }
      const int rows = 1 + trial % 12;
      std::vector<Q28> plain(32 * static_cast<size_t>(rows)), fast;
      for (Q28& v : plain) v = rng.Value(trial + 1, 0xFFFF);
      fast = plain;
      RequantRowsPlain(plain.data(), rows, params);
      k.requantRows(fast.data(), rows, params);
      ASSERT_EQ(fast, plain) << name << " trial " << trial;
      for (int r = 0; r < rows; ++r) {
        for (int sb = 0; sb < 32; ++sb) {
          if (params.scale[sb] == 0) {
            ASSERT_EQ(plain[32 * static_cast<size_t>(r) + sb], 0) << "untransmitted subbands become 0";
          }
        }
      }
    }
  }
}

// Signals that cross every regime of the error feedback: kind 0 stays mostly
// in range, kind 1 jumps between levels beyond either rail with noise, kind 2
// holds levels beyond the rails long enough for the residual to grow to the
// 32-bit limit, with extreme spikes, and kind 3 stays close to the rails.
std::vector<Q28> PcmSignal(Rng& rng, size_t n, int kind) {
  static constexpr int32_t kLevels[] = {0,           0x18000000, -0x18000000, 0x0FFFF000,
                                        -0x10000000, 0x1C000000, -0x1FFFFFFF, 0x30000000};
  std::vector<Q28> s(n);
  int32_t level = 0;
  const uint32_t hold[] = {200, 12, 80, 1};
  for (size_t i = 0; i < n; ++i) {
    if (rng.Next() % hold[kind] == 0) level = kLevels[rng.Next() % 8];
    const uint32_t r = rng.Next();
    if (kind == 2) {
      s[i] = r % 64 == 0 ? (r & 1 ? INT32_MAX : INT32_MIN) : level;
    } else if (kind == 3) {  // within 2^16 of either rail: overshoots of every size
      s[i] = (r & 1 ? 0x0FFFFFFF : -0x10000000) + static_cast<int32_t>((r >> 1) % 0x10000) - 0x8000;
    } else {
      s[i] = WrapAdd(level, static_cast<int32_t>(r % 0x4000000) - 0x2000000);
    }
  }
  return s;
}

TEST(Kernels, WritePcmMatchesConvertSample) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  for (KernelLevel level : SupportedLevels()) {
    const OutputKernels& k = OutputKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 60; ++trial) {
      const bool stereo = trial % 2 == 0;
      const uint32_t count = trial % 5 == 0 ? 2500 + rng.Next() % 3000 : rng.Next() % 1200;  // beyond one chunk too
      const std::vector<Q28> left = PcmSignal(rng, count, trial % 4), right = PcmSignal(rng, count, (trial + 1) % 4);
      int32_t startResidual[2] = {rng.Value(trial, 0x1FFF), rng.Value(trial + 2, 0x1FFF)};
      const int32_t startOvershoot = trial % 4 == 0 ? 0 : static_cast<int32_t>(rng.Next() % 0x100000);

      std::vector<uint8_t> expected(count * 4u + 8, 0xA5), got(count * 4u + 8, 0xA5);
      int32_t expectedResidual[2] = {startResidual[0], startResidual[1]}, expectedOvershoot = startOvershoot;
      for (uint32_t i = 0; i < count; ++i) {
        const int32_t a = reference::ConvertSample(16, left[i], expectedResidual[0], expectedOvershoot);
        const size_t at = stereo ? 4u * i : 2u * i;
        expected[at] = static_cast<uint8_t>(a);
        expected[at + 1] = static_cast<uint8_t>(a >> 8);
        if (stereo) {
          const int32_t b = reference::ConvertSample(16, right[i], expectedResidual[1], expectedOvershoot);
          expected[at + 2] = static_cast<uint8_t>(b);
          expected[at + 3] = static_cast<uint8_t>(b >> 8);
        }
      }
      int32_t residual[2] = {startResidual[0], startResidual[1]}, overshoot = startOvershoot;
      const int32_t bytes =
          k.writePcm(got.data(), count, left.data(), stereo ? right.data() : nullptr, residual, overshoot);
      ASSERT_EQ(bytes, static_cast<int32_t>(count * (stereo ? 4 : 2))) << name;
      ASSERT_EQ(got, expected) << name << " trial " << trial << " (bytes beyond the output untouched too)";
      ASSERT_EQ(residual[0], expectedResidual[0]) << name << " trial " << trial;
      ASSERT_EQ(residual[1], stereo ? expectedResidual[1] : startResidual[1]) << name << " trial " << trial;
      ASSERT_EQ(overshoot, expectedOvershoot) << name << " trial " << trial;
    }
  }
}

// Runs of samples at the edges of the four-at-a-time blocks of the vector
// writers (the last value that stays in range with any in-range residual and
// the first that does not, full scale, the wrap of the 32-bit sum) after
// residuals at and beyond the in-range ones, against the plain writer.
TEST(Kernels, WritePcmAtTheEdgesOfItsBlocks) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  static constexpr Q28 kEdges[] = {kFullScaleLow,      kFullScaleLow - 1, kFullScaleHigh - 0x1FFF,
                                   kFullScaleHigh - 0x1FFE, kFullScaleHigh, kFullScaleHigh + 1,
                                   0x7FFFE000,         0x7FFFE001,        INT32_MAX,
                                   INT32_MIN,          0,                 -1};
  static constexpr int32_t kResiduals[] = {0, 1, 0x1FFF, 0x2000, -1, 0x7FFF, -0x8000, INT32_MAX, INT32_MIN};
  constexpr size_t kEdgeCount = sizeof kEdges / sizeof kEdges[0];
  for (KernelLevel level : SupportedLevels()) {
    const OutputKernels& k = OutputKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 400; ++trial) {
      const uint32_t count = 1 + rng.Next() % 23;
      std::vector<Q28> left(count), right(count);
      for (uint32_t i = 0; i < count; ++i) {
        // Mostly values just inside the blocks' bound, with an edge among them.
        left[i] = rng.Next() % 4 ? kFullScaleHigh - 0x1FFF - static_cast<Q28>(rng.Next() % 4)
                                 : kEdges[rng.Next() % kEdgeCount];
        right[i] = rng.Next() % 4 ? kFullScaleLow + static_cast<Q28>(rng.Next() % 4) : kEdges[rng.Next() % kEdgeCount];
      }
      const int32_t startResidual[2] = {kResiduals[trial % 9], kResiduals[(trial / 9) % 9]};
      for (const Q28* second : {static_cast<const Q28*>(nullptr), static_cast<const Q28*>(right.data())}) {
        std::vector<uint8_t> expected(count * 4u + 4, 0x5A), got(count * 4u + 4, 0x5A);
        int32_t expectedResidual[2] = {startResidual[0], startResidual[1]}, expectedOvershoot = trial % 5;
        int32_t residual[2] = {startResidual[0], startResidual[1]}, overshoot = trial % 5;
        const int32_t want =
            WritePcmPlain(expected.data(), count, left.data(), second, expectedResidual, expectedOvershoot);
        ASSERT_EQ(k.writePcm(got.data(), count, left.data(), second, residual, overshoot), want) << name;
        ASSERT_EQ(got, expected) << name << " trial " << trial << (second ? " stereo" : " mono");
        ASSERT_EQ(residual[0], expectedResidual[0]) << name << " trial " << trial;
        ASSERT_EQ(residual[1], expectedResidual[1]) << name << " trial " << trial;
        ASSERT_EQ(overshoot, expectedOvershoot) << name << " trial " << trial;
      }
    }
  }
}

// The long IMDCT of every level against the plain one: spectra of every
// size (extremes included, which saturate), every window, ranges that start
// and end anywhere (whole groups of four and the rest), both parities of the
// first subband; the outputs and the overlap outside the range untouched.
TEST(Kernels, ImdctLongMatchesPlain) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  constexpr Q28 kSentinel = 0x5A5A5A5A;
  for (KernelLevel level : SupportedLevels()) {
    const HybridKernels& k = HybridKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 300; ++trial) {
      // Exactly 576 lines, so that a read beyond them is caught.
      std::vector<Q28> xr(576);
      const int32_t typical = trial % 4 == 3 ? 0x40000000 : 0x10000000 >> (trial % 4 * 6);
      for (Q28& v : xr) v = rng.Next() % 5 == 0 ? 0 : rng.Value(trial / 4, typical);
      const int begin = trial % 7 == 0 ? 0 : static_cast<int>(rng.Next() % 33);
      const int end = begin + static_cast<int>(rng.Next() % (33 - begin));
      const int type = trial % 3;
      std::vector<Q28> overlap(18 * 32), out(18 * 32, kSentinel);
      for (Q28& v : overlap) v = rng.Value(trial / 2, 0x10000000);
      std::vector<Q28> plainOverlap = overlap, plainOut = out;
      ImdctLongPlain(xr.data(), begin, end, type, plainOverlap.data(), plainOut.data());
      k.imdctLong(xr.data(), begin, end, type, overlap.data(), out.data());
      ASSERT_EQ(out, plainOut) << name << " trial " << trial << " subbands " << begin << ".." << end;
      ASSERT_EQ(overlap, plainOverlap) << name << " trial " << trial << " subbands " << begin << ".." << end;
      for (int i = 0; i < 18 * 32; ++i) {
        if (i % 32 < begin || i % 32 >= end) {
          ASSERT_EQ(out[i], kSentinel) << name << " wrote outside the range: " << i;
        }
      }
    }
  }
}

// The long IMDCT at the edge of the fast kernels' small-line range (every
// line of four subbands below 2^27 in magnitude): lines at 2^27 - 1 (or
// 2^28 - 1) signed as one row's cosines so that this row is as loud as the
// range allows (or louder),
// lines of exactly 2^27 or INT32_MIN in one subband that must leave the
// range, and overlaps at the 32-bit limits, so that the overlap-add
// saturates with the loudest rows; every level against the plain one.
TEST(Kernels, ImdctLongMatchesPlainAtTheSmallLineBound) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  constexpr int32_t kBound = int32_t{1} << 27;
  constexpr int32_t kOverlaps[] = {INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1, 0, -1};
  for (KernelLevel level : SupportedLevels()) {
    const HybridKernels& k = HybridKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 18 * 6 * 4; ++trial) {
      const int row = trial % 18, sign = trial / 18 % 2 ? -1 : 1;
      const int32_t outside = trial / 36 % 3 == 0 ? kBound : trial / 36 % 3 == 1 ? -kBound : INT32_MIN;
      // Half the trials just inside the range, half with lines up to twice
      // it, whose rows would no longer fit in 32 bits.
      const int32_t magnitude = trial / 108 % 2 ? 2 * kBound - 1 : kBound - 1;
      std::vector<Q28> xr(576);
      for (int sb = 0; sb < 32; ++sb) {
        for (int i = 0; i < 18; ++i) {
          const int32_t c = kImdctCosQ28[row][i];
          const int32_t loud = c == 0 ? 0 : (c > 0) == (sign > 0) ? magnitude : -magnitude;
          xr[18 * sb + i] = rng.Next() % 8 == 0 ? static_cast<int32_t>(rng.Next() % magnitude) : loud;
        }
      }
      // One subband in the second group of four leaves the range.
      xr[18 * (4 + trial % 4) + static_cast<int>(rng.Next() % 18)] = outside;
      std::vector<Q28> overlap(18 * 32);
      for (Q28& v : overlap) v = kOverlaps[rng.Next() % std::size(kOverlaps)];
      std::vector<Q28> out(18 * 32), plainOverlap = overlap, plainOut = out;
      ImdctLongPlain(xr.data(), 0, 32, trial % 3, plainOverlap.data(), plainOut.data());
      k.imdctLong(xr.data(), 0, 32, trial % 3, overlap.data(), out.data());
      ASSERT_EQ(out, plainOut) << name << " trial " << trial;
      ASSERT_EQ(overlap, plainOverlap) << name << " trial " << trial;
    }
  }
}

// The short IMDCT of every level against the plain one, over any range of
// subbands: lines of the size decoding meets, lines just inside and at the
// vector kernel's small-line bound (2^27), extremes, and overlaps at the
// 32-bit limits so that the overlap-add saturates.
TEST(Kernels, ImdctShortMatchesPlain) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  constexpr int32_t kBound = int32_t{1} << 27;
  constexpr int32_t kEdges[] = {kBound - 1, -(kBound - 1), kBound, -kBound, INT32_MIN};
  constexpr int32_t kOverlaps[] = {INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1, 0, -1, 12345};
  for (KernelLevel level : SupportedLevels()) {
    const HybridKernels& k = HybridKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 400; ++trial) {
      std::vector<Q28> xr(576);
      for (Q28& v : xr) {
        // Every fourth trial mostly at the bound, a few lines past it.
        v = trial % 4 == 3 ? kEdges[rng.Next() % (rng.Next() % 16 == 0 ? 5 : 2)]
                           : rng.Value(trial, 0x1000000 >> (trial % 5 * 4));
      }
      std::vector<Q28> overlap(18 * 32);
      for (Q28& v : overlap) v = trial % 2 ? kOverlaps[rng.Next() % std::size(kOverlaps)] : rng.Value(trial, 1 << 26);
      const int begin = static_cast<int>(rng.Next() % 8), end = begin + static_cast<int>(rng.Next() % (33 - begin));
      std::vector<Q28> out(18 * 32, 7), plainOverlap = overlap, plainOut = out;
      ImdctShortPlain(xr.data(), begin, end, plainOverlap.data(), plainOut.data());
      k.imdctShort(xr.data(), begin, end, overlap.data(), out.data());
      ASSERT_EQ(out, plainOut) << name << " trial " << trial << " subbands " << begin << ".." << end;
      ASSERT_EQ(overlap, plainOverlap) << name << " trial " << trial << " subbands " << begin << ".." << end;
    }
  }
}

// The long IMDCT of small-line groups (every line below 2^27 in magnitude)
// whose overlap-add saturates or just misses: silent or loud spectra of the
// largest small lines in every sign pattern against overlaps at both 32-bit
// limits, where the odd subbands' odd slots negate a sum of exactly
// INT32_MIN; groups from an even and from an odd subband, every window;
// every level against the plain one.
TEST(Kernels, ImdctLongMatchesPlainWhereSmallLinesSaturate) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  constexpr int32_t kLargest = (int32_t{1} << 27) - 1;
  const struct {
    const char* name;
    int32_t (*line)(int k, uint32_t random);
  } spectra[] = {
      {"silence", [](int, uint32_t) { return 0; }},
      {"largest positive", [](int, uint32_t) { return kLargest; }},
      {"largest negative", [](int, uint32_t) { return -kLargest; }},
      {"alternating", [](int k, uint32_t) { return k & 1 ? -kLargest : kLargest; }},
      {"random signs", [](int, uint32_t r) { return r & 1 ? -kLargest : kLargest; }},
      {"random small", [](int, uint32_t r) { return static_cast<int32_t>(r % (2u * kLargest + 1u)) - kLargest; }},
  };
  const struct {
    const char* name;
    int32_t (*value)(uint32_t random);
  } overlaps[] = {
      {"INT32_MIN", [](uint32_t) { return INT32_MIN; }},
      {"INT32_MAX", [](uint32_t) { return INT32_MAX; }},
      {"either limit", [](uint32_t r) { return r & 1 ? INT32_MIN : INT32_MAX; }},
      {"near the limits", [](uint32_t r) { return static_cast<int32_t>(r | 0x7F000000u) ^ (r & 1 ? -1 : 0); }},
      {"any", [](uint32_t r) { return static_cast<int32_t>(r); }},
  };
  for (KernelLevel level : SupportedLevels()) {
    const HybridKernels& k = HybridKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (const auto& spectrum : spectra) {
      for (const auto& overlapKind : overlaps) {
        for (int trial = 0; trial < 6; ++trial) {
          std::vector<Q28> xr(576);
          for (int i = 0; i < 576; ++i) xr[i] = spectrum.line(i % 18, rng.Next());
          std::vector<Q28> overlap(18 * 32);
          for (Q28& v : overlap) v = overlapKind.value(rng.Next());
          const int begin = trial % 2, type = trial % 3;
          std::vector<Q28> out(18 * 32), plainOverlap = overlap, plainOut = out;
          ImdctLongPlain(xr.data(), begin, 32, type, plainOverlap.data(), plainOut.data());
          k.imdctLong(xr.data(), begin, 32, type, overlap.data(), out.data());
          ASSERT_EQ(out, plainOut) << name << " " << spectrum.name << " / " << overlapKind.name << " trial " << trial;
          ASSERT_EQ(overlap, plainOverlap) << name << " " << spectrum.name << " / " << overlapKind.name << " trial "
                                           << trial;
        }
      }
    }
  }
}

// The anti-alias butterflies of every level against the plain ones, over
// any count of boundaries, with values that saturate; lines no butterfly
// reaches stay as they were.
TEST(Kernels, AntialiasMatchesPlain) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  for (KernelLevel level : SupportedLevels()) {
    const HybridKernels& k = HybridKernelsFor(level);
    const char* name = KernelLevelName(level);
    for (int trial = 0; trial < 300; ++trial) {
      std::vector<Q28> plain(576);
      // Every fourth trial at the edge of the unsaturated case, 2^30.
      static constexpr int32_t kEdges[] = {(1 << 30) - 1, -((1 << 30) - 1), 1 << 30, -(1 << 30)};
      for (Q28& v : plain) {
        v = trial % 4 == 3 ? kEdges[rng.Next() % (trial % 8 == 3 ? 2 : 4)]
                           : rng.Value(trial, 0x10000000 >> (trial % 5 * 4));
      }
      std::vector<Q28> fast = plain;
      const std::vector<Q28> before = plain;
      const int boundaries = static_cast<int>(rng.Next() % 32);
      AntialiasPlain(plain.data(), boundaries);
      k.antialias(fast.data(), boundaries);
      ASSERT_EQ(fast, plain) << name << " trial " << trial << " boundaries " << boundaries;
      for (int line = 0; line < 576; ++line) {
        const int sb = line / 18, i = line % 18;
        const bool reached = (i >= 10 && sb + 1 <= boundaries) || (i < 8 && sb >= 1 && sb <= boundaries);
        if (!reached) {
          ASSERT_EQ(plain[line], before[line]) << "line " << line << " boundaries " << boundaries;
        }
      }
    }
  }
}

// The linear requantisation against the two FixMul of the definition, for
// every code of every class and a spread of scalefactors.
TEST(Kernels, LinearRequantisationIsExact) {
  const int scalefactors[] = {0, 1, 3, 17, 31, 62};
  auto check = [&](LinearRequant q, Q28 c, Q28 d, int nb, uint32_t codes, const char* what) {
    for (int index : scalefactors) {
      const Q28 scale = ScalefactorTable[index];
      for (uint32_t code = 0; code < codes; ++code) {
        const Q28 x = WrapAdd(d, WrapShl(static_cast<int32_t>(code) - (1 << (nb - 1)), 29 - nb));
        const Q28 expected = FixMul(scale, FixMul(c, x));
        ASSERT_EQ(WrapMul(CoefficientQ12(scale), LinearSignalQ16(q, code)), expected)
            << what << " nb " << nb << " code " << code;
      }
    }
  };
  for (int nb = 2; nb <= 15; ++nb) {
    check(Layer1Requant[nb], Layer1RequantTable[nb], 1 << (29 - nb), nb, 1u << nb, "layer I");
  }
  for (const QuantClassEntry& q : QuantClass) {
    const int nb = q.sampleBits ? q.sampleBits : q.codewordBits;
    check(MakeLinearRequant(q.C, q.D, nb), q.C, q.D, nb, 1u << nb, "layer II");
  }
}

// The 64-bit window reads what ReadBits reads, zeros past the buffer's end
// included, and leaves the reader where ReadBits would.
TEST(Kernels, BitCacheReadsLikeReadBits) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t size = rng.Next() % 40;
    std::vector<uint8_t> bytes(size);  // exactly this long: ASan sees any over-read
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng.Next());
    BitReader plain;
    StartReader(plain, bytes.data(), static_cast<uint32_t>(size), size ? rng.Next() % static_cast<uint32_t>(size) : 0);
    ReadBits(plain, static_cast<int>(rng.Next() % 8));  // any bit position
    BitReader cached = plain;
    BitCache cache = OpenCache(cached);
    for (int read = 0; read < 20; ++read) {
      const int n = 1 + static_cast<int>(rng.Next() % (read % 3 == 0 ? 32 : 16));
      if (cache.bits < n) RefillCache(cache);
      ASSERT_EQ(CacheRead(cache, n), ReadBits(plain, n)) << "trial " << trial << " read " << read << " of " << n;
    }
    CloseCache(cache, cached);
    EXPECT_EQ(cached.current, plain.current) << "trial " << trial;
    EXPECT_EQ(cached.bitsLeft, plain.bitsLeft) << "trial " << trial;
    if (plain.bitsLeft < 8) {
      EXPECT_EQ(cached.cachedByte, plain.cachedByte) << "trial " << trial;
    }
  }
}

// A refill leaves at least 56 bits, whatever the window held (0..55 bits,
// in the middle of a buffer or at its end): the Layer I code loop reads three
// codes of up to 15 bits per refill, the Layer II one a triple of up to 48.
TEST(Kernels, RefillLeavesAtLeast56Bits) {
  Rng rng;
  SCOPED_TRACE(testing::Message() << "seed " << rng.seed);
  for (size_t size : {size_t{12}, size_t{40}}) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng.Next());
    for (int before = 0; before <= 55; ++before) {
      BitReader plain;
      StartReader(plain, bytes.data(), static_cast<uint32_t>(size), 0);
      BitReader cached = plain;
      BitCache cache = OpenCache(cached);
      const int skip = cache.bits - before;  // the window then holds `before` bits
      ASSERT_GE(skip, 1);
      for (int left = skip; left > 0; left -= 8) {
        const int n = left < 8 ? left : 8;
        ASSERT_EQ(CacheRead(cache, n), ReadBits(plain, n));
      }
      ASSERT_EQ(cache.bits, before);
      RefillCache(cache);
      ASSERT_GE(cache.bits, 56) << "size " << size << ", " << before << " bits before the refill";
      for (int n : {15, 15, 15, 11}) {
        ASSERT_EQ(CacheRead(cache, n), ReadBits(plain, n)) << "size " << size << ", " << before << " bits before";
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
