// Fuzz target: the C++ Decoder's Feed/Pull/Finish/Restart with options,
// chunk sizes and call order from the input (see host_script.h), and its
// frame index (IndexFeed, Locate and a decode resumed there).
//
// Besides the sanitizers' findings it checks what the API promises: frames
// that describe themselves consistently, positions inside what was fed,
// decoded frames in stream order, a bounded number of pulls, and, whenever the
// stream went through without a restart, PCM identical to that of a decoder
// fed the whole stream in one piece. A twin decoder in the other accuracy gets
// the same calls and must describe the same frames (see PullTwin).
//
// A script byte wraps the stream as files do (ID3v2 in front, a damaged one,
// ID3v1 or APEv2 at the end, a tag between two halves, RIFF/WAVE or RF64
// around it) and tells whether the decoder is given the input's size and
// tail first, so that the gate in front of the frame search meets every path.
#include <cstring>
#include <memory>
#include <vector>

#include "host_script.h"
#include "quorvel/decoder.hpp"

namespace {

using quorvel::Decoder;
using quorvel::fuzz::HostScript;
using quorvel::fuzz::Require;

// Frames per input: the stream ends after as many frames as a walk over the
// headers finds, and every decode covers that much (the chunked one, its twin
// in the other accuracy and, without a restart, the one-piece one: nine frame
// decodes at most, as many as the C harness's four frames in two tiers and
// its probes). Synthesising a whole 16 KiB input (up to 450 frames at the
// lowest bit rates), twice, under the sanitizers held the fuzzer to about
// sixty inputs a second, while what the checks look at (chunk bookkeeping,
// frame search, positions, headers) is all met within the first frames.
constexpr int kFrameBudget = 3;

struct Outcome {
  std::vector<uint8_t> pcm;
  uint64_t frames = 0;
};

void Put32(std::vector<uint8_t>& b, uint32_t v, bool bigEndian = false) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (bigEndian ? 24 - 8 * i : 8 * i)));
}

void PutText(std::vector<uint8_t>& b, const char* text) {
  b.insert(b.end(), text, text + std::strlen(text));
}

// An ID3v2.3 tag of `body` payload bytes (sync-like), declaring `claim`.
void PutId3(std::vector<uint8_t>& b, uint32_t body, uint32_t claim) {
  PutText(b, "ID3");
  b.insert(b.end(), {3, 0, 0});
  for (int shift = 21; shift >= 0; shift -= 7) b.push_back(static_cast<uint8_t>((claim >> shift) & 0x7F));
  for (uint32_t i = 0; i < body; ++i) b.push_back(i % 2 ? 0xFB : 0xFF);
}

// The stream wrapped as `kind` (0..7) says; `size` steers the tags' sizes.
std::vector<uint8_t> Wrap(const uint8_t* stream, size_t n, int kind, uint32_t size) {
  std::vector<uint8_t> b;
  const size_t half = n / 2;
  switch (kind) {
    case 1: PutId3(b, size, size); break;
    case 2: PutId3(b, size, size * 7 + 100); break;  // damaged: claims more than there is
    case 4:
    case 5: {
      const bool rf64 = kind == 5;
      PutText(b, rf64 ? "RF64" : "RIFF");
      Put32(b, rf64 ? 0xFFFFFFFF : static_cast<uint32_t>(n + 4 + 48 + 8 + (rf64 ? 36 : 0) + 18));
      PutText(b, "WAVE");
      if (rf64) {
        PutText(b, "ds64");
        Put32(b, 28);
        for (int i = 0; i < 8; ++i) b.push_back(0);
        Put32(b, static_cast<uint32_t>(n));
        Put32(b, 0);
        for (int i = 0; i < 12; ++i) b.push_back(0);
      }
      PutText(b, "fmt ");
      Put32(b, 40);
      b.insert(b.end(), {0x50, 0, 2, 0});
      for (int i = 0; i < 36; ++i) b.push_back(0);
      PutText(b, "data");
      Put32(b, rf64 ? 0xFFFFFFFF : (size & 1) ? 0 : static_cast<uint32_t>(n));
      break;
    }
    default: break;
  }
  b.insert(b.end(), stream, stream + (kind == 6 ? half : n));
  switch (kind) {
    case 3:
      PutText(b, "TAG");
      b.resize(b.size() + 125, 0xFF);
      break;
    case 4:
    case 5:
      if (n % 2) b.push_back(0);
      PutText(b, "LIST");
      Put32(b, 10);
      b.insert(b.end(), {'I', 'N', 'F', 'O', 0xFF, 0xFD, 0x90, 0x64, 0xFF, 0xFB});
      break;
    case 6:
      PutId3(b, size, size);
      b.insert(b.end(), stream + half, stream + n);
      break;
    case 7: {
      const std::vector<uint8_t> item = {4, 0, 0, 0, 0, 0, 0, 0, 'A', 'r', 't', 0, 0xFF, 0xFD, 0x90, 0x64};
      for (int header = 0; header < 2; ++header) {
        if (header == 1) b.insert(b.end(), item.begin(), item.end());
        PutText(b, "APETAGEX");
        Put32(b, 2000);
        Put32(b, static_cast<uint32_t>(item.size() + 32));
        Put32(b, 1);
        Put32(b, header == 0 ? 0xA0000000u : 0x80000000u);
        for (int i = 0; i < 8; ++i) b.push_back(0);
      }
      break;
    }
    default: break;
  }
  return b;
}

// The decoder told the input's size and its last bytes, when `known`.
void TellSize(Decoder& decoder, const std::vector<uint8_t>& input, bool known, size_t tail) {
  if (!known) return;
  tail = std::min(tail, input.size());
  decoder.SetInputSize(input.size(), std::span<const uint8_t>(input.data() + input.size() - tail, tail));
}

bool IsOutputRate(uint32_t rate) {
  for (const int32_t r : quorvel::kOutputRates) {
    if (static_cast<uint32_t>(r) == rate) return true;
  }
  return false;
}

// Pulls the twin once, as the decoder was just pulled: the accuracies differ
// only in the arithmetic after the side information, so they must take the
// same step and describe the same frame, all but its PCM bytes. Up to and
// including the first frame with a forbidden allocation: there the compatible
// tier drops the rest of its window and the full tier only that frame, so the
// two go on from different bytes, and the twin is let go.
//
// Converting the rate, the full tier filters across frames: its frames give
// other sample counts, and it gives a flush Frame after the last one, which
// the twin steps over.
// So it is at the first free-format or Layer III frame either meets, which
// only the full tier decodes.
// Whether this input's options convert the rate: the full tier's converter
// then also carries samples across a change of input rate, into frames that
// are at the output rate themselves, and the first frame's rate may be taken
// from another frame in each tier.
bool converting = false;

// Whether the input holds a free-format header anywhere (sync, a layer, bit
// rate index 0, a valid rate). The compatible tier reports such a header as
// a bad one, while the full tier may take it as a free-format frame, or, near
// the end, as a truncated one that reports nothing, and the two search on
// from different places: from there on they may take different steps, so
// the twin is let go at the first step, skip reason or position that differs.
bool freeFormatHeader = false;

bool HoldsFreeFormatHeader(const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && (bytes[i + 1] & 0xE0) == 0xE0 && (bytes[i + 1] & 0x06) != 0 && (bytes[i + 2] >> 4) == 0 &&
        ((bytes[i + 2] >> 2) & 3) != 3) {
      return true;
    }
  }
  return false;
}

void PullTwin(std::unique_ptr<Decoder>& twin, Decoder::Next next, const quorvel::Frame& frame) {
  if (frame.flush) return;
  quorvel::Frame other;
  Decoder::Next step = twin->Pull(other);
  if (step == Decoder::Next::Frame && other.flush) step = twin->Pull(other);
  auto fullOnly = [](Decoder::Next n, const quorvel::Frame& f) {
    return (n == Decoder::Next::Frame || n == Decoder::Next::Skipped) && (f.freeFormat || (f.hasFormat && f.layer == 3));
  };
  const bool stepped = next == Decoder::Next::Frame || next == Decoder::Next::Skipped;
  const bool differ =
      step != next || (stepped && (other.skipped != frame.skipped || other.position != frame.position));
  if (fullOnly(next, frame) || fullOnly(step, other) || (freeFormatHeader && differ)) {
    twin.reset();
    return;
  }
  Require(step == next, "accuracies: same next step", static_cast<long>(next), static_cast<long>(step));
  if (next != Decoder::Next::Frame && next != Decoder::Next::Skipped) return;
  Require(other.skipped == frame.skipped, "accuracies: same skip reason", static_cast<long>(frame.skipped),
          static_cast<long>(other.skipped));
  Require(other.position == frame.position, "accuracies: same position", static_cast<long>(frame.position),
          static_cast<long>(other.position));
  Require(other.hasFormat == frame.hasFormat, "accuracies: same hasFormat", frame.hasFormat, other.hasFormat);
  const bool converted = converting || (frame.hasFormat && frame.sampleRate != frame.streamRate);
  Require(converted || other.samples == frame.samples, "accuracies: same samples", frame.samples, other.samples);
  Require(other.channels == frame.channels, "accuracies: same channels", frame.channels, other.channels);
  // With the first frame's rate, the full tier may take it from a frame the
  // compatible tier passes over (Layer III, free format).
  Require(converting || other.sampleRate == frame.sampleRate, "accuracies: same sample rate", frame.sampleRate,
          other.sampleRate);
  Require(other.length == frame.length, "accuracies: same frame length", frame.length, other.length);
  Require(other.layer == frame.layer && other.version == frame.version && other.mode == frame.mode &&
              other.bitrate == frame.bitrate && other.streamRate == frame.streamRate &&
              other.crcProtected == frame.crcProtected,
          "accuracies: same header", frame.layer, other.layer);
  Require(converted || other.pcm.size() == frame.pcm.size(), "accuracies: same PCM size", static_cast<long>(frame.pcm.size()),
          static_cast<long>(other.pcm.size()));
  if (frame.skipped == quorvel::SkipReason::BadAllocation) twin.reset();
}

// Pulls until the decoder needs input or ends, checking every frame, and the
// twin (when there is one) in step.
Decoder::Next Drain(Decoder& decoder, std::unique_ptr<Decoder>& twin, Outcome& outcome, uint64_t fed,
                    int64_t& lastFrame, size_t maxPulls = SIZE_MAX) {
  quorvel::Frame frame;
  // Every pull that returns a frame consumes at least one byte of the fed
  // stream or of its padding.
  const uint64_t bound = fed + 64;
  for (uint64_t pulls = 0;; ++pulls) {
    if (pulls == maxPulls) return Decoder::Next::Frame;
    Require(pulls <= bound, "pulls bounded by the bytes fed", static_cast<long>(pulls), static_cast<long>(fed));
    const Decoder::Next next = decoder.Pull(frame);
    if (twin) PullTwin(twin, next, frame);
    if (next != Decoder::Next::Frame && next != Decoder::Next::Skipped) return next;
    Require(frame.position <= fed + 8, "frame position inside the stream", static_cast<long>(frame.position));
    if (next == Decoder::Next::Skipped) {
      Require(!frame.decoded() && frame.pcm.empty() && frame.bytes.empty(), "a skipped frame has no PCM");
      continue;
    }
    Require(frame.decoded() && frame.hasFormat, "a decoded frame describes itself");
    Require(frame.channels == 1 || frame.channels == 2, "channels", frame.channels);
    Require(IsOutputRate(frame.sampleRate), "sample rate", frame.sampleRate);
    Require(frame.samples > 0 && frame.pcm.size() == frame.samples * static_cast<size_t>(frame.channels) &&
                frame.bytes.size() == 2 * frame.pcm.size(),
            "PCM size", frame.samples, static_cast<long>(frame.bytes.size()));
    Require((frame.length > 0 || frame.flush) && frame.length <= 2881, "frame length", frame.length);
    Require(static_cast<int64_t>(frame.position) > lastFrame, "frames decoded once, in stream order",
            static_cast<long>(frame.position), lastFrame);
    lastFrame = static_cast<int64_t>(frame.position);
    outcome.pcm.insert(outcome.pcm.end(), frame.bytes.begin(), frame.bytes.end());
    if (!frame.flush) ++outcome.frames;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer and the replay program pass the input in an allocation of its
  // own size already.
  HostScript script(data, size);
  const size_t bareSize = quorvel::fuzz::FramesPrefix(data, script.StreamSize(), kFrameBudget);
  const uint8_t wrapping = script.Byte();
  const bool sizeKnown = wrapping & 1;
  const size_t tailBytes = script.Below(70000);
  // The wrapped input in an allocation of exactly its size.
  const std::vector<uint8_t> wrapped = Wrap(data, bareSize, (wrapping >> 1) & 7, script.Below(300));
  const std::unique_ptr<uint8_t[]> input(new uint8_t[wrapped.size() ? wrapped.size() : 1]);
  if (!wrapped.empty()) std::memcpy(input.get(), wrapped.data(), wrapped.size());
  const uint8_t* stream = input.get();
  const size_t streamSize = wrapped.size();
  freeFormatHeader = HoldsFreeFormatHeader(wrapped);

  Decoder::Options options;
  const uint8_t flags = script.Byte();
  options.processing = flags & 1;
  for (int8_t& band : options.bands) band = static_cast<int8_t>(script.Byte());
  options.preamp = static_cast<int8_t>(script.Byte());
  switch ((flags >> 1) & 3) {
    case 0:
      options.outputRate = 0;
      break;
    case 1:
      options.outputRate = quorvel::kOutputRates[script.Byte() % 9];
      break;
    case 2:
      options.outputRate = quorvel::kFirstFrameRate;
      break;
    default:
      options.outputRate = static_cast<int32_t>(script.Word() << 16 | script.Word());
      break;
  }
  options.bufferBytes = (flags & 8) ? static_cast<int32_t>(script.Word() << 1) : 2889 + script.Below(32768 - 2889 + 1);
  converting = options.outputRate != 0;
  const int chunkMode = flags >> 4;
  // The chunked and the one-piece decode in one accuracy, the twin in the other.
  options.accuracy = (chunkMode & 8) ? quorvel::Accuracy::Compatible : quorvel::Accuracy::Full;

  std::unique_ptr<Decoder> decoder;
  try {
    decoder = std::make_unique<Decoder>(options);
  } catch (const quorvel::Error& e) {
    const bool badRate = e.code() == quorvel::ErrorCode::InvalidOutputRate;
    Require(badRate || e.code() == quorvel::ErrorCode::InvalidBufferSize, "constructor error code");
    Require(!badRate || options.outputRate != 0, "rate 0 is valid");
    return 0;
  }
  // The same options but for the accuracy; they are valid, as the decoder's
  // were.
  Decoder::Options twinOptions = options;
  twinOptions.accuracy = (chunkMode & 8) ? quorvel::Accuracy::Full : quorvel::Accuracy::Compatible;
  std::unique_ptr<Decoder> twin = std::make_unique<Decoder>(twinOptions);
  TellSize(*decoder, wrapped, sizeKnown, tailBytes);
  TellSize(*twin, wrapped, sizeKnown, tailBytes);

  // The PCM of both decodes goes to buffers that keep their room from input to
  // input: growing fresh ones cost more than the decodes.
  static Outcome chunked, reference;
  chunked = {std::move(chunked.pcm), 0};
  chunked.pcm.clear();
  int64_t lastFrame = -1;
  bool restarted = false;
  size_t offset = 0;
  int restartsLeft = 4, emptyLeft = 16;
  while (offset < streamSize) {
    size_t chunk;
    switch (chunkMode & 3) {
      case 0:
        chunk = 1 + script.Below(16);
        break;
      case 1:
        chunk = 1 + script.Below(4096);
        break;
      case 2:
        chunk = 1 + script.Below(40000);
        break;
      default:
        chunk = script.Chance(2) && emptyLeft-- > 0 ? 0 : 1 + script.Below(1024);
        break;  // empty ones too
    }
    chunk = std::min(chunk, streamSize - offset);
    // Each chunk in an allocation of its own size, released after Feed.
    const std::unique_ptr<uint8_t[]> piece(new uint8_t[chunk]);
    if (chunk) std::memcpy(piece.get(), stream + offset, chunk);
    decoder->Feed(piece.get(), chunk);
    if (twin) twin->Feed(piece.get(), chunk);
    offset += chunk;

    const uint8_t action = script.Byte() % 16;
    if (action == 0 && (chunkMode & 4) && restartsLeft-- > 0) {  // a seek to anywhere
      offset = script.Below(static_cast<uint32_t>(streamSize));
      decoder->Restart(offset);
      if (twin) twin->Restart(offset);
      lastFrame = static_cast<int64_t>(offset) - 1;
      restarted = true;
    } else if (action < 6) {
      // Pull only a few frames now, then feed again while a buffer is open.
      Drain(*decoder, twin, chunked, offset, lastFrame, action);
    } else {
      Drain(*decoder, twin, chunked, offset, lastFrame);
    }
  }
  decoder->Finish();
  decoder->Finish();  // does nothing
  if (twin) twin->Finish();
  Require(Drain(*decoder, twin, chunked, offset, lastFrame) == Decoder::Next::End, "the stream ends after Finish");
  quorvel::Frame frame;
  Require(decoder->Pull(frame) == Decoder::Next::End, "End stays End");
  try {
    const uint8_t byte = 0;
    decoder->Feed(&byte, 1);
    Require(false, "Feed after Finish throws");
  } catch (const quorvel::Error& e) {
    Require(e.code() == quorvel::ErrorCode::FeedAfterFinish, "Feed after Finish error code");
  }
  Require(decoder->stats().framesDecoded == chunked.frames, "stats count the decoded frames");
  if (twin) {
    // Converting, the tiers give other sample counts (see PullTwin).
    Require(twin->stats().framesDecoded == chunked.frames &&
                (options.outputRate != 0 || twin->stats().samplesDecoded == decoder->stats().samplesDecoded) &&
                twin->stats().skipped.Total() == decoder->stats().skipped.Total(),
            "accuracies: same stats", static_cast<long>(twin->stats().framesDecoded),
            static_cast<long>(chunked.frames));
  }

  if (!restarted) {
    // The same stream in one piece must give the same bytes.
    Decoder whole(options);
    TellSize(whole, wrapped, sizeKnown, tailBytes);
    whole.Feed(stream, streamSize);
    whole.Finish();
    reference = {std::move(reference.pcm), 0};
    reference.pcm.clear();
    int64_t last = -1;
    std::unique_ptr<Decoder> noTwin;
    Require(Drain(whole, noTwin, reference, streamSize, last) == Decoder::Next::End, "one-piece stream ends");
    // Known and left for later: the full tier measures a free-format length
    // once, from two free-format headers that chain; fed whole it may learn
    // it from frames further on than a chunked decode has seen at an earlier
    // free-format header, and then take that header's frame on trust. So
    // with free-format headers in the input the full tier is not held to
    // the same frames whatever the chunking.
    if (!(freeFormatHeader && options.accuracy == quorvel::Accuracy::Full)) {
      Require(reference.frames == chunked.frames, "chunking changes no frame count", static_cast<long>(chunked.frames),
              static_cast<long>(reference.frames));
      Require(reference.pcm == chunked.pcm, "chunking changes no PCM byte");
    }
  }

  // The frame index of the same input: Locate gives an offset inside it and
  // refuses the end, and a decode resumed there ends. One input in four: the
  // index and the resumed decode take two more decoders, which cost most of
  // an input's time and would cut the executions per second tenfold.
  if (!script.Chance(4)) return 0;
  Decoder indexed(options);
  TellSize(indexed, wrapped, sizeKnown, tailBytes);
  indexed.IndexFeed(std::span<const uint8_t>(stream, streamSize));
  indexed.IndexFinish();
  Require(indexed.Seekable(), "an indexed stream is seekable");
  const uint64_t total = indexed.IndexedSamples();
  try {
    indexed.Locate(total);
    Require(false, "Locate past the end throws");
  } catch (const quorvel::Error& e) {
    Require(e.code() == quorvel::ErrorCode::PastTheEnd, "Locate past the end error code");
  }
  if (total > 0) {
    const uint64_t target = (uint64_t{script.Word()} << 16 | script.Word()) % total;
    const quorvel::Location at = indexed.Locate(target);
    Require(at.offset <= streamSize, "Locate: an offset inside the input", static_cast<long>(at.offset));
    indexed.Restart(at.offset);
    indexed.Feed(stream + at.offset, streamSize - at.offset);
    indexed.Finish();
    quorvel::Frame f;
    for (uint64_t pulls = 0;; ++pulls) {
      Require(pulls <= streamSize + 64, "pulls bounded by the bytes fed");
      const Decoder::Next next = indexed.Pull(f);
      if (next == Decoder::Next::End) break;
      Require(next == Decoder::Next::Frame || next == Decoder::Next::Skipped, "a fed and finished stream ends");
    }
  }
  return 0;
}
