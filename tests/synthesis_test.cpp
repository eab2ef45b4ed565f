// Polyphase synthesis: the window table, the fast windowing against its
// term-by-term reference, and whole frames through SynthesizeFrame.
#include "synth/synthesis.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
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

TEST(Synthesis, WindowSlotMatchesReference) {
  const uint32_t seed = test::TestSeed();
  SCOPED_TRACE(test::SeedTrace(seed));
  std::mt19937 rng(seed);
  const int32_t extremes[] = {INT32_MIN, INT32_MAX, 0, -1, 1, 0x20000, -0x20000};
  auto history = std::make_unique<ChannelHistory>();
  for (int trial = 0; trial < 40; ++trial) {
    for (auto* plane : {&history->upper, &history->lower}) {
      for (auto& parity : *plane) {
        for (auto& row : parity) {
          for (int32_t& v : row) {
            const uint32_t r = rng();
            v = trial % 3 == 0   ? extremes[r % 7]
                : trial % 3 == 1 ? static_cast<int32_t>(r)
                                 : static_cast<int32_t>(r) >> 12;
          }
        }
      }
    }
    for (int b = 0; b < 16; ++b) {
      Q28 fast[32], reference[32];
      WindowSlot(*history, b, fast);
      reference::WindowSlot(*history, b, reference);
      for (int j = 0; j < 32; ++j) ASSERT_EQ(fast[j], reference[j]) << "trial " << trial << " b " << b << " j " << j;
    }
  }
}

TEST(Synthesis, WindowedSumWrapsBeyondTwo) {
  // One history value of 2.0 meets the largest coefficient (c_0[8] = 18760):
  // the Q30 product exceeds 2^31 and wraps instead of saturating.
  auto history = std::make_unique<ChannelHistory>();
  *history = {};
  const int b = 8;  // age 8 is the slot stored at ring value 0
  history->upper[0][0][0] = 0x20000;
  Q28 fast[32], reference[32];
  WindowSlot(*history, b, fast);
  reference::WindowSlot(*history, b, reference);
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
  for (int p = 0; p < 2; ++p) {
    for (int r = 0; r < 16; ++r) {
      for (int q = 0; q < 8; ++q) second.upper[p][r][q] = second.lower[p][r][q] = p * 1000 + r * 10 + q;
    }
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

}  // namespace
}  // namespace quorvel
