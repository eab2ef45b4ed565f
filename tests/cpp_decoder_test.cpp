// quorvel::Decoder against the classic host loop over the exported calls'
// internal operations: the same PCM, whatever the chunks it is fed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "bit_writer.h"
#include "corpus.h"
#include "quorvel/decoder.hpp"

namespace quorvel::test {
namespace {

struct Decoded {
  std::vector<uint8_t> pcm;
  std::vector<Frame> frames;  // without their PCM
};

// Feeds `stream` in chunks of the given sizes (cycled) and pulls everything.
Decoded DecodeAll(const std::vector<uint8_t>& stream, const Decoder::Options& options,
                  const std::vector<size_t>& chunks = {65536}) {
  Decoder decoder(options);
  Decoded result;
  Frame frame;
  auto drain = [&] {
    for (;;) {
      const Decoder::Next next = decoder.Pull(frame);
      if (next == Decoder::Next::NeedInput || next == Decoder::Next::End) return next;
      result.pcm.insert(result.pcm.end(), frame.bytes.begin(), frame.bytes.end());
      EXPECT_EQ(frame.pcm.size(), frame.bytes.size() / 2);
      frame.pcm = {};
      frame.bytes = {};
      result.frames.push_back(frame);
    }
  };
  size_t offset = 0;
  for (size_t i = 0; offset < stream.size(); ++i) {
    const size_t n = std::min(chunks[i % chunks.size()], stream.size() - offset);
    decoder.Feed(stream.data() + offset, n);
    offset += n;
    EXPECT_EQ(drain(), Decoder::Next::NeedInput);
  }
  decoder.Finish();
  EXPECT_EQ(drain(), Decoder::Next::End);
  return result;
}

// Every recorded configuration, fed in uneven chunks, decoded by two threads
// at once in the compatible tier: the PCM of the classic host loop, byte for
// byte.
TEST(CppDecoder, MatchesEveryRecordedConfigurationFromTwoThreads) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  const auto rows = ReadGoldenIndex(*corpus);
  ASSERT_FALSE(rows.empty());
  const std::vector<std::vector<size_t>> chunkings = {{4096}, {1, 13, 4095, 700}, {65536}};
  std::vector<std::string> failures(rows.size());
  auto work = [&](size_t first) {
    for (size_t i = first; i < rows.size(); i += 2) {
      const GoldenRow& row = rows[i];
      Decoder::Options options;
      options.accuracy = Accuracy::Compatible;
      options.bufferBytes = row.buffer;
      options.outputRate = row.rate;
      options.processing = row.processing != 0;
      std::copy(row.eq.bands, row.eq.bands + 10, options.bands.begin());
      options.preamp = row.eq.preamp;
      std::vector<uint8_t> stream = ReadFile(*corpus / row.stream);
      const Decoded d = DecodeAll(stream, options, chunkings[i % chunkings.size()]);
      if (d.pcm.size() != row.pcmBytes || Md5Hex(d.pcm) != row.pcmMd5) failures[i] = row.id;
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  for (const std::string& id : failures) EXPECT_EQ(id, "");
}

// Both tiers decode and skip the same frames, for the same reasons and with
// the same sample counts, over every stream of the corpus; only after a frame
// with a forbidden allocation may they part (the compatible tier drops the
// rest of that buffer).
TEST(CppDecoder, BothTiersDecodeAndSkipTheSameFramesOfTheCorpus) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  int streams = 0;
  for (const char* folder : {"iso", "twolame", "ffmpeg", "synth", "bench"}) {
    for (const auto& entry : std::filesystem::directory_iterator(*corpus / folder)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".bit" && ext != ".mp2" && ext != ".mp1" && ext != ".mpa") continue;
      SCOPED_TRACE(entry.path().string());
      const std::vector<uint8_t> stream = ReadFile(entry.path());
      const Decoded compatible = DecodeAll(stream, {.accuracy = Accuracy::Compatible});
      const Decoded full = DecodeAll(stream, {.accuracy = Accuracy::Full});
      ++streams;
      size_t i = 0;
      for (; i < compatible.frames.size() && i < full.frames.size(); ++i) {
        const Frame& a = compatible.frames[i];
        const Frame& b = full.frames[i];
        if (b.freeFormat) break;  // decoded by the full tier only
        ASSERT_EQ(a.skipped, b.skipped) << "frame " << i;
        ASSERT_EQ(a.position, b.position) << "frame " << i;
        ASSERT_EQ(a.hasFormat, b.hasFormat) << "frame " << i;
        ASSERT_EQ(a.samples, b.samples) << "frame " << i;
        ASSERT_EQ(a.channels, b.channels) << "frame " << i;
        if (a.skipped == SkipReason::BadAllocation) break;
      }
      if (i == compatible.frames.size() || i == full.frames.size()) {
        ASSERT_EQ(compatible.frames.size(), full.frames.size());
        ASSERT_EQ(compatible.pcm.size(), full.pcm.size());
      }
    }
  }
  EXPECT_GT(streams, 50);
}

// Layer I, 32 kbit/s, 32 kHz, single channel: 48-byte frames of silence
// unless `allocation0` gives subband 0 bits (then with `scalefactor0`).
std::vector<uint8_t> LayerOneFrame(bool protect = false, bool crcOk = true, uint32_t allocation0 = 0,
                                   uint32_t scalefactor0 = 0) {
  HeaderFields h;
  h.layerCode = 3;
  h.bitrateIndex = 1;
  h.rateIndex = 2;
  h.mode = 3;
  h.protectionBit = protect ? 0 : 1;
  BitWriter header;
  PutHeader(header, h);
  BitWriter body;
  body.Put(allocation0, 4);
  for (int sb = 1; sb < 32; ++sb) body.Put(0, 4);
  if (allocation0) body.Put(scalefactor0, 6);
  BitWriter w = header;
  if (protect) {
    const uint16_t crc = FrameCrc(header.Bytes(), body.Bytes(), 4 * 32);
    w.Put(crcOk ? crc : crc ^ 1u, 16);
  }
  for (uint8_t b : body.Bytes()) w.Put(b, 8);
  return w.PadTo(48).Bytes();
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(CppDecoder, ReportsEverySkippedFrameWithItsReasonAndFormat) {
  HeaderFields layer3;
  layer3.layerCode = 1;
  layer3.bitrateIndex = 1;
  layer3.rateIndex = 2;
  BitWriter l3;
  PutHeader(l3, layer3);
  const auto good = LayerOneFrame();
  const std::vector<uint8_t> stream =
      Concat({good, LayerOneFrame(true), LayerOneFrame(true, false), LayerOneFrame(false, true, 1, 63),
              l3.PadTo(144).Bytes(), good, good, std::vector<uint8_t>(5, 0x12), good, good});
  struct Expect {
    SkipReason reason;
    uint64_t position;
  };
  const std::vector<Expect> expected = {{SkipReason::None, 0},
                                        {SkipReason::None, 48},
                                        {SkipReason::CrcError, 96},
                                        {SkipReason::BadScalefactor, 144},
                                        {SkipReason::UnsupportedLayer, 192},
                                        {SkipReason::None, 336},
                                        {SkipReason::None, 384},
                                        {SkipReason::BadHeader, 432},
                                        {SkipReason::None, 437},
                                        {SkipReason::None, 485}};
  for (const auto& chunks : std::vector<std::vector<size_t>>{{1}, {4096}}) {
    const Decoded d = DecodeAll(stream, {}, chunks);
    ASSERT_EQ(d.frames.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const Frame& f = d.frames[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(f.skipped, expected[i].reason);
      EXPECT_EQ(f.position, expected[i].position);
      EXPECT_EQ(f.hasFormat, f.skipped != SkipReason::BadHeader);
      if (f.skipped == SkipReason::BadHeader || f.skipped == SkipReason::UnsupportedLayer) continue;
      EXPECT_EQ(f.layer, 1);
      EXPECT_EQ(f.sampleRate, 32000u);
      EXPECT_EQ(f.channels, 1);
      EXPECT_EQ(f.samples, 384u);
      EXPECT_EQ(f.length, 48u);
      EXPECT_EQ(f.mode, ChannelMode::SingleChannel);
      EXPECT_EQ(f.crcProtected, i == 1 || i == 2);
    }
    EXPECT_EQ(d.pcm, std::vector<uint8_t>(6 * 384 * 2, 0));
  }
}

// After a frame with a forbidden allocation the compatible tier drops the rest
// of the buffer, as the exported calls do; the full tier skips only the frame.
TEST(CppDecoder, ForbiddenAllocationEndsTheBufferOnlyInTheCompatibleTier) {
  const auto good = LayerOneFrame();
  const auto stream = Concat({good, LayerOneFrame(false, true, 15), good, good});
  struct Case {
    Accuracy accuracy;
    std::vector<Decoder::Next> pulls;
  };
  using N = Decoder::Next;
  for (const Case& c : {Case{Accuracy::Compatible, {N::Frame, N::Skipped, N::End}},
                        Case{Accuracy::Full, {N::Frame, N::Skipped, N::Frame, N::Frame, N::End}}}) {
    SCOPED_TRACE(static_cast<int>(c.accuracy));
    Decoder decoder({.accuracy = c.accuracy});
    decoder.Feed(stream);
    decoder.Finish();
    Frame f;
    for (size_t i = 0; i < c.pulls.size(); ++i) {
      EXPECT_EQ(decoder.Pull(f), c.pulls[i]) << "pull " << i;
      if (i == 1) {
        EXPECT_EQ(f.skipped, SkipReason::BadAllocation);
        EXPECT_EQ(f.samples, 384u);
        EXPECT_EQ(f.position, 48u);
      }
    }
    EXPECT_EQ(decoder.stats().skipped.badAllocation, 1u);
    EXPECT_EQ(decoder.stats().skipped.Total(), 1u);
  }
}

TEST(CppDecoder, FirstFrameRateConvertsLaterRatesAndSkippedLengths) {
  HeaderFields h48;  // Layer II, 48 kHz stereo, 64 kbit/s: 192-byte frames of silence
  h48.bitrateIndex = 4;
  h48.rateIndex = 1;
  BitWriter w;
  PutHeader(w, h48);
  const auto frame48 = w.PadTo(192).Bytes();
  // The last frame confirms the one before it, which is found by searching.
  const auto stream = Concat({LayerOneFrame(), frame48, LayerOneFrame(true, false), frame48, LayerOneFrame()});
  // The compatible tier interpolates within each frame: 1152 at 48 kHz give
  // ceil(1151 * 32 / 48). The full tier's converter starts over at each
  // change of rate with a silent past, and holds back the last 30 samples
  // (its reach of 20 periods at 32 kHz), 20 at 32 kHz, which lead the next
  // frame's output.
  struct Case {
    Accuracy accuracy;
    uint32_t expected[5];
  };
  for (const Case& c : {Case{Accuracy::Compatible, {384, 768, 384, 768, 384}},
                        Case{Accuracy::Full, {384, 748, 404, 748, 404}}}) {
    SCOPED_TRACE(static_cast<int>(c.accuracy));
    Decoder::Options options;
    options.outputRate = kFirstFrameRate;
    options.accuracy = c.accuracy;
    const Decoded d = DecodeAll(stream, options);
    ASSERT_EQ(d.frames.size(), 5u);
    const uint32_t* expected = c.expected;
    for (size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(d.frames[i].sampleRate, 32000u);
      EXPECT_EQ(d.frames[i].samples, expected[i]);
    }
    EXPECT_EQ(d.frames[1].streamRate, 48000u);
    EXPECT_EQ(d.frames[1].channels, 2);
  }
}

// The full tier's converter keeps the whole duration: its held-back samples
// come in one flush Frame after the last frame, and the total is the input's
// length times the ratio of the rates, rounded up, at every rate; the PCM
// does not depend on how the stream was fed.
TEST(CppDecoder, FullTierConversionKeepsTheWholeDuration) {
  std::vector<std::vector<uint8_t>> frames(25, LayerOneFrame());  // 32 kHz, 384 samples each
  const auto stream = Concat(frames);
  for (const int32_t rate : kOutputRates) {
    SCOPED_TRACE(rate);
    const Decoded d = DecodeAll(stream, {.outputRate = rate});
    uint64_t total = 0;
    for (const Frame& f : d.frames) total += f.samples;
    EXPECT_EQ(total, (25u * 384u * static_cast<uint64_t>(rate) + 31999) / 32000);
    EXPECT_EQ(d.pcm.size(), total * 2 * static_cast<uint64_t>(d.frames[0].channels));
    const bool converting = rate != 32000;
    ASSERT_EQ(d.frames.size(), converting ? 26u : 25u);
    EXPECT_EQ(d.frames.back().flush, converting);
    if (converting) {
      EXPECT_EQ(d.frames.back().length, 0u);
      EXPECT_EQ(d.frames.back().position, stream.size());
      EXPECT_EQ(d.frames.back().sampleRate, static_cast<uint32_t>(rate));
      EXPECT_TRUE(d.frames.back().decoded());
    }
    EXPECT_EQ(DecodeAll(stream, {.outputRate = rate}, {1, 7, 100, 3000}).pcm, d.pcm);
  }
  Decoder decoder({.outputRate = 48000});
  decoder.Feed(stream);
  decoder.Finish();
  Frame f;
  while (decoder.Pull(f) != Decoder::Next::End) {
  }
  EXPECT_EQ(decoder.stats().framesDecoded, 25u);
  EXPECT_EQ(decoder.stats().samplesDecoded, 25u * 384u * 3 / 2);
}

TEST(CppDecoder, RejectsBadOptionsAndFeedingAfterTheEnd) {
  auto code = [](auto make) {
    try {
      make();
    } catch (const Error& e) {
      return static_cast<int>(e.code());
    }
    return -1;
  };
  EXPECT_EQ(code([] { Decoder({.outputRate = 44000}); }), static_cast<int>(ErrorCode::InvalidOutputRate));
  EXPECT_EQ(code([] { Decoder({.bufferBytes = 2888}); }), static_cast<int>(ErrorCode::InvalidBufferSize));
  EXPECT_EQ(code([] { Decoder({.bufferBytes = 32769}); }), static_cast<int>(ErrorCode::InvalidBufferSize));
  EXPECT_EQ(code([] {
              Decoder d;
              d.Finish();
              d.Feed("x", 1);
            }),
            static_cast<int>(ErrorCode::FeedAfterFinish));
  Decoder d;  // nothing fed: the 8 bytes of padding hold no frame
  d.Finish();
  Frame f;
  EXPECT_EQ(d.Pull(f), Decoder::Next::End);
  EXPECT_EQ(d.Pull(f), Decoder::Next::End);
}

// A refused scratch allocation is an error of its own; the frame it hit is
// lost and the decoder goes on with the next one. (The compatible tier's
// interpolation takes scratch memory per frame; the full tier's converter
// takes its memory once, when the Decoder is made.)
TEST(CppDecoder, NoMemoryForTheConversionThrowsAndDecodingGoesOn) {
  struct RestoreHeap {
    ScratchHeap saved = ResampleScratchHeap();
    ~RestoreHeap() { ResampleScratchHeap() = saved; }
  } restore;
  Decoder d({.accuracy = Accuracy::Compatible, .outputRate = 48000});
  d.Feed(Concat({LayerOneFrame(), LayerOneFrame(), LayerOneFrame()}));
  d.Finish();
  Frame f;
  ResampleScratchHeap().allocate = [](uint32_t) -> void* { return nullptr; };
  try {
    d.Pull(f);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), ErrorCode::OutOfMemory);
  }
  ResampleScratchHeap() = restore.saved;
  ASSERT_EQ(d.Pull(f), Decoder::Next::Frame);
  EXPECT_EQ(f.position, 48u);
  EXPECT_EQ(f.sampleRate, 48000u);
  EXPECT_EQ(f.samples, 575u);  // ceil(383 * 48 / 32)
  EXPECT_EQ(d.stats().framesDecoded, 1u);
}

TEST(CppDecoder, RestartCountsPositionsFromTheNewPlace) {
  const auto stream = Concat({LayerOneFrame(), LayerOneFrame()});
  Decoder d;
  d.Feed(std::vector<uint8_t>(5000, 0xFF));  // a window of nothing but sync bits
  Frame f;
  while (d.Pull(f) != Decoder::Next::NeedInput) {
  }
  d.Restart(1000);
  d.Feed(stream);
  d.Finish();
  std::vector<uint64_t> positions;
  for (Decoder::Next n; (n = d.Pull(f)) != Decoder::Next::End;) positions.push_back(f.position);
  EXPECT_EQ(positions, (std::vector<uint64_t>{1000, 1048}));
}

}  // namespace
}  // namespace quorvel::test
