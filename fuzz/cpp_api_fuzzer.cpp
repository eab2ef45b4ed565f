// Fuzz target: the C++ Decoder's Feed/Pull/Finish/Restart with options,
// chunk sizes and call order from the input (see host_script.h).
//
// Besides the sanitizers' findings it checks what the API promises: frames
// that describe themselves consistently, positions inside what was fed,
// decoded frames in stream order, a bounded number of pulls, and, whenever the
// stream went through without a restart, PCM identical to that of a decoder
// fed the whole stream in one piece. A twin decoder in the other accuracy gets
// the same calls and must describe the same frames (see PullTwin).
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
// two go on from different bytes, and the twin is let go. So it is at the
// first Layer III frame either meets, which only the full tier decodes.
void PullTwin(std::unique_ptr<Decoder>& twin, Decoder::Next next, const quorvel::Frame& frame) {
  quorvel::Frame other;
  const Decoder::Next step = twin->Pull(other);
  auto layer3 = [](Decoder::Next n, const quorvel::Frame& f) {
    return (n == Decoder::Next::Frame || n == Decoder::Next::Skipped) && f.hasFormat && f.layer == 3;
  };
  if (layer3(next, frame) || layer3(step, other)) {
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
  Require(other.samples == frame.samples, "accuracies: same samples", frame.samples, other.samples);
  Require(other.channels == frame.channels, "accuracies: same channels", frame.channels, other.channels);
  Require(other.sampleRate == frame.sampleRate, "accuracies: same sample rate", frame.sampleRate, other.sampleRate);
  Require(other.length == frame.length, "accuracies: same frame length", frame.length, other.length);
  Require(other.layer == frame.layer && other.version == frame.version && other.mode == frame.mode &&
              other.bitrate == frame.bitrate && other.streamRate == frame.streamRate &&
              other.crcProtected == frame.crcProtected,
          "accuracies: same header", frame.layer, other.layer);
  Require(other.pcm.size() == frame.pcm.size(), "accuracies: same PCM size", static_cast<long>(frame.pcm.size()),
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
    Require(frame.length > 0 && frame.length <= 2881, "frame length", frame.length);
    Require(static_cast<int64_t>(frame.position) > lastFrame, "frames decoded once, in stream order",
            static_cast<long>(frame.position), lastFrame);
    lastFrame = static_cast<int64_t>(frame.position);
    outcome.pcm.insert(outcome.pcm.end(), frame.bytes.begin(), frame.bytes.end());
    ++outcome.frames;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer and the replay program pass the input in an allocation of its
  // own size already.
  HostScript script(data, size);
  const uint8_t* stream = data;
  const size_t streamSize = quorvel::fuzz::FramesPrefix(stream, script.StreamSize(), kFrameBudget);

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
    Require(twin->stats().framesDecoded == chunked.frames &&
                twin->stats().samplesDecoded == decoder->stats().samplesDecoded &&
                twin->stats().skipped.Total() == decoder->stats().skipped.Total(),
            "accuracies: same stats", static_cast<long>(twin->stats().framesDecoded),
            static_cast<long>(chunked.frames));
  }

  if (!restarted) {
    // The same stream in one piece must give the same bytes.
    Decoder whole(options);
    whole.Feed(stream, streamSize);
    whole.Finish();
    reference = {std::move(reference.pcm), 0};
    reference.pcm.clear();
    int64_t last = -1;
    std::unique_ptr<Decoder> noTwin;
    Require(Drain(whole, noTwin, reference, streamSize, last) == Decoder::Next::End, "one-piece stream ends");
    Require(reference.frames == chunked.frames, "chunking changes no frame count", static_cast<long>(chunked.frames),
            static_cast<long>(reference.frames));
    Require(reference.pcm == chunked.pcm, "chunking changes no PCM byte");
  }
  return 0;
}
