// Polyphase synthesis: the window table, the fast windowing against its
// term-by-term reference, and whole frames through SynthesizeFrame.
#include "synth/synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <tuple>

#include "reference/synthesis_reference.h"
#include "test_seed.h"

namespace quorvel {
namespace {

constexpr Q28 kSentinel = 0x5A5A5A5A;

struct Bank {
  std::unique_ptr<SynthesisState> synthesis = std::make_unique<SynthesisState>();
  std::unique_ptr<PcmBlock> pcm = std::make_unique<PcmBlock>();
  std::unique_ptr<FrameState> frame = std::make_unique<FrameState>();
  Bank() {
    ResetSynthesis(*synthesis, *pcm);
    for (auto& channel : pcm->samples) channel.fill(kSentinel);
    frame->layer = 2;
    frame->modeCode = kModeStereo;
    frame->sampleRate = 48000;
  }
};

TEST(Synthesis, WindowTable) {
  const int32_t row0[16] = {0, -7, 53, -115, 509, -1288, 1644, -9372, 18760, 9372, 1644, 1288, 509, 115, 53, 7};
  const int32_t row16[16] = {-1, -26, 37, -392, -11, -2432, -2494, -16005, 16005, 2494, 2432, 11, 392, -37, 26, 1};
  for (int a = 0; a < 16; ++a) {
    EXPECT_EQ(SynthesisWindow[0][a], row0[a]) << a;
    EXPECT_EQ(SynthesisWindow[16][a], row16[a]) << a;
  }
  // W[j + 32a] at entry a of row j; a few more coefficients of the standard's window.
  EXPECT_EQ(SynthesisWindow[1][0], 0);       // D[1]
  EXPECT_EQ(SynthesisWindow[7][0], -1);      // D[7]
  EXPECT_EQ(SynthesisWindow[8][8], 18042);   // D[264]
  EXPECT_EQ(SynthesisWindow[8][7], -12963);  // D[232]
  EXPECT_EQ(SynthesisWindow[15][4], 46);     // D[143]
  for (int j = 0; j <= 16; ++j) {
    for (int a = 0; a < 16; ++a) EXPECT_EQ(SynthesisWindow[j][a + 16], SynthesisWindow[j][a]) << j << "," << a;
  }
  // W[512 - i] = -W[i], except W[512 - i] = W[i] for multiples of 64.
  for (int a = 1; a < 16; ++a) {
    EXPECT_EQ(SynthesisWindow[0][16 - a], a % 2 ? -SynthesisWindow[0][a] : SynthesisWindow[0][a]) << a;
    EXPECT_EQ(SynthesisWindow[16][15 - a], -SynthesisWindow[16][a]) << a;
  }
}

TEST(Synthesis, WindowSlotsMatchReference) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  const int32_t extremes[] = {INT32_MIN, INT32_MAX, 0, -1, 1, 0x20000, -0x20000};
  auto history = std::make_unique<ChannelHistory>();
  for (int trial = 0; trial < 40; ++trial) {
    for (auto& row : history->value) {
      for (int32_t& v : row) {
        const uint32_t r = rng();
        v = trial % 3 == 0   ? extremes[r % 7]
            : trial % 3 == 1 ? static_cast<int32_t>(r)
                             : static_cast<int32_t>(r) >> 12;
      }
    }
    for (int position = kCarriedSlots; position <= kHistoryColumns - 8; position += 5) {
      const int count = 1 + (trial + position) % 8;
      Q28 fast[8 * 32], reference[8 * 32];
      std::fill(std::begin(fast), std::end(fast), kSentinel);
      WindowSlots(*history, position, count, fast);
      reference::WindowSlots(*history, position, count, reference);
      for (int j = 0; j < 32 * count; ++j) {
        ASSERT_EQ(fast[j], reference[j]) << "trial " << trial << " position " << position << " j " << j;
      }
      for (int j = 32 * count; j < 8 * 32; ++j) ASSERT_EQ(fast[j], kSentinel) << "written past the slots: " << j;
    }
  }
}

TEST(Synthesis, WindowedSumWrapsBeyondTwo) {
  // One history value of 2.0 meets the largest coefficient (c_0[8] = 18760):
  // the Q30 product exceeds 2^31 and wraps instead of saturating.
  auto history = std::make_unique<ChannelHistory>();
  *history = {};
  const int t = 30;
  history->value[16][t - 8] = 0x20000;  // X[16] of the slot of age 8
  Q28 fast[32], reference[32];
  WindowSlots(*history, t, 1, fast);
  reference::WindowSlots(*history, t, 1, reference);
  const int32_t wrapped = static_cast<int32_t>(18760u * 0x20000u);
  EXPECT_LT(wrapped, 0);
  EXPECT_EQ(fast[0], wrapped >> 2);
  EXPECT_EQ(reference[0], wrapped >> 2);
}

TEST(Synthesis, ConstantInputSettlesNearItsValue) {
  constexpr Q28 v = 0x08000000;
  for (int start : {0, 7}) {  // only differences between ring values matter
    Bank bank;
    bank.synthesis->ringIndex = start;
    for (int s = 0; s < 36; ++s) bank.frame->samples[0][s * 32] = v;
    SynthesizeFrame(*bank.synthesis, *bank.frame, *bank.pcm);
    const Q28* out = bank.pcm->samples[0].data();
    EXPECT_EQ(out[15 * 32 + 0], 134212224);
    EXPECT_EQ(out[15 * 32 + 1], 134358363);
    EXPECT_EQ(out[15 * 32 + 2], 134255767);
    EXPECT_EQ(out[15 * 32 + 3], 134147106);
    for (int s = 15; s < 36; ++s) {
      for (int j = 0; j < 32; ++j) {
        EXPECT_EQ(out[s * 32 + j], out[15 * 32 + j]) << "slot " << s << " sample " << j;
        EXPECT_NEAR(out[s * 32 + j], v, v * 0.0015) << "slot " << s << " sample " << j;
      }
    }
  }
}

// Zero input after a reset gives zero output, whatever the frame's shape.
TEST(Synthesis, FrameShapeAndRingSteps) {
  const std::tuple<uint32_t, uint32_t, int, int> cases[] = {// layer, flags, slots, ring step
                                                            {1, 0, 12, 12},
                                                            {2, 0, 36, 4},
                                                            {2, FlagLsf, 36, 4},
                                                            {3, FlagLsf, 18, 2},
                                                            {3, 0, 36, 4}};
  for (auto [layer, flags, slots, step] : cases) {
    Bank bank;
    bank.synthesis->ringIndex = 9;
    bank.frame->layer = layer;
    bank.frame->flags = flags;
    bank.frame->sampleRate = 22050;
    SynthesizeFrame(*bank.synthesis, *bank.frame, *bank.pcm);
    EXPECT_EQ(bank.synthesis->ringIndex, (9 + step) % 16) << "layer " << layer;
    EXPECT_EQ(bank.pcm->samplesPerChannel, 32 * slots) << "layer " << layer;
    EXPECT_EQ(bank.pcm->channels, 2);
    EXPECT_EQ(bank.pcm->sampleRate, 22050);
    for (const auto& channel : bank.pcm->samples) {
      for (int i = 0; i < kSamplesPerChannel; ++i) ASSERT_EQ(channel[i], i < 32 * slots ? 0 : kSentinel) << i;
    }
  }
}

TEST(Synthesis, OneChannelFrameLeavesChannelOneAlone) {
  Bank bank;
  ChannelHistory& second = bank.synthesis->channel[1];
  for (int m = 0; m < 32; ++m) {
    for (int t = 0; t < kHistoryColumns; ++t) second.value[m][t] = m * 100 + t;
  }
  const ChannelHistory before = second;
  bank.frame->modeCode = kModeSingleChannel;
  for (int i = 0; i < kSamplesPerChannel; ++i) bank.frame->samples[0][i] = bank.frame->samples[1][i] = i * 4096;
  SynthesizeFrame(*bank.synthesis, *bank.frame, *bank.pcm);
  EXPECT_EQ(bank.pcm->channels, 1);
  EXPECT_EQ(std::memcmp(&before, &second, sizeof before), 0) << "channel 1 history changed";
  for (Q28 v : bank.pcm->samples[1]) ASSERT_EQ(v, kSentinel);
  EXPECT_NE(bank.pcm->samples[0][100], kSentinel);
}

// Frames of every length, one or two channels in any order, from any ring
// value: the same samples as a filterbank that keeps its 16 slots per channel
// in a ring with one ring value for both channels. A channel that sits out
// frames meets its old slots, when it comes back, at the ages their ring
// values give.
TEST(Synthesis, AgreesWithTheRingFilterbank) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  struct Shape {
    uint32_t layer, flags, mode;
  };
  const Shape shapes[] = {{2, 0, kModeStereo},       {1, 0, kModeSingleChannel}, {1, 0, kModeJointStereo},
                          {2, 0, kModeSingleChannel}, {3, FlagLsf, kModeStereo},  {3, FlagLsf, kModeSingleChannel},
                          {2, FlagLsf, kModeStereo}};
  for (int start : {0, 5, 11}) {
    Bank bank;
    auto ring = std::make_unique<reference::RingSynthesis>();
    auto expected = std::make_unique<PcmBlock>();
    bank.synthesis->ringIndex = start;
    ring->ringIndex = start;
    for (int n = 0; n < 60; ++n) {
      const Shape& shape = shapes[rng() % std::size(shapes)];
      bank.frame->layer = shape.layer;
      bank.frame->flags = shape.flags;
      bank.frame->modeCode = shape.mode;
      for (auto& channel : bank.frame->samples) {
        for (Q28& v : channel) v = static_cast<int32_t>(rng()) >> (n % 3 == 0 ? 0 : 3);
      }
      SynthesizeFrame(*bank.synthesis, *bank.frame, *bank.pcm);
      reference::RingSynthesizeFrame(*ring, *bank.frame, *expected);
      ASSERT_EQ(bank.synthesis->ringIndex, ring->ringIndex);
      const int samples = 32 * SlotsPerFrame(*bank.frame);
      for (int ch = 0; ch < ChannelCount(*bank.frame); ++ch) {
        for (int i = 0; i < samples; ++i) {
          ASSERT_EQ(bank.pcm->samples[ch][i], expected->samples[ch][i])
              << "start " << start << " frame " << n << " channel " << ch << " sample " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
