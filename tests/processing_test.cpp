// The optional processing inside the frame call: gain and equaliser before
// synthesis, the gain adaptation after clipping, the conversion to a
// requested output rate, and the two faults the decoder mends (a rate that is
// not one of the nine, and a heap that cannot supply the scratch arrays).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "bit_writer.h"
#include "corpus.h"
#include "layers/layer_decoders.h"
#include "output/equaliser.h"
#include "output/pcm.h"

namespace quorvel {
namespace {

using test::BitWriter;
using test::HeaderFields;

constexpr HeaderFields kStereo44100{};  // Layer II, 128 kbit/s, stereo
constexpr HeaderFields kMono48000{.layerCode = 2, .rateIndex = 1, .mode = 3};
constexpr HeaderFields kMono8000{.mpeg25Bit = 0, .idBit = 0, .layerCode = 2, .rateIndex = 2, .mode = 3};

uint32_t FrameBytes(const HeaderFields& h) {
  BitWriter w;
  test::PutHeader(w, h);
  InputCursor cursor;
  SetBuffer(cursor, w.Bytes().data(), 4);
  FrameState frame;
  EXPECT_EQ(ParseHeader(frame, cursor), 0);
  return FrameLength(frame);
}

// `count` frames whose bodies are all zero bits (every allocation 0: silence),
// then the 8 bytes that let the last one decode.
std::vector<uint8_t> SilentStream(const HeaderFields& h, int count = 1) {
  BitWriter w;
  for (int i = 1; i <= count; ++i) {
    test::PutHeader(w, h);
    w.PadTo(i * FrameBytes(h));
  }
  return w.PadTo(w.Bytes().size() + 8).Bytes();
}

// Layer I stereo frames (48000 Hz, 448 kbit/s) of random allocation codes
// 0..3, scalefactor indices from `minScalefactor` up, and sample codes.
std::vector<uint8_t> NoiseStream(uint32_t seed, int count, uint32_t minScalefactor) {
  std::mt19937 rng(seed);
  BitWriter w;
  for (int i = 1; i <= count; ++i) {
    test::PutHeader(w, {.layerCode = 3, .bitrateIndex = 14, .rateIndex = 1});
    uint32_t bits[64];  // [subband * 2 + channel]
    for (uint32_t& nb : bits) {
      const uint32_t code = rng() % 4;
      w.Put(code, 4);
      nb = code ? code + 1 : 0;
    }
    for (uint32_t nb : bits) {
      if (nb) w.Put(minScalefactor + rng() % (63 - minScalefactor), 6);
    }
    for (int slot = 0; slot < 12; ++slot) {
      for (uint32_t nb : bits) {
        if (nb) w.Put(rng(), static_cast<int>(nb));
      }
    }
    EXPECT_LE(w.BitCount(), i * 448u * 8) << "seed " << seed;
    w.PadTo(i * 448);
  }
  return w.PadTo(w.Bytes().size() + 8).Bytes();
}

constexpr Tier kTiers[] = {Tier::Compatible, Tier::Full};

std::unique_ptr<DecoderState> Opened(int32_t processing, const EqLevels* eq, Tier tier = Tier::Compatible) {
  auto state = std::make_unique<DecoderState>();
  state->tier = tier;
  InitDecoder(*state, processing, eq);
  return state;
}

// Probes the stream asking for `rate`; returns the rate written back.
int32_t Probe(DecoderState& state, const std::vector<uint8_t>& stream, int32_t rate) {
  int32_t channels = 0, bitrate = 0;
  EXPECT_EQ(ProbeHeader(state, stream.data(), static_cast<int32_t>(stream.size()), &rate, &channels, &bitrate), 0);
  return rate;
}

struct Call {
  int32_t result, bytes;
};

Call Decompress(DecoderState& state, const std::vector<uint8_t>& stream, bool first, std::vector<uint8_t>& out) {
  int32_t bytes = -1, pos = -1;
  const int32_t result = DecompressAudioOn(state, first ? stream.data() : nullptr, static_cast<int32_t>(stream.size()),
                                           out.data(), &bytes, &pos);
  return {result, bytes};
}

bool All(const uint8_t* begin, const uint8_t* end, uint8_t value) {
  return std::all_of(begin, end, [value](uint8_t b) { return b == value; });
}

// With flat EqSettings and the gain at 1.0, processing must equal decoding
// without it from subband samples rounded to multiples of 0x1000 (half up).
// The processed side runs the whole frame call; the other side drives the
// stages by hand.
void ExpectFlatProcessingOnlyRounds(const std::vector<uint8_t>& stream) {
  const EqLevels flat{};
  auto on = Opened(1, &flat);
  auto off = Opened(0, nullptr);
  SetBuffer(off->cursor, stream.data(), static_cast<uint32_t>(stream.size()));
  std::vector<uint8_t> outOn(kMaxFrameBytes), outOff(kMaxFrameBytes);
  int frames = 0, rounded = 0;
  for (bool first = true;; first = false) {
    const Call call = Decompress(*on, stream, first, outOn);
    const int decoded = DecodeFrame(off->frame, off->cursor);
    if (call.result != kResultFrame || decoded != 0) {
      ASSERT_EQ(call.bytes, 0);
      ASSERT_NE(decoded, 0);
      if (call.result != kResultFrame) break;
      off->cursor.synchronised = 0;  // as the frame call does after a skipped frame
      continue;
    }
    for (auto& channel : off->frame.samples) {
      for (Q28& s : channel) {
        const Q28 r = static_cast<Q28>(static_cast<uint32_t>(WrapAdd(s, 0x800)) & ~0xFFFu);
        rounded += r != s;
        s = r;
      }
    }
    SynthesizeFrame(off->synthesis, off->frame, off->pcm);
    int32_t overshoot = 0;
    const PcmBlock& pcm = off->pcm;
    const int32_t bytes = WritePcm(outOff.data(), static_cast<uint16_t>(pcm.samplesPerChannel), pcm.samples[0].data(),
                                   pcm.channels == 2 ? pcm.samples[1].data() : nullptr, off->pcmResidual, overshoot);
    ASSERT_EQ(call.bytes, bytes) << "frame " << frames;
    ASSERT_EQ(std::memcmp(outOn.data(), outOff.data(), bytes), 0) << "frame " << frames;
    ASSERT_EQ(on->gain, kOneQ28) << "the stream clipped; the comparison needs one that does not";
    ++frames;
  }
  EXPECT_GT(frames, 0);
  EXPECT_GT(rounded, 0) << "no sample needed rounding: the comparison proves nothing";
}

TEST(Processing, FlatEqualiserOnlyRoundsSubbandSamples) { ExpectFlatProcessingOnlyRounds(NoiseStream(7, 4, 15)); }

TEST(Processing, FlatEqualiserOnlyRoundsSubbandSamplesOfACorpusStream) {
  const auto corpus = test::CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  std::vector<uint8_t> stream = test::ReadFile(*corpus / "twolame/l2_44100_st_112k_nocrc_pad_chord.mp2");
  ASSERT_FALSE(stream.empty());
  stream.resize(stream.size() + 8);
  ExpectFlatProcessingOnlyRounds(stream);
}

// The full tier scales in 64 bits and rounds to the sample's own precision,
// so unit gains leave every sample as it is: flat processing of a stream that
// does not clip is the same PCM as no processing.
TEST(Processing, FlatEqualiserChangesNothingInTheFullTier) {
  const std::vector<uint8_t> stream = NoiseStream(7, 4, 15);
  const EqLevels flat{};
  auto on = Opened(1, &flat, Tier::Full);
  auto off = Opened(0, nullptr, Tier::Full);
  std::vector<uint8_t> outOn(kMaxFrameBytes), outOff(kMaxFrameBytes);
  int frames = 0;
  for (bool first = true;; first = false) {
    const Call a = Decompress(*on, stream, first, outOn);
    const Call b = Decompress(*off, stream, first, outOff);
    ASSERT_EQ(a.result, b.result);
    ASSERT_EQ(a.bytes, b.bytes);
    if (a.result != kResultFrame) break;
    ASSERT_EQ(std::memcmp(outOn.data(), outOff.data(), a.bytes), 0) << "frame " << frames;
    ASSERT_EQ(on->gain, kOneQ28) << "the stream clipped; the comparison needs one that does not";
    frames += a.bytes > 0;
  }
  EXPECT_EQ(frames, 4);
}

// In both tiers.
TEST(Processing, WithoutEqSettingsIsSilentAndGainOnlyFalls) {
  const std::vector<uint8_t> quiet = NoiseStream(11, 2, 15);
  const std::vector<uint8_t> loud = NoiseStream(5, 3, 0);  // scalefactors up to 2.0: every frame clips
  std::vector<uint8_t> out(kMaxFrameBytes);
  const EqLevels flat{};
  for (const Tier tier : kTiers) {
    for (int32_t processing : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "tier " << static_cast<int>(tier) << ", processing " << processing);
      auto state = Opened(processing, nullptr, tier);
      for (bool first : {true, false}) {
        ASSERT_EQ(Decompress(*state, quiet, first, out).bytes, 1536);
        EXPECT_EQ(All(out.data(), out.data() + 1536, 0), processing == 1);
      }
      state = Opened(processing, &flat, tier);
      for (int frame = 0; frame < 3; ++frame) {
        const Q28 before = state->gain;
        ASSERT_EQ(Decompress(*state, loud, frame == 0, out).bytes, 1536);
        EXPECT_EQ(state->gain < before, processing == 1) << "frame " << frame;
      }
      InitDecoder(*state, processing, nullptr);  // mid-stream: only the options change
      EXPECT_EQ(state->gain, kOneQ28);
    }
  }
}

TEST(Processing, EqGainsAreSetOnlyByInitWithSettings) {
  const std::vector<uint8_t> stream = SilentStream(kStereo44100);
  auto state = Opened(1, nullptr);
  EXPECT_EQ(state->eqGains, (std::array<Q28, 32>{}));  // 0 from load, not 1.0
  EqLevels eq{};
  eq.bands[9] = -6;
  InitDecoder(*state, 1, &eq);
  const std::array<Q28, 32> expected = state->eqGains;
  ASSERT_EQ(expected[31], DbToGain(-6));
  ExitDecoder(*state);
  InitDecoder(*state, 1, nullptr);
  SeekStartDecoder(*state);
  SeekEndDecoder(*state);
  Probe(*state, stream, 0);
  EXPECT_EQ(state->eqGains, expected);
  EXPECT_EQ(state->processingEnabled, 1);
}

TEST(Resampling, FrameCallWritesTheConvertedCount) {
  struct Case {
    HeaderFields header;
    int32_t asked, answered, samples, channels;
  };
  const Case cases[] = {{kMono8000, 48000, 48000, 6906, 1},
                        {{.layerCode = 2, .mode = 3}, 48000, 48000, 1253, 1},
                        {kMono48000, 48000, 48000, 1152, 1},
                        {kMono48000, 8000, 8000, 192, 1},
                        {{.layerCode = 3, .rateIndex = 1, .mode = 3}, 8000, 8000, 64, 1},  // Layer I
                        {kStereo44100, 22050, 22050, 576, 2},
                        // Not one of the nine: answered with the stream's own rate, no conversion.
                        {kStereo44100, 96000, 44100, 1152, 2},
                        {kStereo44100, 44101, 44100, 1152, 2},
                        {kMono8000, -48000, 8000, 1152, 1},
                        {kMono8000, 0, 8000, 1152, 1}};
  for (const Tier tier : kTiers) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "tier " << static_cast<int>(tier) << ", asked " << c.asked << " Hz, "
                                      << c.samples << " samples");
      const std::vector<uint8_t> stream = SilentStream(c.header);
      auto state = Opened(0, nullptr, tier);
      Probe(*state, stream, 22050);  // a request that the next probe must replace
      EXPECT_EQ(Probe(*state, stream, c.asked), c.answered);
      EXPECT_EQ(state->resampleEnabled, c.asked == c.answered);
      std::vector<uint8_t> out(kMaxResampledBytes + 64, 0xA5);
      const Call call = Decompress(*state, stream, true, out);
      EXPECT_EQ(call.result, kResultFrame);
      EXPECT_EQ(call.bytes, c.samples * 2 * c.channels);
      EXPECT_TRUE(All(out.data() + call.bytes, out.data() + out.size(), 0xA5));
    }
  }
}

// Scratch heap that counts live blocks and fails its `failAt`-th allocation.
struct CountingHeap {
  static inline int live = 0, calls = 0, failAt = 0;
  static void* Allocate(uint32_t bytes) {
    if (++calls == failAt) return nullptr;
    ++live;
    return std::malloc(bytes);
  }
  static void Release(void* block) {
    --live;
    std::free(block);
  }
};

TEST(Resampling, HeapFailureSkipsTheFramesOutputAndLeaksNothing) {
  struct Case {
    HeaderFields header;
    int32_t rate, failAt, nextBytes;
  };
  const Case cases[] = {
      {kStereo44100, 22050, 1, 576 * 4}, {kStereo44100, 22050, 2, 576 * 4}, {kMono48000, 8000, 1, 384}};
  struct RestoreHeap {
    ScratchHeap saved = ResampleScratchHeap();
    ~RestoreHeap() { ResampleScratchHeap() = saved; }
  } restore;
  for (const Tier tier : kTiers) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "tier " << static_cast<int>(tier) << ", allocation " << c.failAt << " fails, "
                                      << c.rate << " Hz");
      const std::vector<uint8_t> stream = SilentStream(c.header, 2);
      auto state = Opened(1, nullptr, tier);
      Probe(*state, stream, c.rate);
      CountingHeap::live = CountingHeap::calls = 0;
      CountingHeap::failAt = c.failAt;
      ResampleScratchHeap() = {CountingHeap::Allocate, CountingHeap::Release};
      std::vector<uint8_t> out(kMaxResampledBytes, 0xA5);
      const Call failed = Decompress(*state, stream, true, out);
      EXPECT_EQ(failed.result, kResultFrame);
      EXPECT_EQ(failed.bytes, 0);
      EXPECT_EQ(CountingHeap::calls, c.failAt);
      EXPECT_EQ(CountingHeap::live, 0);
      EXPECT_TRUE(All(out.data(), out.data() + out.size(), 0xA5));
      CountingHeap::failAt = 0;  // the heap works again
      const Call next = Decompress(*state, stream, false, out);
      EXPECT_EQ(next.result, kResultFrame);
      EXPECT_EQ(next.bytes, c.nextBytes);
      EXPECT_EQ(CountingHeap::live, 0);
    }
  }
}

}  // namespace
}  // namespace quorvel
