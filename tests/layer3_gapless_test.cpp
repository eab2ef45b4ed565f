// Gapless Layer III: the Info frame is never audio, and with the encoder's
// delay and padding trimmed each bench-layer3 stream decodes to exactly its
// encoder input's length, aligned with it at lag 0.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bit_writer.h"
#include "corpus.h"
#include "quorvel/decoder.hpp"
#include "test_streams.h"

namespace quorvel::test {
namespace {

std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> s(bytes.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return s;
}

struct Decoded {
  std::vector<uint8_t> pcm;
  Stats stats;
  int channels = 0;
};

Decoded DecodeStream(const std::vector<uint8_t>& stream, bool gapless) {
  Decoder::Options options;
  options.gapless = gapless;
  Decoder decoder(options);
  decoder.Feed(stream);
  decoder.Finish();
  Decoded d;
  quorvel::Frame frame;
  for (Decoder::Next next; (next = decoder.Pull(frame)) != Decoder::Next::End;) {
    EXPECT_EQ(next, Decoder::Next::Frame);
    EXPECT_GT(frame.samples, 0u);
    d.channels = frame.channels;
    d.pcm.insert(d.pcm.end(), frame.bytes.begin(), frame.bytes.end());
  }
  d.stats = decoder.stats();
  return d;
}

// The lag in -range..range at which the channel sums of a and b correlate
// best, over `count` samples from `from`.
int BestLag(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int channels, size_t from, size_t count,
            int range) {
  auto mono = [channels](const std::vector<int16_t>& v, size_t i) {
    return channels == 1 ? static_cast<double>(v[i]) : static_cast<double>(v[2 * i]) + v[2 * i + 1];
  };
  int best = 0;
  double bestSum = -1e300;
  for (int lag = -range; lag <= range; ++lag) {
    double sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += mono(a, i + lag) * mono(b, i);
    if (sum > bestSum) {
      bestSum = sum;
      best = lag;
    }
  }
  return best;
}

TEST(Layer3Gapless, BenchStreamsDecodeToTheirSourcesLengthAndAlignment) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS to run the bench-layer3 streams";
  struct Stream {
    const char* name;
    uint32_t frames, spf, delay, padding;
  };
  const Stream streams[] = {{"l3_44100_js_128k_60s", 2298, 1152, 576, 720},
                            {"l3_48000_st_320k_60s", 2501, 1152, 576, 576},
                            {"l3_22050_mono_64k_60s", 2299, 576, 576, 648},
                            {"l3_44100_js_vbr2_60s", 2298, 1152, 576, 720},
                            {"l3_8000_mono_32k_60s", 836, 576, 576, 960},
                            {"l3_11025_js_32k_60s", 1151, 576, 576, 900}};
  for (const Stream& s : streams) {
    SCOPED_TRACE(s.name);
    const std::vector<uint8_t> stream = ReadFile(*corpus / "bench-layer3" / (std::string(s.name) + ".mp3"));
    const std::vector<uint8_t> source = ReadFile(*corpus / "bench-layer3" / (std::string(s.name) + ".source.raw"));
    const Decoded d = DecodeStream(stream, true);
    EXPECT_TRUE(d.stats.gapless.infoFrame);
    EXPECT_TRUE(d.stats.gapless.hasDelay);
    EXPECT_EQ(d.stats.gapless.delay, s.delay);
    EXPECT_EQ(d.stats.gapless.padding, s.padding);
    EXPECT_EQ(d.stats.gapless.frames, s.frames);
    ASSERT_EQ(d.pcm.size(), source.size());
    const size_t perChannel = source.size() / 2 / static_cast<size_t>(d.channels);
    EXPECT_EQ(d.stats.samplesDecoded, perChannel);
    const std::vector<int16_t> a = Samples(d.pcm), b = Samples(source);
    const int lag = BestLag(a, b, d.channels, perChannel / 3, 8192, 600);
    std::printf("%-24s %9zu samples per channel, best aligned at lag %d\n", s.name, perChannel, lag);
    EXPECT_EQ(lag, 0);
    // Without trimming: every frame after the Info frame, whole.
    const Decoded whole = DecodeStream(stream, false);
    EXPECT_EQ(whole.pcm.size(), size_t{s.frames} * s.spf * 2 * static_cast<size_t>(d.channels));
  }
}

TEST(Layer3Gapless, InfoFrameIsNeverAudioAndSetsTheTrim) {
  struct Case {
    const char* name;
    bool info;
    uint32_t delay, padding;
    bool gapless;
    size_t samples;  // per channel, of 5 audio frames of 1152
  };
  const Case cases[] = {
      {"no Info frame", false, 0, 0, true, 5 * 1152},
      {"Info frame, gapless", true, 576, 1000, true, 5 * 1152 - 576 - 1000},
      {"Info frame, no trimming", true, 576, 1000, false, 5 * 1152},
      {"delay beyond a frame", true, 2000, 529, true, 5 * 1152 - 2000 - 529},
      {"padding of the last two frames", true, 0, 1800, true, 5 * 1152 - 1800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> stream;
    if (c.info) stream = SilentLayer3Frame(0, true, 5, c.delay, c.padding);
    for (int i = 0; i < 5; ++i) {
      const auto f = SilentLayer3Frame();
      stream.insert(stream.end(), f.begin(), f.end());
    }
    const Decoded d = DecodeStream(stream, c.gapless);
    EXPECT_EQ(d.pcm.size(), 2 * c.samples);
    EXPECT_EQ(d.stats.gapless.infoFrame, c.info);
    EXPECT_EQ(d.stats.gapless.delay, c.delay);
    EXPECT_EQ(d.stats.gapless.padding, c.padding);
  }
}

}  // namespace
}  // namespace quorvel::test
