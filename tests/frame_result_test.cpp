// The frame call's typed result: for every outcome, what was written, where
// the frame lies, why a frame was skipped and what its header said.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

#include "api/decoder_state.h"
#include "output/resampler.h"
#include "test_streams.h"

namespace quorvel {

void PrintTo(const FrameResult& r, std::ostream* o) {
  const FrameFormat& f = r.format;
  *o << "{outcome " << static_cast<int>(r.outcome) << ", written " << r.written << ", position " << r.position
     << ", offset " << r.offset << ", tail " << r.tail << ", reason 0x" << std::hex << r.reason << std::dec;
  if (f.sound) {
    *o << ", layer " << f.layer << ", flags 0x" << std::hex << f.flags << std::dec << ", mode " << f.modeCode << ", "
       << f.bitrate << " bit/s, " << f.sampleRate << " Hz, " << f.length << " bytes, " << f.channels
       << " channels, " << f.samples << " samples at " << f.outputRate << " Hz";
  }
  *o << "}";
}

namespace {

using Bytes = std::vector<uint8_t>;
using test::HeaderFields;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes Zeros(size_t n) { return Bytes(n, 0); }

// test::Good(): MPEG-1 Layer II, 128 kbit/s, 44100 Hz, stereo, 417 bytes.
const Bytes kGood = test::Good();
// test::Layer1(): MPEG-1 Layer I, 384 kbit/s, 48000 Hz, stereo, 384 bytes.
const Bytes kLayer1 = test::Layer1(0, 0, test::Crc::kNone);
const Bytes kLayer3 = test::Frame({.layerCode = 1});                 // 112 kbit/s, 44100 Hz: 365 bytes
const Bytes kLayer3Lsf = test::Frame({.idBit = 0, .layerCode = 1});  // 64 kbit/s, 22050 Hz: 208 bytes
const Bytes kMono = test::Frame({.mode = 3});

// The formats of those headers, written out from their fields.
FrameFormat Format(uint32_t layer, uint32_t flags, int32_t modeCode, uint32_t bitrate, uint32_t rate, uint32_t length,
                   uint32_t samples) {
  const int channels = modeCode == kModeSingleChannel ? 1 : 2;
  return {true, layer, flags, modeCode, bitrate, rate, length, channels, rate, samples};
}
const FrameFormat kGoodFormat = Format(2, 0, kModeStereo, 128000, 44100, 417, 1152);
const FrameFormat kLayer1Format = Format(1, 0, kModeStereo, 384000, 48000, 384, 384);
const FrameFormat kLayer3Format = Format(3, 0, kModeStereo, 112000, 44100, 365, 1152);
const FrameFormat kLayer3LsfFormat = Format(3, FlagLsf, kModeStereo, 64000, 22050, 208, 576);
const FrameFormat kMonoFormat = Format(2, 0, kModeSingleChannel, 128000, 44100, 417, 1152);

FrameFormat ConvertedTo(FrameFormat f, uint32_t rate, uint32_t samples) {
  f.outputRate = rate;
  f.samples = samples;
  return f;
}
FrameFormat Protected(FrameFormat f) {
  f.flags |= FlagProtected;
  return f;
}

FrameResult Result(FrameOutcome outcome, uint32_t position, uint32_t offset) {
  FrameResult r;
  r.outcome = outcome;
  r.position = position;
  r.offset = offset;
  return r;
}
FrameResult Decoded(uint32_t position, uint32_t offset, int32_t written, const FrameFormat& format) {
  FrameResult r = Result(FrameOutcome::Decoded, position, offset);
  r.written = written;
  r.format = format;
  return r;
}
FrameResult Skipped(Status reason, uint32_t position, uint32_t offset, const FrameFormat& format = {},
                    FrameOutcome outcome = FrameOutcome::Skipped) {
  FrameResult r = Result(outcome, position, offset);
  r.reason = reason;
  r.format = format;
  return r;
}
FrameResult KeepTail(uint32_t position, uint32_t offset, uint32_t tail) {
  FrameResult r = Result(FrameOutcome::KeepTail, position, offset);
  r.tail = tail;
  return r;
}
FrameResult OutOfMemory(uint32_t position, uint32_t offset, const FrameFormat& format) {
  FrameResult r = Result(FrameOutcome::OutOfMemory, position, offset);
  r.format = format;
  return r;
}

void* Refuse(uint32_t) { return nullptr; }
void Release(void* block) { std::free(block); }

constexpr int kNoBuffer = -1;

struct Step {
  int buffer;  // index into the case's buffers, or kNoBuffer: go on in the current one
  FrameResult expected;
};

struct Case {
  const char* name;
  std::vector<Bytes> buffers;
  std::vector<Step> steps;
  int32_t outputRate = 0;  // SetOutputRate after Init
  bool heapRefuses = false;
};

TEST(FrameResult, EachOutcomeSaysWhatHappenedWhereAndWhy) {
  const Bytes badCrc = test::Layer1(0, 0, test::Crc::kWrong);
  const Bytes badScalefactor = test::Layer1(1, 63, test::Crc::kNone);
  const Bytes badAllocation = test::Layer1(15, 0, test::Crc::kNone);
  const Case cases[] = {
      {"no buffer since the reset", {}, {{kNoBuffer, FrameResult{}}}},
      {"two frames and 8 bytes without sync",
       {Cat({kGood, kGood, Zeros(8)})},
       {{0, Decoded(0, 0, 4608, kGoodFormat)},
        {kNoBuffer, Decoded(417, 417, 4608, kGoodFormat)},
        {kNoBuffer, Skipped(StatusBadHeader, 834, 834)},
        {kNoBuffer, KeepTail(834, 834, 8)}}},
      {"a single-channel frame", {Cat({kMono, Zeros(8)})}, {{0, Decoded(0, 0, 2304, kMonoFormat)}}},
      {"a frame longer than the buffer",
       {Bytes(kGood.begin(), kGood.begin() + 300)},
       {{0, Result(FrameOutcome::BufferDone, 0, 0)}}},
      {"a kept tail begins the next buffer",
       {Cat({kGood, kGood, Zeros(5)}), Cat({kGood, Zeros(8)})},
       {{0, Decoded(0, 0, 4608, kGoodFormat)},
        {kNoBuffer, KeepTail(417, 417, 422)},
        {1, Decoded(417, 0, 4608, kGoodFormat)}}},
      {"a CRC error, then the next frame",
       {Cat({badCrc, kLayer1, kLayer1, Zeros(8)})},
       {{0, Skipped(StatusCrcError, 0, 0, Protected(kLayer1Format))},
        {kNoBuffer, Decoded(384, 384, 1536, kLayer1Format)}}},
      {"a bad scalefactor", {Cat({badScalefactor, Zeros(8)})}, {{0, Skipped(StatusBadScalefactor, 0, 0, kLayer1Format)}}},
      {"a forbidden allocation ends the buffer",
       {Cat({badAllocation, kGood, Zeros(8)}), Cat({kGood, Zeros(8)})},
       {{0, Skipped(StatusBadAllocation, 0, 0, kLayer1Format, FrameOutcome::SkippedToEnd)},
        {1, Decoded(809, 0, 4608, kGoodFormat)}}},
      {"a Layer III frame", {Cat({kLayer3, Zeros(8)})}, {{0, Skipped(StatusUnsupportedLayer, 0, 0, kLayer3Format)}}},
      {"an LSF Layer III frame",
       {Cat({kLayer3Lsf, Zeros(8)})},
       {{0, Skipped(StatusUnsupportedLayer, 0, 0, kLayer3LsfFormat)}}},
      {"no header where one is expected", {Cat({Zeros(20), kGood})}, {{0, Skipped(StatusBadHeader, 0, 0)}}},
      // ceil((n - 1) * to / from) samples per channel.
      {"a frame converted to 22050 Hz",
       {Cat({kGood, Zeros(8)})},
       {{0, Decoded(0, 0, 2304, ConvertedTo(kGoodFormat, 22050, 576))}},
       22050},
      {"a skipped frame counts the samples it would have given at 8000 Hz",
       {Cat({badCrc, Zeros(8)})},
       {{0, Skipped(StatusCrcError, 0, 0, ConvertedTo(Protected(kLayer1Format), 8000, 64))}},
       8000},
      {"no scratch memory for the conversion",
       {Cat({kGood, kGood, Zeros(8)})},
       {{0, OutOfMemory(0, 0, ConvertedTo(kGoodFormat, 48000, 1253))},
        {kNoBuffer, OutOfMemory(417, 417, ConvertedTo(kGoodFormat, 48000, 1253))}},
       48000,
       true},
  };
  struct RestoreHeap {
    ScratchHeap saved = ResampleScratchHeap();
    ~RestoreHeap() { ResampleScratchHeap() = saved; }
  } restore;
  std::vector<uint8_t> out(kMaxResampledBytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResampleScratchHeap() = c.heapRefuses ? ScratchHeap{Refuse, Release} : restore.saved;
    auto state = std::make_unique<DecoderState>();
    InitDecoder(*state, 0, nullptr);
    SetOutputRate(*state, c.outputRate);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "call " << i + 1);
      const Step& step = c.steps[i];
      const Bytes* buffer = step.buffer == kNoBuffer ? nullptr : &c.buffers[static_cast<size_t>(step.buffer)];
      const int32_t length = buffer ? static_cast<int32_t>(buffer->size()) : 0;  // not read without a buffer
      EXPECT_EQ(DecompressFrame(*state, buffer ? buffer->data() : nullptr, length, out.data()), step.expected);
    }
  }
}

// Positions count in the stream, offsets in the buffer. After a probe the
// next buffer is counted as beginning at the probed frame; a host that begins
// it elsewhere (the C++ Decoder presents its window again) keeps its own
// count from the offsets.
TEST(FrameResult, PositionsCountInTheStreamOffsetsInTheBuffer) {
  auto state = std::make_unique<DecoderState>();
  InitDecoder(*state, 0, nullptr);
  const Bytes stream = Cat({Zeros(100), kGood, kGood, Zeros(8)});
  int32_t rate = 0, channels = 0, bitrate = 0;
  ASSERT_EQ(ProbeHeader(*state, stream.data(), static_cast<int32_t>(stream.size()), &rate, &channels, &bitrate),
            kResultFrame);
  const Bytes rest(stream.begin() + 50, stream.end());  // 50 bytes before the probed frame
  std::vector<uint8_t> out(kMaxFrameBytes);
  const FrameResult first = DecompressFrame(*state, rest.data(), static_cast<int32_t>(rest.size()), out.data());
  EXPECT_EQ(first, Skipped(StatusBadHeader, 100, 0));
  const FrameResult second = DecompressFrame(*state, nullptr, 0, out.data());
  EXPECT_EQ(second, Decoded(150, 50, 4608, kGoodFormat));
}

// A host may move the buffer's bytes between calls: the decoder reads on at
// the new place and gives the same frames as from the old one.
TEST(FrameResult, MovedBufferDecodesOnFromItsNewPlace) {
  const Bytes stream = Cat({kLayer1, test::Layer1(2, 20, test::Crc::kRight), kLayer1, Zeros(8)});
  std::vector<uint8_t> out(kMaxFrameBytes), expected(kMaxFrameBytes);
  auto still = std::make_unique<DecoderState>(), moved = std::make_unique<DecoderState>();
  InitDecoder(*still, 0, nullptr);
  InitDecoder(*moved, 0, nullptr);
  const int32_t length = static_cast<int32_t>(stream.size());
  auto first = std::make_unique<Bytes>(stream);
  Bytes second;
  for (int call = 0; call < 4; ++call) {
    SCOPED_TRACE(call);
    const bool present = call == 0;
    const FrameResult want = DecompressFrame(*still, present ? stream.data() : nullptr, length, expected.data());
    if (call == 1) {  // a new place, and the old one overwritten
      second = *first;
      std::memset(first->data(), 0xFF, first->size());
      MoveBuffer(*moved, second.data());
    }
    const FrameResult got = DecompressFrame(*moved, present ? first->data() : nullptr, length, out.data());
    EXPECT_EQ(got, want);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + got.written), Bytes(expected.begin(), expected.begin() + want.written));
  }
}

// The C header's room for resampled output is the largest conversion of the
// longest frame between any two of the nine rates.
TEST(FrameResult, ResampledRoomFitsTheLargestConversion) {
  uint32_t most = 0;
  for (const int32_t from : ResampleRateTable) {
    for (const int32_t to : ResampleRateTable) {
      most = std::max(most, ResampledCapacity(kSamplesPerChannel, from, to));
    }
  }
  EXPECT_EQ(most * kMaxChannels * 2, static_cast<uint32_t>(kMaxResampledBytes));
}

}  // namespace
}  // namespace quorvel
