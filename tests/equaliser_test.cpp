// The equaliser and gain stages: dB to gain, band map, the two scaling passes
// and the gain adaptation after clipping.
#include "output/equaliser.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quorvel {
namespace {

TEST(DbToGain, ReferenceLevelsAndTheirCoefficients) {
  struct Row {
    double level;
    Q28 gain;
    int32_t coefficient;  // what FixMul takes from the gain
  };
  const Row rows[] = {{127, 0x7F17AF3B, 32536}, {18.5, 0x7F17AF3B, 32536},
                      {18, 0x7F17AF3B, 32536},  {12, 0x3FB2783F, 16306},
                      {6, 0x1FEC982D, 8173},    {3, 0x1699C0F8, 5786},
                      {1, 0x11F3C99F, 4596},    {0, 0x10000000, 4096},
                      {-1, 0x0E429058, 3651},   {-6, 0x0804DCE8, 2053},
                      {-20, 0x0199999A, 410},   {-78, 0x00008402, 1},
                      {-79, 0x000075A7, 0},     {-256, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.level);
    EXPECT_EQ(DbToGain(row.level), row.gain);
    EXPECT_EQ(FixMul(row.gain, kOneQ28), row.coefficient * 0x10000);  // 1.0 as a signal is 0x10000 << 12
  }
}

TEST(SetupEqualiser, BandsMapOntoSubbandsWithPreampCapAndMute) {
  // Band b at -2b dB tells which band each subband took.
  const int8_t ramp[10] = {0, -2, -4, -6, -8, -10, -12, -14, -16, -18};
  const int firstSubbandOfBand[11] = {0, 1, 2, 3, 4, 5, 6, 8, 12, 20, 32};
  std::array<Q28, 32> gains{};
  SetupEqualiser(ramp, 3, gains);
  for (int band = 0; band < 10; ++band) {
    for (int j = firstSubbandOfBand[band]; j < firstSubbandOfBand[band + 1]; ++j) {
      EXPECT_EQ(gains[j], DbToGain(3.0 - 2 * band)) << "subband " << j;
    }
  }
  struct Row {
    int8_t level, preamp;
    Q28 gain;
  };
  const Row rows[] = {{10, 10, 0x7F17AF3B}, {-128, -128, 0},         {127, 127, 0x7F17AF3B},
                      {0, 0, kOneQ28},      {-20, 14, DbToGain(-6)}, {-79, 0, 0x000075A7}};
  for (const Row& row : rows) {
    int8_t levels[10];
    std::fill(std::begin(levels), std::end(levels), row.level);
    SetupEqualiser(levels, row.preamp, gains);
    for (Q28 g : gains) EXPECT_EQ(g, row.gain) << int(row.level) << " + " << int(row.preamp);
  }
}

TEST(ApplyGain, EachPassRoundsToMultiplesOf0x1000HalfUpAndWraps) {
  struct Row {
    Q28 gain, sample, expected;
  };
  const Row rows[] = {{kOneQ28, 0x7FF, 0},
                      {kOneQ28, 0x800, 0x1000},
                      {kOneQ28, -0x800, 0},
                      {kOneQ28, -0x801, -0x1000},
                      {kOneQ28, 0x1234567, 0x1234000},
                      {0x08000000, 0x1000, 0x800},
                      {0x7F17AF3B, 0x10100000, 0x7F971800},                    // +18 dB, just below the wrap
                      {0x7F17AF3B, 0x10200000, static_cast<Q28>(0x80163000)},  // beyond about 1.007: wraps negative
                      {0x7F17AF3B, -0x10200000, 0x7FE9D000}};
  for (const Row& row : rows) {
    FrameState frame;
    frame.layer = 2;
    frame.modeCode = kModeStereo;
    frame.samples[1][1151] = row.sample;
    ApplyGain(frame, row.gain);
    EXPECT_EQ(frame.samples[1][1151], row.expected) << std::hex << row.gain << " x " << row.sample;
    std::array<Q28, 32> gains;
    gains.fill(row.gain);
    frame.samples[1][1151] = row.sample;
    ApplyEqualiser(frame, gains);
    EXPECT_EQ(frame.samples[1][1151], row.expected) << std::hex << row.gain << " x " << row.sample;
  }
}

TEST(ApplyGainAndEqualiser, TouchOnlyTheFramesSlotsAndChannels) {
  struct Row {
    uint32_t layer;
    int32_t modeCode;
    int slots, channels;
  };
  const Row rows[] = {{1, kModeSingleChannel, 12, 1},
                      {1, kModeJointStereo, 12, 2},
                      {2, kModeSingleChannel, 36, 1},
                      {2, kModeDualChannel, 36, 2}};
  std::array<Q28, 32> half;
  half.fill(0x08000000);
  for (const Row& row : rows) {
    for (int pass = 0; pass < 2; ++pass) {
      FrameState frame;
      frame.layer = row.layer;
      frame.modeCode = row.modeCode;
      for (auto& channel : frame.samples) channel.fill(0x10000);
      if (pass == 0) ApplyGain(frame, 0x08000000);
      if (pass == 1) ApplyEqualiser(frame, half);
      for (int ch = 0; ch < 2; ++ch) {
        for (int i = 0; i < 1152; ++i) {
          const bool scaled = ch < row.channels && i < row.slots * 32;
          ASSERT_EQ(frame.samples[ch][i], scaled ? 0x8000 : 0x10000)
              << "layer " << row.layer << " ch " << ch << " i " << i;
        }
      }
    }
  }
}

TEST(AdaptGain, DividesByOnePlusHalfTheOvershoot) {
  EXPECT_EQ(FixMul(0x08000000, 0x08000001), 0x04000000);  // m of the first row
  struct Row {
    Q28 gain;
    int32_t overshoot;
    Q28 expected;
  };
  const Row rows[] = {{kOneQ28, 0x08000001, 0x0CCCCCCD},
                      {0x0CCCCCCD, 0x08000001, 0x0A3D70A4},
                      {kOneQ28, 0, kOneQ28},
                      {kOneQ28, 0x7FF, kOneQ28},
                      {kOneQ28, 0x800, 0x0FFFF800},
                      {kOneQ28, 0x1000, 0x0FFFF800},
                      {kOneQ28, 0x10000000, 0x0AAAAAAB},
                      {0, 0x08000001, 0},
                      {0, 0x70000000, 0},
                      {0x1234567, 0x7FF, 0x1234567}};
  for (const Row& row : rows) {
    EXPECT_EQ(AdaptGain(row.gain, 0x08000000, row.overshoot), row.expected)
        << std::hex << row.gain << " after " << row.overshoot;
  }
}

}  // namespace
}  // namespace quorvel
