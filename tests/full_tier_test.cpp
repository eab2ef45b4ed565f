// The stages of the full-accuracy tier against double-precision formulas:
// requantisation, the DCT, the synthesis as ISO/IEC 11172-3 defines it, the
// rounded 16-bit output and the gains; and the tables they rest on.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "cpu.h"
#include "layers/layer1.h"
#include "layers/layer2_tables.h"
#include "layers/requant.h"
#include "layers/requant_full.h"
#include "output/equaliser.h"
#include "output/equaliser_full.h"
#include "output/pcm.h"
#include "output/pcm_full.h"
#include "synth/synthesis_full.h"
#include "synth/synthesis_headroom.h"
#include "test_seed.h"

namespace quorvel {
namespace {

// The kernel levels this build and processor run: every kernel version is
// checked against the plain one on each.
std::vector<KernelLevel> SupportedLevels() {
  std::vector<KernelLevel> levels;
  for (KernelLevel level : kAllKernelLevels) {
    if (KernelLevelSupported(level)) levels.push_back(level);
  }
  return levels;
}

constexpr double kTwo28 = 268435456.0;

// ---- requantisation -------------------------------------------------------

TEST(FullRequant, PlanClassesHaveTheLevelsOfTheirAllocations) {
  for (int q = 0; q < 17; ++q) EXPECT_EQ(kPlanLevels[q + 1], QuantClass[q].levels) << q;
  for (int nb = 2; nb <= 15; ++nb) EXPECT_EQ(kPlanLevels[Layer1QuantClass[nb]], (1u << nb) - 1) << nb;
  EXPECT_EQ(Layer1QuantClass[0], 0);
}

TEST(FullRequant, FactorTable) {
  for (int j = 0; j < 3; ++j) {
    const long double exact = std::ldexp(std::exp2l(-j / 3.0L), 62);
    EXPECT_NEAR(static_cast<long double>(kCubeRootMantissa62[j]) / exact, 1.0L, 1e-15L) << j;
  }
  EXPECT_EQ(FullRequantFactor[1][0], 768614336404564651);  // round(2^61 / 3)
  EXPECT_EQ(FullRequantFactor[17][3], 17592454483968);     // round(2^60 / 65535)
  EXPECT_EQ(FullRequantFactor[0][0], 0);
  EXPECT_EQ(FullRequantFactor[5][63], 0);
}

// Every class, every scalefactor, the lowest and highest codes of each class
// (including the all-ones code an ungrouped class never sends): the result
// is the exact value rounded to Q28, half up, within 2^-10 of a last bit.
TEST(FullRequant, SamplesAreTheExactValueRounded) {
  for (int q = 1; q <= 17; ++q) {
    const uint32_t levels = kPlanLevels[q];
    const bool grouped = q == 1 || q == 2 || q == 4;
    const uint32_t top = grouped ? levels - 1 : levels;  // ungrouped codes have nb bits: 0..2^nb - 1 = L
    for (int i = 0; i < 63; ++i) {
      const FullRequantTerm t = MakeFullRequantTerm(q, i);
      const long double scale = std::exp2l(1.0L - i / 3.0L) * kTwo28 / levels;
      for (uint32_t c = 0; c <= top; c = c == 40 && top > 80 ? top - 40 : c + 1) {
        const long double exact = (2.0L * c - (levels - 1.0L)) * scale;
        const long double got = RequantFullSample(t, static_cast<int32_t>(c));
        ASSERT_LE(std::fabs(got - exact), 0.5L + 1.0L / 1024) << "class " << q << " scalefactor " << i << " code " << c;
        ASSERT_EQ(got, std::floor(exact + 0.5L)) << "class " << q << " scalefactor " << i << " code " << c;
      }
    }
  }
  // Nothing transmitted: 0 whatever the code.
  EXPECT_EQ(RequantFullSample(MakeFullRequantTerm(0, 0), 12345), 0);
}

TEST(FullRequant, RowsFollowThePlan) {
  auto frame = std::make_unique<FrameState>();
  frame->layer = 2;
  frame->modeCode = kModeStereo;
  RequantPlan& plan = frame->plan;
  plan.parts = 3;
  std::mt19937 rng(7);
  for (int ch = 0; ch < 2; ++ch) {
    for (int sb = 0; sb < 32; ++sb) {
      plan.quantClass[ch][sb] = static_cast<uint8_t>(sb % 3 == 2 ? 0 : 1 + rng() % 17);
      for (int p = 0; p < 3; ++p) plan.scalefactor[ch][sb][p] = static_cast<uint8_t>(rng() % 63);
    }
  }
  auto codes = std::make_unique<SubbandSamples>();
  for (int ch = 0; ch < 2; ++ch) {
    for (int i = 0; i < kSamplesPerChannel; ++i) {
      const int q = plan.quantClass[ch][i % 32];
      (*codes)[ch][i] = static_cast<Q28>(q ? rng() % kPlanLevels[q] : rng());
    }
  }
  frame->samples = *codes;
  RequantFull(*frame);
  for (int ch = 0; ch < 2; ++ch) {
    for (int i = 0; i < kSamplesPerChannel; ++i) {
      const int sb = i % 32, part = i / 384;
      const Q28 expected = RequantFullSample(
          MakeFullRequantTerm(plan.quantClass[ch][sb], plan.scalefactor[ch][sb][part]), (*codes)[ch][i]);
      ASSERT_EQ(frame->samples[ch][i], expected) << ch << " " << i;
    }
  }
}

TEST(FullRequant, KernelsGiveThePlainBits) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  for (KernelLevel level : SupportedLevels()) {
    SCOPED_TRACE(KernelLevelName(level));
    const auto kernel = LayerKernelsFor(level).requantRowsFull;
    for (int trial = 0; trial < 300; ++trial) {
      FullRequantTerm terms[32];
      for (FullRequantTerm& t : terms) {
        const int q = static_cast<int>(rng() % 18);
        t = MakeFullRequantTerm(q, static_cast<int>(rng() % 63));
      }
      alignas(32) Q28 plain[12 * 32], avx2[12 * 32];
      for (Q28& c : plain) c = static_cast<Q28>(trial < 200 ? rng() % 65536 : rng() >> 1);  // then any code below 2^31
      std::copy(std::begin(plain), std::end(plain), avx2);
      RequantRowsFull(plain, 12, terms);
      kernel(avx2, 12, terms);
      for (int i = 0; i < 12 * 32; ++i) ASSERT_EQ(avx2[i], plain[i]) << "trial " << trial << " entry " << i;
    }
  }
}

// ---- DCT and synthesis ------------------------------------------------------

TEST(FullSynthesis, WindowTableIsTheStandardsWindowInQ16) {
  // D[i] * 65536 for a few coefficients of ISO/IEC 11172-3 Table 3-B.3.
  EXPECT_EQ(SynthesisWindowQ16[0][8], 75038);    // D[256] = 1.144989014
  EXPECT_EQ(SynthesisWindowQ16[0][7], -37489);   // D[224] = -0.572036743
  EXPECT_EQ(SynthesisWindowQ16[1][0], -1);       // D[1] = -0.000015259
  EXPECT_EQ(SynthesisWindowQ16[16][0], -5);      // D[16] = -0.000076294
  EXPECT_EQ(SynthesisWindowQ16[16][7], -64019);  // D[240] = -0.976852417
  EXPECT_EQ(SynthesisWindowQ16[8][8], 72169);    // D[264] = 1.101211548
  for (int j = 0; j <= 16; ++j) {
    for (int a = 0; a < 16; ++a) {
      EXPECT_EQ(SynthesisWindowQ16[j][a + 16], SynthesisWindowQ16[j][a]) << j << "," << a;
      // The compatible Q14 table is this one divided by 4, halves away from zero.
      const int32_t k = SynthesisWindowQ16[j][a];
      EXPECT_EQ(SynthesisWindow[j][a], k >= 0 ? (k + 2) / 4 : -((-k + 2) / 4)) << j << "," << a;
    }
  }
}

TEST(FullSynthesis, CosineTables) {
  const int64_t* tables[] = {FullDctCos32, FullDctCos16, FullDctCos8, FullDctCos4, FullDctCos2};
  for (int level = 0; level < 5; ++level) {
    const int n = 32 >> level;
    for (int i = 0; i < n / 2; ++i) {
      const long double exact =
          std::ldexp(std::cos((2 * i + 1) * 3.14159265358979323846264338L / (2 * n)), kFullDctCosBits);
      EXPECT_LE(std::fabs(tables[level][i] - exact), 0.5L + 1e-6L) << n << " " << i;
    }
  }
}

void ExactDct(const Q28* s, long double out[32]) {
  for (int m = 0; m < 32; ++m) {
    long double sum = 0;
    for (int k = 0; k < 32; ++k) sum += s[k] * std::cos(m * (2 * k + 1) * 3.14159265358979323846264338L / 64);
    out[m] = sum * 4;  // Q30
  }
}

// Error of the DCT in Q30 against the exact transform, in units of Q30:
// from realistic input (|s| < 2), from any 32-bit input, and from inputs at
// the rails (the largest values every level reaches). The products are
// exact; what remains is their rounding and the cosines' 2^-32, which grows
// with the signal: 2^-23 of full scale at the rails.
TEST(FullSynthesis, DctIsCloseToTheExactTransform) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  struct Range {
    const char* name;
    int32_t limit;  // 0: rails only
    double maxError;
  } ranges[] = {{"realistic", 1 << 29, 64.0}, {"any", INT32_MAX, 160.0}, {"rails", 0, 200.0}};
  for (const Range& range : ranges) {
    std::uniform_int_distribution<int32_t> value(-range.limit, range.limit);
    double worst = 0;
    for (int trial = 0; trial < 2000; ++trial) {
      Q28 s[32];
      for (int k = 0; k < 32; ++k) {
        s[k] = range.limit ? value(rng) : (rng() & 1 ? INT32_MAX : INT32_MIN);
        if (range.limit == 0 && trial < 32) s[k] = (k == trial || trial == 0) ? INT32_MIN : INT32_MAX;
      }
      int64_t got[32];
      long double exact[32];
      FullDct32(s, got);
      ExactDct(s, exact);
      for (int m = 0; m < 32; ++m) worst = std::max(worst, static_cast<double>(std::fabs(got[m] - exact[m])));
    }
    std::printf("DCT error, %s input: %.2f units of Q30\n", range.name, worst);
    EXPECT_LE(worst, range.maxError) << range.name;
  }
}

// The filterbank exactly as ISO/IEC 11172-3 writes it, in long double: the
// 1024-value V, the 512-value U and W, and the sums of W.
struct ExactSynthesis {
  long double v[1024] = {};
  long double d[512];
  ExactSynthesis() {
    for (int i = 0; i < 512; ++i) {
      const int j = i % 32, a = i / 32;
      // Rows 17..31 from the symmetry D[512 - i] = -D[i].
      d[i] = (j <= 16 ? SynthesisWindowQ16[j][a] : -SynthesisWindowQ16[32 - j][15 - a]) / 65536.0L;
    }
  }
  void Slot(const Q28* s, long double out[32]) {
    for (int i = 1023; i >= 64; --i) v[i] = v[i - 64];
    for (int i = 0; i < 64; ++i) {
      long double sum = 0;
      for (int k = 0; k < 32; ++k) sum += std::cos((16 + i) * (2 * k + 1) * 3.14159265358979323846264338L / 64) * s[k];
      v[i] = sum / kTwo28;
    }
    for (int j = 0; j < 32; ++j) {
      long double sum = 0;
      for (int i = 0; i < 8; ++i) sum += v[128 * i + j] * d[64 * i + j] + v[128 * i + 96 + j] * d[64 * i + 32 + j];
      out[j] = sum;
    }
  }
};

// Layer II and Layer I frames, enough of each that the history moves its
// last slots to the front several times.
TEST(FullSynthesis, FramesMatchTheStandardsFilterbank) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  struct Case {
    uint32_t layer;
    int frames;
  } cases[] = {{2, 6}, {1, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layer == 2 ? "Layer II" : "Layer I");
    auto frame = std::make_unique<FrameState>();
    frame->layer = c.layer;
    frame->modeCode = kModeStereo;
    frame->sampleRate = 44100;
    const int slots = SlotsPerFrame(*frame);
    auto state = std::make_unique<FullSynthesisState>();
    ResetFullSynthesis(*state);
    auto pcm = std::make_unique<PcmBlock>();
    auto exact = std::make_unique<ExactSynthesis[]>(2);
    std::normal_distribution<double> gauss(0.0, 1.0);
    double squares = 0, worst = 0;
    int count = 0;
    for (int f = 0; f < c.frames; ++f) {
      // Loud, decaying with the subband, clipped to the range a stream reaches.
      for (int ch = 0; ch < 2; ++ch) {
        for (int i = 0; i < kSamplesPerChannel; ++i) {
          const double x = gauss(rng) * 0.6 / (1 + (i % 32) / 4.0);
          frame->samples[ch][i] = static_cast<Q28>(std::clamp(x, -1.99, 1.99) * kTwo28);
        }
      }
      SynthesizeFrameFull(*state, *frame, *pcm);
      ASSERT_EQ(pcm->samplesPerChannel, 32 * slots);
      ASSERT_EQ(pcm->channels, 2);
      for (int ch = 0; ch < 2; ++ch) {
        for (int slot = 0; slot < slots; ++slot) {
          long double out[32];
          exact[ch].Slot(&frame->samples[ch][slot * 32], out);
          for (int j = 0; j < 32; ++j) {
            const double e = static_cast<double>(pcm->samples[ch][slot * 32 + j] - out[j] * kTwo28);
            squares += e * e;
            worst = std::max(worst, std::fabs(e));
            ++count;
          }
        }
      }
    }
    // In Q28 units (one 16-bit step is 8192 of them): about 2^-10 and 2^-8 of
    // a step.
    const double rms = std::sqrt(squares / count);
    std::printf("synthesis error, layer %u: rms %.2f, largest %.2f units of Q28\n", c.layer, rms, worst);
    EXPECT_LE(rms, 8.0);
    EXPECT_LE(worst, 32.0);
  }
}

TEST(FullSynthesis, WindowKernelsGiveThePlainBits) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  for (KernelLevel level : SupportedLevels()) {
    SCOPED_TRACE(KernelLevelName(level));
    const auto kernel = SynthesisKernelsFor(level).fullWindowSlots;
    // History values lie below 2^30 in magnitude (the clamped input keeps them there).
    const int32_t limit = (1 << 30) - 1;
    const int32_t extremes[] = {-limit, limit, 0, -1, 1, 1 << 24, -(1 << 24)};
    std::uniform_int_distribution<int32_t> any(-limit, limit);
    auto history = std::make_unique<FullChannelHistory>();
    int32_t* values = &history->slot[0].even[0];
    const size_t n = sizeof(FullChannelHistory) / sizeof(int32_t);  // all of it: the kernel reads the slots and first[]
    for (int trial = 0; trial < 300; ++trial) {
      for (size_t i = 0; i < n; ++i) {
        // Realistic levels, then the full range, then rails (saturating
        // sums), then realistic levels with a single rail among them.
        values[i] = trial < 80    ? static_cast<int32_t>(rng()) >> 8
                    : trial < 160 ? any(rng)
                    : trial < 200 ? extremes[rng() % (trial < 180 ? 7 : 2)]
                                  : static_cast<int32_t>(rng()) >> 8;
      }
      if (trial >= 200) values[rng() % n] = extremes[rng() % 2];
      const int count = 1 + trial % kFullSlotsPerFrame;
      const int index = kFullCarriedSlots + static_cast<int>(rng() % (kFullSlotsPerFrame - count + 1));
      std::vector<Q28> plain(32 * count), fast(32 * count + 1);
      fast[32 * count] = 0x5A5A5A5A;
      FullWindowSlotsPlain(*history, index, count, plain.data());
      kernel(*history, index, count, fast.data());
      for (int j = 0; j < 32 * count; ++j) ASSERT_EQ(fast[j], plain[j]) << "trial " << trial << " entry " << j;
      ASSERT_EQ(fast[32 * count], 0x5A5A5A5A) << "written beyond " << count << " slots";
    }
  }
}

TEST(FullSynthesis, DctKernelsGiveThePlainBits) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  auto plain = std::make_unique<FullChannelHistory>();
  auto fast = std::make_unique<FullChannelHistory>();
  for (KernelLevel level : SupportedLevels()) {
    SCOPED_TRACE(KernelLevelName(level));
    const auto kernel = SynthesisKernelsFor(level).fullDct32x4;
    const int32_t extremes[] = {INT32_MIN, INT32_MAX, 0, -1, 1, kFullInputLimit, -kFullInputLimit};
    for (int trial = 0; trial < 300; ++trial) {
      Q28 slots[4 * 32];
      for (Q28& v : slots) {
        // Realistic levels, the full range (which the clamp limits), rails.
        v = trial < 100   ? static_cast<int32_t>(rng()) >> 3
            : trial < 200 ? static_cast<int32_t>(rng())
                          : extremes[rng() % 7];
      }
      const int count = 1 + trial % 4;
      const int index = static_cast<int>(rng() % (kFullHistorySlots - 3));
      // The same filler in both: the slots outside the count stay as they were.
      std::memset(plain.get(), trial & 0xFF, sizeof(FullChannelHistory));
      std::memset(fast.get(), trial & 0xFF, sizeof(FullChannelHistory));
      // Every third trial keeps its samples within the clamp but for at most
      // one, in one of the given slots or in one past them (which must not count).
      if (trial % 3 == 0) {
        for (Q28& v : slots) v = FullInputValue(v);
        if (trial % 2 == 0) slots[rng() % (4 * 32)] = extremes[rng() % 2];
      }
      bool beyond = false;
      for (int i = 0; i < 32 * count; ++i) beyond |= FullInputValue(slots[i]) != slots[i];
      const bool plainClamped = FullDct32x4Plain(slots, count, *plain, index);
      const bool fastClamped = kernel(slots, count, *fast, index);
      ASSERT_EQ(std::memcmp(plain.get(), fast.get(), sizeof(FullChannelHistory)), 0)
          << "trial " << trial << " index " << index << " count " << count;
      ASSERT_EQ(plainClamped, beyond) << "trial " << trial << " count " << count;
      ASSERT_EQ(fastClamped, beyond) << "trial " << trial << " count " << count;
    }
  }
}

// A group of fewer than four slots that ends at the history's last slot (a
// frame of 18 slots ends its last group of two there): every level writes
// exactly the plain kernel's slots, reads only the `count` input slots given
// (each on its own heap block, so the sanitizers see a read past it) and
// touches nothing past the history.
TEST(FullSynthesis, DctKernelsAtTheHistorysEnd) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  auto plain = std::make_unique<FullChannelHistory>();
  auto fast = std::make_unique<FullChannelHistory>();
  for (KernelLevel level : SupportedLevels()) {
    SCOPED_TRACE(KernelLevelName(level));
    const auto kernel = SynthesisKernelsFor(level).fullDct32x4;
    for (int count = 1; count <= 4; ++count) {
      const auto slots = std::make_unique<Q28[]>(static_cast<size_t>(32 * count));
      for (int i = 0; i < 32 * count; ++i) slots[static_cast<size_t>(i)] = static_cast<int32_t>(rng()) >> 3;
      const int index = kFullHistorySlots - count;
      std::memset(plain.get(), 0xA5, sizeof(FullChannelHistory));
      std::memset(fast.get(), 0xA5, sizeof(FullChannelHistory));
      FullDct32x4Plain(slots.get(), count, *plain, index);
      kernel(slots.get(), count, *fast, index);
      ASSERT_EQ(std::memcmp(plain.get(), fast.get(), sizeof(FullChannelHistory)), 0) << "count " << count;
    }
  }
}

// Whatever the input, the history stays below the 2^30 in magnitude that
// the windowing relies on, and inputs at the clamp give what the clamp gives.
TEST(FullSynthesis, HistoryValuesStayWithinTheirBound) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  auto history = std::make_unique<FullChannelHistory>();
  auto clamped = std::make_unique<FullChannelHistory>();
  for (int trial = 0; trial < 400; ++trial) {
    Q28 slot[32], atLimit[32];
    for (int k = 0; k < 32; ++k) {
      // All at one rail, alternating rails (the largest X of each pattern), random.
      const bool high = trial % 4 == 0 ? true : trial % 4 == 1 ? (k + trial / 4) % 2 == 0 : rng() & 1;
      slot[k] = trial % 4 == 3 ? static_cast<Q28>(rng()) : high ? INT32_MAX : INT32_MIN;
      atLimit[k] = FullInputValue(slot[k]);
    }
    FullDct32x4Plain(slot, 1, *history, 0);
    FullDct32x4Plain(atLimit, 1, *clamped, 0);
    ASSERT_EQ(std::memcmp(&history->slot[0], &clamped->slot[0], sizeof(FullHistorySlot)), 0) << trial;
    for (int k = 0; k < 16; ++k) {
      ASSERT_LT(std::abs(int64_t{history->slot[0].even[k]}), int64_t{1} << 30) << trial;
      ASSERT_LT(std::abs(int64_t{history->slot[0].odd[k]}), int64_t{1} << 30) << trial;
    }
    ASSERT_LT(std::abs(int64_t{history->first[0]}), int64_t{1} << 30) << trial;
  }
}

TEST(FullSynthesis, ExtremeInputSaturatesInsteadOfWrapping) {
  auto frame = std::make_unique<FrameState>();
  frame->layer = 1;
  frame->modeCode = kModeSingleChannel;
  frame->sampleRate = 32000;
  auto state = std::make_unique<FullSynthesisState>();
  ResetFullSynthesis(*state);
  auto pcm = std::make_unique<PcmBlock>();
  for (int f = 0; f < 3; ++f) {
    for (int i = 0; i < 384; ++i) frame->samples[0][i] = (i / 32) % 2 ? INT32_MIN : INT32_MAX;
    SynthesizeFrameFull(*state, *frame, *pcm);
    ASSERT_EQ(pcm->samplesPerChannel, 384);
  }
  // Slot by slot the DC input flips between the rails: the sums saturate
  // rather than wrap, so the output keeps the sign of the exact value.
  ExactSynthesis exact;
  bool saturated = false;
  for (int f = 0; f < 3; ++f) {
    for (int slot = 0; slot < 12; ++slot) {
      Q28 s[32];
      for (int k = 0; k < 32; ++k) s[k] = slot % 2 ? INT32_MIN : INT32_MAX;
      long double out[32];
      exact.Slot(s, out);
      if (f < 2) continue;
      for (int j = 0; j < 32; ++j) {
        const Q28 got = pcm->samples[0][slot * 32 + j];
        if (std::fabs(out[j]) > 16) {
          EXPECT_EQ(got > 0, out[j] > 0) << slot << " " << j;
          saturated = saturated || got == INT32_MAX || got == INT32_MIN;
        }
      }
    }
  }
  EXPECT_TRUE(saturated);
}

// Samples beyond +-2 go through the headroom's second synthesis: a run of
// quiet, loud and quiet frames gives, frame by frame, the same bits as the
// plain synthesis while nothing is beyond the clamp, and close to 4 times the
// synthesis of the samples divided by 4 throughout (the filterbank is
// linear). SynthesizeFrameFull reports exactly the frames with a clamped sample.
TEST(FullSynthesis, HeadroomCarriesSamplesBeyondTheClamp) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  auto frame = std::make_unique<FrameState>();
  auto quarter = std::make_unique<FrameState>();
  for (FrameState* f : {frame.get(), quarter.get()}) {
    f->layer = 3;  // the wrapper serves Layer III; LSF frames, its shortest (18 slots)
    f->flags = FlagLsf;
    f->modeCode = kModeStereo;
    f->sampleRate = 22050;
  }
  auto wide = std::make_unique<FullSynthesisState>();
  auto plain = std::make_unique<FullSynthesisState>();
  auto scaled = std::make_unique<FullSynthesisState>();
  auto headroom = std::make_unique<FullHeadroomState>();
  ResetFullSynthesis(*wide);
  ResetFullSynthesis(*plain);
  ResetFullSynthesis(*scaled);
  ResetFullHeadroom(*headroom);
  auto pcmWide = std::make_unique<PcmBlock>(), pcmPlain = std::make_unique<PcmBlock>(),
       pcmScaled = std::make_unique<PcmBlock>();
  // Quiet samples within +-1/8; in the loud frames 3..5, one in 256 lies
  // between 2.25 and 4 in magnitude, beyond the clamp. Outputs near the
  // rails of Q28 (+-8), where the sums saturate, are not compared.
  for (int f = 0; f < 10; ++f) {
    const bool loud = f >= 3 && f < 6;
    for (int ch = 0; ch < 2; ++ch) {
      for (int i = 0; i < 576; ++i) {
        // Multiples of 4, so that the quarter is exact.
        int64_t v = static_cast<int64_t>(rng() % (1u << 26)) - (int64_t{1} << 25);
        if (loud && (rng() % 256 == 0 || i == 100)) {
          v = (int64_t{9} << 26) + static_cast<int64_t>(rng() % (7u << 26));
          if (rng() & 1) v = -v;
        }
        frame->samples[ch][i] = static_cast<Q28>(v & ~int64_t{3});
        quarter->samples[ch][i] = frame->samples[ch][i] / 4;
      }
    }
    SynthesizeFrameFullWide(*wide, *headroom, *frame, *pcmWide);
    const bool clamped = SynthesizeFrameFull(*plain, *frame, *pcmPlain);
    SynthesizeFrameFull(*scaled, *quarter, *pcmScaled);
    ASSERT_EQ(clamped, loud) << "frame " << f;
    ASSERT_EQ(pcmWide->samplesPerChannel, 576);
    ASSERT_EQ(pcmWide->channels, 2);
    for (int ch = 0; ch < 2; ++ch) {
      for (int i = 0; i < 576; ++i) {
        const int64_t got = pcmWide->samples[ch][i];
        if (f < 3) {
          ASSERT_EQ(got, pcmPlain->samples[ch][i]) << "frame " << f << " sample " << i;
        }
        // Each synthesis errs by 32 units of Q28 at most (2^-8 of a 16-bit step).
        if (std::fabs(4.0 * pcmScaled->samples[ch][i]) > 7.5 * (1 << 28)) continue;
        ASSERT_NEAR(static_cast<double>(got), 4.0 * pcmScaled->samples[ch][i], 256.0)
            << "frame " << f << " channel " << ch << " sample " << i;
      }
    }
  }
}

// ---- 16-bit output ----------------------------------------------------------

TEST(FullPcm, RoundsHalfUpAndSaturates) {
  struct Case {
    Q28 v;
    int32_t out, overshoot;
  } cases[] = {
      {0, 0, 0},
      {4095, 0, 0},
      {4096, 1, 0},  // a half rounds up
      {-4096, 0, 0},
      {-4097, -1, 0},
      {12287, 1, 0},
      {12288, 2, 0},
      {-12288, -1, 0},
      {0x0FFFEFFF, 32767, 0},
      {0x0FFFF000, 32767, 0},  // 32767.5 saturates
      {0x0FFFFFFF, 32767, 0},
      {0x10000000, 32767, 1},
      {-0x10000000, -32768, 0},
      {-0x10000001, -32768, 1},
      {-0x0FFFF001, -32768, 0},  // -32767.5001
      {-0x0FFFF000, -32767, 0},  // -32767.5
      {0x30000000, 32767, 0x20000001},
      {INT32_MAX, 32767, 0x70000000},
      {INT32_MIN, -32768, 0x70000000},
  };
  for (const Case& c : cases) {
    int32_t overshoot = 0;
    EXPECT_EQ(RoundSample16(c.v, overshoot), c.out) << c.v;
    EXPECT_EQ(overshoot, c.overshoot) << c.v;
  }
}

TEST(FullPcm, WritesInterleavedLittleEndianAndKeepsTheLargestOvershoot) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  std::vector<Q28> left(1152), right(1152);
  for (int i = 0; i < 1152; ++i) {
    left[i] = static_cast<Q28>(rng()) >> (rng() % 4);
    right[i] = static_cast<Q28>(rng()) >> 3;
  }
  for (int channels = 1; channels <= 2; ++channels) {
    std::vector<uint8_t> out(4 * 1152 + 8, 0xA5);
    int32_t overshoot = 5;  // kept when nothing exceeds it
    const int32_t bytes =
        WritePcmRounded(out.data(), 1152, left.data(), channels == 2 ? right.data() : nullptr, overshoot);
    ASSERT_EQ(bytes, 1152 * 2 * channels);
    int64_t expectedOvershoot = 5;
    for (int i = 0; i < 1152; ++i) {
      for (int ch = 0; ch < channels; ++ch) {
        const Q28 v = ch ? right[i] : left[i];
        const long double exact = std::floor(v / 8192.0L + 0.5L);
        const int32_t expected = static_cast<int32_t>(std::clamp(exact, -32768.0L, 32767.0L));
        const size_t at = 2 * (static_cast<size_t>(i) * channels + ch);
        ASSERT_EQ(static_cast<int16_t>(out[at] | out[at + 1] << 8), expected) << i << " " << ch;
        expectedOvershoot = std::max({expectedOvershoot, int64_t{v} - 0x0FFFFFFF, -0x10000000 - int64_t{v}});
      }
    }
    EXPECT_EQ(overshoot, expectedOvershoot);
    EXPECT_EQ(out[bytes], 0xA5);
  }
}

TEST(FullPcm, VectorConversionGivesThePlainBytes) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  for (KernelLevel level : SupportedLevels()) {
    SCOPED_TRACE(KernelLevelName(level));
    const auto kernel = OutputKernelsFor(level).writePcmRounded;
    const Q28 extremes[] = {INT32_MIN,   INT32_MAX,  0x0FFFF000, 0x0FFFEFFF, -0x0FFFF000,
                            -0x0FFFF001, 0x10000000, 4096,       -4096};
    for (int trial = 0; trial < 200; ++trial) {
      const uint32_t count = trial % 3 == 0 ? 1152 : rng() % 40;  // also counts that leave a tail
      std::vector<Q28> left(count), right(count);
      for (uint32_t i = 0; i < count; ++i) {
        left[i] = trial % 2 ? extremes[rng() % 9] : static_cast<Q28>(rng()) >> (rng() % 5);
        right[i] = static_cast<Q28>(rng()) >> (rng() % 5);
      }
      for (int channels = 1; channels <= 2; ++channels) {
        std::vector<uint8_t> a(4 * count + 4, 0), b(4 * count + 4, 0);
        int32_t oa = static_cast<int32_t>(rng() % 3) - 1, ob = oa;
        const Q28* second = channels == 2 ? right.data() : nullptr;
        ASSERT_EQ(kernel(a.data(), count, left.data(), second, oa),
                  WritePcmRoundedPlain(b.data(), count, left.data(), second, ob));
        ASSERT_EQ(a, b) << "trial " << trial;
        ASSERT_EQ(oa, ob) << "trial " << trial;
      }
    }
  }
}

// ---- gains --------------------------------------------------------------------

TEST(FullGain, ProductsAreRoundedAndSaturated) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  const Q28 gains[] = {0, 1, kOneQ28, kOneQ28 / 3, DbToGain(-6.0), DbToGain(18.0), DbToGain(-80.0)};
  for (Q28 gain : gains) {
    for (int i = 0; i < 2000; ++i) {
      const Q28 s = i == 0 ? INT32_MAX : i == 1 ? INT32_MIN : static_cast<Q28>(rng());
      const long double exact = std::floor(static_cast<long double>(s) * gain / kTwo28 + 0.5L);
      const long double expected =
          std::clamp(exact, static_cast<long double>(INT32_MIN), static_cast<long double>(INT32_MAX));
      ASSERT_EQ(ScaleFull(s, gain), expected) << s << " x " << gain;
    }
  }
  EXPECT_EQ(ScaleFull(3, kOneQ28 / 2), 2);    // 1.5 rounds up
  EXPECT_EQ(ScaleFull(-3, kOneQ28 / 2), -1);  // -1.5 rounds up
}

TEST(FullGain, GainAndEqualiserCoverTheFramesSamples) {
  auto frame = std::make_unique<FrameState>();
  frame->layer = 1;  // 12 slots
  frame->modeCode = kModeStereo;
  for (auto& channel : frame->samples) channel.fill(1 << 20);
  ApplyGainFull(*frame, kOneQ28 / 2);
  std::array<Q28, 32> gains;
  for (int j = 0; j < 32; ++j) gains[j] = kOneQ28 / 4 * (j % 4 + 1);
  ApplyEqualiserFull(*frame, gains);
  for (int ch = 0; ch < 2; ++ch) {
    for (int i = 0; i < kSamplesPerChannel; ++i) {
      const Q28 expected = i < 384 ? (1 << 19) / 4 * (i % 4 + 1) : 1 << 20;  // slots beyond the frame untouched
      ASSERT_EQ(frame->samples[ch][i], expected) << ch << " " << i;
    }
  }
}

}  // namespace
}  // namespace quorvel
