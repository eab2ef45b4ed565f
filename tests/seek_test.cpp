// Sample-accurate positions: Locate() and Restart() give, from any sample on,
// the very samples of a whole-stream decode (full tier, processing off), on
// every corpus stream, damaged ones included, with and without rate
// conversion; and the index, its errors and the compatible tier's frame
// boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bit_writer.h"
#include "corpus.h"
#include "quorvel/decoder.hpp"
#include "synth/synthesis_full.h"
#include "test_seed.h"
#include "test_streams.h"
#include "wrappers.h"

namespace quorvel::test {
namespace {

// The output timeline as a host that conceals damaged frames hears it: per
// sample its channel values (right = kNone for one channel).
constexpr int32_t kNone = INT32_MIN;
struct Timeline {
  std::vector<int32_t> left, right;
  size_t size() const { return left.size(); }
  void Take(const quorvel::Frame& f) {
    const bool concealed = f.skipped == SkipReason::CrcError || f.skipped == SkipReason::BadScalefactor ||
                           f.skipped == SkipReason::BadAllocation || f.skipped == SkipReason::BadSideInfo ||
                           f.skipped == SkipReason::MissingReservoir;
    if (!f.decoded() && !(concealed && f.hasFormat)) return;
    for (uint32_t i = 0; i < f.samples; ++i) {
      left.push_back(f.decoded() ? f.pcm[i * f.channels] : 0);
      right.push_back(f.channels == 1 ? kNone : f.decoded() ? f.pcm[i * 2 + 1] : 0);
    }
  }
};

// Feeds stream[from..] in chunks until `want` samples are in the timeline or
// the stream ends.
Timeline DecodeFrom(Decoder& decoder, const std::vector<uint8_t>& stream, size_t from, size_t want) {
  Timeline t;
  quorvel::Frame f;
  auto drain = [&] {
    for (Decoder::Next n; (n = decoder.Pull(f)) == Decoder::Next::Frame || n == Decoder::Next::Skipped;) t.Take(f);
  };
  constexpr size_t kChunk = 8192;
  for (size_t at = from; at < stream.size() && t.size() < want; at += kChunk) {
    decoder.Feed(stream.data() + at, std::min(kChunk, stream.size() - at));
    drain();
  }
  if (t.size() < want) {
    decoder.Finish();
    drain();
  }
  return t;
}

void Index(Decoder& decoder, const std::vector<uint8_t>& stream) {
  for (size_t at = 0; at < stream.size(); at += 10000) {
    decoder.IndexFeed(std::span<const uint8_t>(stream.data() + at, std::min<size_t>(10000, stream.size() - at)));
  }
  decoder.IndexFinish();
}

// Seeks that resumed after the stream's start (the others decode from it).
int resumedSeeks = 0, allSeeks = 0;

// The slice property at `count` random samples of one stream; returns a
// description of the first failure, or "".
std::string CheckSlices(const std::vector<uint8_t>& stream, const Decoder::Options& options, std::mt19937& rng,
                        int count, size_t length) {
  Decoder whole(options);
  const Timeline all = DecodeFrom(whole, stream, 0, SIZE_MAX);
  Decoder seeker(options);
  Index(seeker, stream);
  if (seeker.IndexedSamples() != all.size()) {
    return "indexed " + std::to_string(seeker.IndexedSamples()) + " samples, decoded " + std::to_string(all.size());
  }
  if (all.size() == 0) return "";
  for (int trial = 0; trial < count; ++trial) {
    const uint64_t target = rng() % all.size();
    const Location at = seeker.Locate(target);
    ++allSeeks;
    if (at.offset > 0) ++resumedSeeks;
    seeker.Restart(at.offset);
    const Timeline part = DecodeFrom(seeker, stream, at.offset, at.discard + length);
    const size_t n = std::min<size_t>(length, all.size() - target);
    const std::string where = "sample " + std::to_string(target) + " (from " + std::to_string(at.offset) +
                              ", dropping " + std::to_string(at.discard) + ")";
    if (part.size() < at.discard + n) return where + ": the decode from there is short";
    for (size_t i = 0; i < n; ++i) {
      if (part.left[at.discard + i] != all.left[target + i] || part.right[at.discard + i] != all.right[target + i]) {
        return where + ": differs at sample " + std::to_string(target + i);
      }
    }
  }
  return "";
}

std::vector<std::string> CorpusStreams(const std::filesystem::path& corpus) {
  std::set<std::string> streams;
  for (const GoldenRow& row : ReadGoldenIndex(corpus)) streams.insert(row.stream);
  return {streams.begin(), streams.end()};
}

// The streams whose frames a syntax check flags (CHECK.tsv: damaged frames,
// bytes outside frames).
std::set<std::string> FlaggedStreams(const std::filesystem::path& corpus) {
  std::set<std::string> flagged;
  std::ifstream in(corpus / "CHECK.tsv");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream row(line);
    for (std::string cell; std::getline(row, cell, '\t');) cells.push_back(cell);
    if (cells.size() > 11 && cells[11] != "-") flagged.insert(cells[0]);
  }
  return flagged;
}

// Every Layer I/II stream of the corpus at 20 random samples, at its own
// rates; every fourth also converted to 44.1 kHz. Streams with damaged
// frames too: where the decoder lost its place, which frames it finds after
// a damaged one depends on where its buffer windows begin, so a seek resumes
// where a window of the whole decode began.
TEST(Seek, EverySliceOfTheCorpusIsTheWholeDecodesSlice) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::printf("[ seed     ] %u\n", seed);
  std::mt19937 rng(seed);
  const std::vector<std::string> streams = CorpusStreams(*corpus);
  const std::set<std::string> flagged = FlaggedStreams(*corpus);
  ASSERT_FALSE(streams.empty());
  int damaged = 0, failing = 0;
  resumedSeeks = allSeeks = 0;
  for (size_t i = 0; i < streams.size(); ++i) {
    const std::vector<uint8_t> stream = ReadFile(*corpus / streams[i]);
    std::string failure = CheckSlices(stream, {}, rng, 20, 1500);
    if (failure.empty() && i % 4 == 0) {
      failure = CheckSlices(stream, {.outputRate = 44100}, rng, 5, 1500);
      if (!failure.empty()) failure += " at 44100 Hz";
    }
    if (flagged.count(streams[i])) {
      ++damaged;
      // Which frames follow damage depends on the windows: other windows too.
      for (const int32_t bytes : {kMinBufferBytes, 10007}) {
        if (!failure.empty()) break;
        failure = CheckSlices(stream, {.bufferBytes = bytes}, rng, 5, 1500);
        if (!failure.empty()) failure += " with " + std::to_string(bytes) + "-byte windows";
      }
    }
    if (!failure.empty()) ++failing;
    EXPECT_EQ(failure, "") << streams[i];
  }
  std::printf("[ slices   ] %zu streams (%d with flagged frames) at 20 samples each: %d failing (%d of %d seeks "
              "resumed after the start)\n",
              streams.size(), damaged, failing, resumedSeeks, allSeeks);
}

// The Layer III streams: the ISO compliance streams (MPEG-1 and LSF, one
// free format) and the 60-second LAME streams with their Info frames, at 20
// random samples each on the gapless timeline, and a few more without
// trimming and converted. The 60-second streams are cut to their first
// 20 s (an Info frame's stated length then runs past the end, as with any
// cut file) so that the run stays short.
TEST(Seek, EveryLayer3SliceIsTheWholeDecodesSlice) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::printf("[ seed     ] %u\n", seed);
  std::mt19937 rng(seed);
  std::vector<std::filesystem::path> paths;
  for (const char* folder : {"iso-layer3", "bench-layer3"}) {
    if (!std::filesystem::is_directory(*corpus / folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(*corpus / folder)) {
      const auto ext = entry.path().extension();
      if (ext == ".bit" || ext == ".mp3") paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  ASSERT_FALSE(paths.empty());
  int failing = 0, n = 0;
  resumedSeeks = allSeeks = 0;
  for (const auto& path : paths) {
    std::vector<uint8_t> stream = ReadFile(path);
    if (stream.size() > (size_t{1} << 20)) stream.resize(stream.size() / 3);
    std::string failure = CheckSlices(stream, {}, rng, 20, 1500);
    if (failure.empty()) {
      failure = CheckSlices(stream, {.gapless = false}, rng, 5, 1500);
      if (!failure.empty()) failure += " without trimming";
    }
    if (failure.empty() && n % 3 == 0) {
      failure = CheckSlices(stream, {.outputRate = 44100}, rng, 5, 1500);
      if (!failure.empty()) failure += " at 44100 Hz";
    }
    ++n;
    if (!failure.empty()) ++failing;
    EXPECT_EQ(failure, "") << path;
  }
  std::printf("[ slices   ] %d Layer III streams at 20 samples each: %d failing (%d of %d seeks resumed after the "
              "start)\n",
              n, failing, resumedSeeks, allSeeks);
}

// The 60-second streams, whose index the benchmark times, with conversion
// both ways.
TEST(Seek, LongStreamsAtTheirRatesAndConverted) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(*corpus / "bench")) {
    const std::vector<uint8_t> stream = ReadFile(entry.path());
    EXPECT_EQ(CheckSlices(stream, {}, rng, 20, 2000), "") << entry.path();
    EXPECT_EQ(CheckSlices(stream, {.outputRate = 48000}, rng, 4, 2000), "") << entry.path() << " at 48000 Hz";
    EXPECT_EQ(CheckSlices(stream, {.outputRate = 16000}, rng, 4, 2000), "") << entry.path() << " at 16000 Hz";
    ++seen;
  }
  EXPECT_GT(seen, 0);
}

std::vector<uint8_t> LayerOne(bool crcError = false) {
  // Layer I, 32 kHz, single channel, 32 kbit/s: 48 bytes of silence, with a
  // protected header whose CRC word is wrong when asked.
  HeaderFields h;
  h.layerCode = 3;
  h.bitrateIndex = 1;
  h.rateIndex = 2;
  h.mode = 3;
  h.protectionBit = crcError ? 0 : 1;
  BitWriter w;
  PutHeader(w, h);
  if (crcError) w.Put(0x1234, 16);
  return w.PadTo(48).Bytes();
}

TEST(Seek, ErrorsAndTheIndexOfSmallStreams) {
  // 200 frames (9600 bytes, three buffer windows), the fifth with a CRC error.
  std::vector<uint8_t> stream;
  for (int i = 0; i < 200; ++i) {
    const auto frame = LayerOne(i == 4);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  Decoder d;
  {
    Decoder plain;
    Timeline t = DecodeFrom(plain, stream, 0, SIZE_MAX);
    ASSERT_EQ(plain.stats().skipped.crcError, 1u);
    ASSERT_EQ(t.size(), 76800u);
  }
  auto code = [&](uint64_t sample) {
    try {
      d.Locate(sample);
    } catch (const Error& e) {
      return static_cast<int>(e.code());
    }
    return -1;
  };
  EXPECT_EQ(code(0), static_cast<int>(ErrorCode::NotIndexed));
  EXPECT_EQ(d.IndexedSamples(), 0u);
  EXPECT_FALSE(d.Seekable());
  Index(d, stream);
  EXPECT_TRUE(d.Seekable());
  EXPECT_EQ(d.IndexedSamples(), 76800u);  // the damaged frame counts its 384 samples
  EXPECT_EQ(code(76800), static_cast<int>(ErrorCode::PastTheEnd));
  EXPECT_EQ(code(UINT64_MAX), static_cast<int>(ErrorCode::PastTheEnd));
  EXPECT_EQ(code(76799), -1);
  // Early samples start from the beginning; later ones from a frame before,
  // where a buffer window of the whole decode began (4096 bytes: a frame
  // that reaches past a window's end begins the next one).
  EXPECT_EQ(d.Locate(100).offset, 0u);
  EXPECT_EQ(d.Locate(100).discard, 100u);
  const Location late = d.Locate(76799);
  EXPECT_EQ(late.offset % 48, 0u);
  EXPECT_GT(late.offset, 0u);
  EXPECT_EQ(late.offset, 2 * (4096 / 48) * 48);
  EXPECT_EQ(late.discard, 76799 - late.offset / 48 * 384);
  const Location middle = d.Locate(40000);
  EXPECT_EQ(middle.offset, 4096 / 48 * 48);
  EXPECT_EQ(middle.discard, 40000 - middle.offset / 48 * 384);
}

// A Layer I frame of silence at 32 kHz (any bitrate, padding and mode),
// protected when asked, with a right or a wrong CRC word.
enum class Crc { None, Right, Wrong };
std::vector<uint8_t> LayerOneFrame(uint32_t bitrateIndex, uint32_t extraSlot, uint32_t mode, uint32_t modeExtension,
                                   uint32_t rateIndex = 2, Crc crc = Crc::None) {
  HeaderFields h;
  h.layerCode = 3;
  h.bitrateIndex = bitrateIndex;
  h.rateIndex = rateIndex;
  h.extraSlot = extraSlot;
  h.mode = mode;
  h.modeExtension = modeExtension;
  h.protectionBit = crc == Crc::None ? 1 : 0;
  BitWriter w;
  PutHeader(w, h);
  if (crc != Crc::None) {
    // The CRC covers the allocation: 4 bits per subband, per channel below
    // the joint-stereo bound.
    const uint32_t bound = mode == 1 ? 4 + 4 * modeExtension : 32;
    const uint32_t bits = mode == 3 ? 128 : 4 * (bound * 2 + (32 - bound));
    const uint16_t word = FrameCrc(w.Bytes(), std::vector<uint8_t>(bits / 8, 0), bits);
    w.Put(crc == Crc::Right ? word : word ^ 1, 16);
  }
  const uint32_t rate = rateIndex == 2 ? 32000 : rateIndex == 1 ? 48000 : 44100;
  const uint32_t bitrates[] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
  return w.PadTo((12 * bitrates[bitrateIndex] * 1000 / rate + extraSlot) * 4).Bytes();
}

// Streams whose frames chain cleanly for long runs (the bitrate, padding
// and mode extension changing from frame to frame) and break in every way
// the scan must notice: a refused body, false sync bytes between frames, a
// change of rate or mode, a frame followed by junk (taken on trust, so its
// body decides what follows), a forbidden bitrate.
std::vector<uint8_t> ChainStream(int shape) {
  std::vector<uint8_t> stream;
  auto add = [&](const std::vector<uint8_t>& bytes) { stream.insert(stream.end(), bytes.begin(), bytes.end()); };
  for (uint32_t i = 0; i < 400; ++i) {
    const uint32_t bitrate = 1 + (i * 7) % 14, pad = i % 3 == 0 ? 1 : 0, extension = i % 4;
    if (shape == 0) {
      add(LayerOneFrame(bitrate, pad, 1, extension));
      continue;
    }
    // Protected frames, the last two before junk refused: their bodies
    // decide what follows.
    const Crc crc = i % 37 == 5 || i == 119 || i == 249 ? Crc::Wrong : Crc::Right;
    if (i >= 150 && i < 160) {
      add(LayerOneFrame(bitrate, pad, 1, extension, 1, crc));  // 48 kHz
    } else if (i >= 200 && i < 230) {
      add(LayerOneFrame(bitrate, pad, 3, 0, 2, crc));  // single channel
    } else {
      add(LayerOneFrame(bitrate, pad, 1, extension, 2, crc));
    }
    if (i == 100) add({0xFF, 0xF3, 0x12, 0xFF, 0xFE, 0x00, 0xFF, 0xFB, 0x90, 0x44});  // false sync
    if (i == 120) add(std::vector<uint8_t>(37, 0xAB));                                 // junk
    if (i == 250) add(std::vector<uint8_t>(5, 0x00));
    if (i == 300) add({0xFF, 0xFF, 0xF0, 0x00});  // a forbidden bitrate
  }
  return stream;
}


// A frame of the whole compatible-tier decode: where its header lies, and
// its first sample and sample count on the output timeline.
struct Placed {
  uint64_t position, first;
  uint32_t samples;
};

// The frames of a whole decode fed in one piece, those the CLI conceals
// with silence counted too when `concealed` is set.
std::vector<Placed> PlaceFrames(const std::vector<uint8_t>& stream, const Decoder::Options& options, bool concealed,
                                Decoder* decoded = nullptr) {
  Decoder own(options);
  Decoder& whole = decoded ? *decoded : own;
  std::vector<Placed> frames;
  uint64_t total = 0;
  quorvel::Frame f;
  auto drain = [&] {
    for (Decoder::Next n; (n = whole.Pull(f)) == Decoder::Next::Frame || n == Decoder::Next::Skipped;) {
      const bool hidden = f.skipped == SkipReason::CrcError || f.skipped == SkipReason::BadAllocation ||
                          f.skipped == SkipReason::BadScalefactor;
      if (!f.decoded() && !(concealed && hidden && f.hasFormat)) continue;
      frames.push_back({f.position, total, f.samples});
      total += f.samples;
    }
  };
  whole.Feed(stream.data(), stream.size());
  drain();
  whole.Finish();
  drain();
  return frames;
}

// An index fed in chunks of `chunk` bytes holds every frame: its first and
// last samples locate at its header.
void ExpectIndexPlacesFrames(const std::vector<uint8_t>& stream, const Decoder::Options& options,
                             const std::vector<Placed>& frames, size_t chunk) {
  SCOPED_TRACE("chunk " + std::to_string(chunk));
  Decoder d(options);
  for (size_t at = 0; at < stream.size(); at += chunk) {
    d.IndexFeed(std::span<const uint8_t>(stream.data() + at, std::min(chunk, stream.size() - at)));
  }
  d.IndexFinish();
  ASSERT_EQ(d.IndexedSamples(), frames.empty() ? 0 : frames.back().first + frames.back().samples);
  for (const Placed& p : frames) {
    for (const uint64_t sample : {p.first, p.first + p.samples - 1}) {
      const Location at = d.Locate(sample);
      ASSERT_EQ(at.offset, p.position) << "sample " << sample;
      ASSERT_EQ(at.discard, sample - p.first) << "sample " << sample;
    }
  }
}
// The index holds every frame the decode finds, at its place: in the
// compatible tier each frame's first and last sample locate at its header,
// whatever the buffer and chunk sizes; in the full tier every slice is the
// whole decode's.
TEST(Seek, TheIndexHoldsEveryFrameOfCleanAndBrokenChains) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  for (const int shape : {0, 1}) {
    const std::vector<uint8_t> stream = ChainStream(shape);
    for (const int32_t buffer : {kDefaultBufferBytes, kMinBufferBytes, 20000}) {
      SCOPED_TRACE("shape " + std::to_string(shape) + ", buffer " + std::to_string(buffer));
      const Decoder::Options compatible{.accuracy = Accuracy::Compatible, .bufferBytes = buffer};
      Decoder whole(compatible);
      const std::vector<Placed> frames = PlaceFrames(stream, compatible, true, &whole);
      ASSERT_GT(frames.size(), 300u);
      if (shape == 1) {
        ASSERT_EQ(whole.stats().skipped.crcError, 13u);
      }
      for (const size_t chunk : {size_t{10000}, size_t{333}}) ExpectIndexPlacesFrames(stream, compatible, frames, chunk);
      const std::string failure = CheckSlices(stream, {.bufferBytes = buffer}, rng, 20, 1000);
      EXPECT_EQ(failure, "");
    }
  }
}

// Where the index's scan meets tags around and between the frames: the
// bytes it reads change from the gate's own buffer to a copy when a tag is
// removed inside the audio it has not read yet, which happens at a place
// that depends on the chunks fed. Whatever the chunks, every frame's first
// and last sample locate at its header (compatible tier), and the full
// tier's slices across the tags are the whole decode's.
TEST(Seek, TheIndexOfAStreamWithTagsBetweenItsFramesIsTheSameWhateverTheChunks) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  // Frames of varied lengths, with tags after frames `tagAfter` (at the
  // start and end too, as files have them).
  auto wrapped = [](std::initializer_list<uint32_t> tagAfter, const Bytes& tag) {
    Bytes stream = Id3v2(3, PrivFrame(SyncLike(40)));
    for (uint32_t i = 0; i < 300; ++i) {
      const Bytes frame = LayerOneFrame(1 + (i * 5) % 14, i % 3 == 0 ? 1 : 0, 1, i % 4);
      stream.insert(stream.end(), frame.begin(), frame.end());
      if (std::find(tagAfter.begin(), tagAfter.end(), i) != tagAfter.end()) {
        stream.insert(stream.end(), tag.begin(), tag.end());
      }
    }
    const Bytes end = Id3v1();
    stream.insert(stream.end(), end.begin(), end.end());
    return stream;
  };
  const struct {
    const char* name;
    Bytes stream;
  } cases[] = {
      {"one ID3v2 tag between frames", wrapped({150}, Id3v2(4, PrivFrame(SyncLike(100))))},
      {"tags close together", wrapped({20, 21, 23, 200}, Id3v2(3, PrivFrame(SyncLike(3))))},
      {"an APE tag between frames", wrapped({99}, Ape(2000, true, SyncLike(30)))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoder::Options compatible{.accuracy = Accuracy::Compatible};
    const std::vector<Placed> frames = PlaceFrames(c.stream, compatible, false);
    ASSERT_EQ(frames.size(), 300u);
    for (const size_t chunk : {size_t{65536}, size_t{4099}, size_t{1000}, size_t{333}, size_t{7}}) {
      ExpectIndexPlacesFrames(c.stream, compatible, frames, chunk);
    }
    EXPECT_EQ(CheckSlices(c.stream, {}, rng, 20, 1000), "");
  }
}

// Locate in Layer III: the Info frame has no place, the gapless timeline
// drops the delay and padding (or keeps them), a frame whose main data lies
// before the stream's start is concealed in the whole decode and counted,
// a seek near the start decodes from the start, and a decode resumed at any
// place ends exactly where the whole decode ends.
TEST(Seek, Layer3PositionsOnTheGaplessTimeline) {
  constexpr uint32_t kFrames = 100, kDelay = 576, kPadding = 1000;
  struct Case {
    const char* name;
    bool info, gapless;
    uint64_t samples;  // of the whole decode, per channel
  };
  const Case cases[] = {
      {"Info frame, gapless", true, true, kFrames * 1152 - kDelay - kPadding},
      {"Info frame, no trimming", true, false, kFrames * 1152},
      {"no Info frame", false, true, kFrames * 1152},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> stream;
    if (c.info) stream = SilentLayer3Frame(0, true, kFrames, kDelay, kPadding);
    // Every frame's main data begins 200 bytes back: the first one (after
    // 123 bytes of the Info frame's, if any) finds too few.
    for (uint32_t i = 0; i < kFrames; ++i) {
      const auto f = SilentLayer3Frame(200);
      stream.insert(stream.end(), f.begin(), f.end());
    }
    const Decoder::Options options{.gapless = c.gapless};
    Decoder whole(options);
    const Timeline all = DecodeFrom(whole, stream, 0, SIZE_MAX);
    EXPECT_EQ(whole.stats().skipped.missingReservoir, c.info ? 1u : 2u);
    EXPECT_EQ(all.size(), c.samples);

    Decoder d(options);
    Index(d, stream);
    ASSERT_TRUE(d.Seekable());
    EXPECT_EQ(d.IndexedSamples(), c.samples);
    EXPECT_EQ(d.IndexedRate(), 32000u);
    EXPECT_THROW(d.Locate(c.samples), Error);
    for (const uint64_t sample : {uint64_t{0}, uint64_t{1}, uint64_t{1151}, uint64_t{3000}, c.samples / 2,
                                  c.samples - 1153, c.samples - 1}) {
      SCOPED_TRACE(sample);
      const Location at = d.Locate(sample);
      // Near the start, from the start; else from a frame's header.
      if (sample < 3000) {
        EXPECT_EQ(at.offset, 0u);
      }
      if (sample >= c.samples / 2) {
        EXPECT_GT(at.offset, 0u);
      }
      EXPECT_EQ(at.offset % 144, 0u);
      const uint64_t missing = d.stats().skipped.missingReservoir;
      d.Restart(at.offset);
      const Timeline part = DecodeFrom(d, stream, at.offset, SIZE_MAX);
      ASSERT_GE(part.size(), at.discard);
      // The frames whose main data lies before a later restart are no damage.
      EXPECT_EQ(d.stats().skipped.missingReservoir - missing, at.offset ? 0u : c.info ? 1u : 2u);
      EXPECT_EQ(part.size() - at.discard, c.samples - sample);  // up to the whole decode's end, no further
      // The frame that holds the sample is some frames on: the decode
      // resumed early enough for the reservoir (200 bytes: two frames back)
      // and the overlap.
      if (at.offset > 0) {
        const uint64_t frame = (at.offset / 144) - (c.info ? 1 : 0);
        const uint64_t holder = (sample + (c.info && c.gapless ? kDelay + 529 : 0)) / 1152;
        EXPECT_GE(holder, frame + 4);
      }
    }
  }
}

TEST(Seek, CompatibleTierStartsAtTheFrameThatHoldsTheSample) {
  std::vector<uint8_t> stream(7, 0xAA);  // leading junk
  for (int i = 0; i < 10; ++i) {
    const auto frame = LayerOne();
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  for (const int32_t rate : {0, 48000}) {
    Decoder d({.accuracy = Accuracy::Compatible, .outputRate = rate});
    Index(d, stream);
    const uint64_t perFrame = rate ? 575 : 384;  // ceil(383 * 48 / 32) when converting
    EXPECT_EQ(d.IndexedSamples(), 10 * perFrame);
    for (const uint64_t sample : {uint64_t{0}, uint64_t{383}, 5 * perFrame + 17, 10 * perFrame - 1}) {
      const Location at = d.Locate(sample);
      EXPECT_EQ(at.offset, 7 + sample / perFrame * 48) << sample;
      EXPECT_EQ(at.discard, sample % perFrame) << sample;
    }
  }
}

// Silence moved into a channel's history without synthesis is the history
// the synthesis of all-zero samples leaves, bit for bit, from any history.
TEST(Seek, SilenceMovesTheHistoryOnAsTheSynthesisOfZeros) {
  const uint32_t seed = TestSeed();
  SCOPED_TRACE(SeedTrace(seed));
  std::mt19937 rng(seed);
  static FrameState frame;
  static PcmBlock pcm;
  static FullSynthesisState a, b;
  ResetFullSynthesis(a);
  frame.sampleRate = 44100;
  frame.modeCode = kModeStereo;
  for (int round = 0; round < 12; ++round) {
    frame.layer = rng() % 2 ? 1 : 2;
    for (auto& channel : frame.samples) {
      for (Q28& v : channel) v = static_cast<Q28>(rng() % 0x20000000u) - 0x10000000;
    }
    SynthesizeFrameFull(a, frame, pcm);  // some history
    b = a;
    for (auto& channel : frame.samples) channel.fill(0);
    SynthesizeFrameFull(a, frame, pcm);
    for (FullChannelHistory& h : b.channel) AdvanceSilenceFull(h, frame.layer == 1 ? 12 : 36);
    for (int ch = 0; ch < 2; ++ch) {
      ASSERT_EQ(a.channel[ch].stored, b.channel[ch].stored) << "round " << round;
      const int used = kFullCarriedSlots + a.channel[ch].stored;
      for (int i = 0; i < used; ++i) {
        ASSERT_EQ(std::memcmp(&a.channel[ch].slot[i], &b.channel[ch].slot[i], sizeof(FullHistorySlot)), 0)
            << "round " << round << " slot " << i;
        ASSERT_EQ(a.channel[ch].first[i], b.channel[ch].first[i]) << "round " << round << " slot " << i;
      }
    }
  }
}

}  // namespace
}  // namespace quorvel::test
