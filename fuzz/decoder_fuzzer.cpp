// Fuzz target: the decoder's calls (Init, GetHeaderInfo, DecompressAudio,
// SeekStart/SeekEnd, Exit) driven by a host whose buffer sizes, options and
// call pattern come from the input (see host_script.h).
//
// Every buffer the host lends is a fresh allocation of exactly its length,
// and the output buffers are exactly as large as the promised maximum, so the
// address sanitizer sees any read or write beyond them. (The decoder state and
// the output buffers live as long as the process and start every input
// afresh: allocating them anew cost more than a short decode.) The host checks
// the promises of the calls: result codes in range, a bounded number of calls
// per buffer, output sizes, stream positions inside the buffer, decoded frames
// in stream order, and no scratch memory kept after a call.
//
// Every call is made on a second state as well, in the full tier, and must
// give the same result there but for the PCM bytes (see Tiers).
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#if defined(__has_include) && __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include "api/decoder_state.h"
#include "host_script.h"

namespace {

using namespace quorvel;
using fuzz::HostScript;
using fuzz::Require;

// Decoded frames per input, each decoded in both tiers (see Tiers). The host
// stops there, as a host may at any point:
// synthesising a whole 16 KiB input (up to 450 frames at the lowest bit
// rates) under the sanitizers held the fuzzer to about a hundred inputs a
// second, while what the checks look at (buffer bookkeeping, frame search,
// headers, side information) is all met within the first frames and through
// the seeks and jumps of the script. Eight frames in two tiers held it to
// about 600 inputs a second; four, with the vector kernels outside the
// address sanitizer (see fuzz/CMakeLists.txt), to about 800-950.
constexpr int kFrameBudget = 4;

constexpr int32_t kRates[9] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

struct Block {
  void* block = nullptr;
  uint32_t bytes = 0;
};

// Resampling scratch heap that counts live blocks and fails on request.
//
// The decoder asks for two blocks of the same size for every resampled frame.
// Fresh heap blocks cost a page fault each (the sanitizer's quarantine hands
// out new memory every time), so released blocks are kept for the next request
// of the same size, poisoned while they are not handed out: a use after
// release is still reported, and every block is exactly as large as asked for.
struct CountingHeap {
  static inline int live = 0;
  static inline uint32_t calls = 0;
  static inline uint32_t failEvery = 0;  // 0: never fail

  static inline Block handedOut[4];  // the sizes of the blocks in use
  static inline Block kept[4];       // released, poisoned, ready again
  static inline unsigned nextKept = 0;

  static void* Allocate(uint32_t bytes) {
    ++calls;
    if (failEvery != 0 && calls % failEvery == 0) return nullptr;
    void* block = nullptr;
    for (Block& k : kept) {
      if (k.block && k.bytes == bytes) {
        block = k.block;
        k.block = nullptr;
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
        std::memset(block, 0xbe, bytes);  // what the last frame left must not matter
        break;
      }
    }
    if (!block) block = std::malloc(bytes);
    if (!block) return nullptr;
    ++live;
    for (Block& h : handedOut) {
      if (!h.block) {
        h = {block, bytes};
        return block;
      }
    }
    Require(false, "more than four scratch blocks at once");
    return nullptr;
  }
  static void Release(void* block) {
    --live;
    Block released;
    for (Block& h : handedOut) {
      if (h.block == block) {
        released = h;
        h.block = nullptr;
      }
    }
    Require(released.block != nullptr, "release of a block not handed out");
    // The oldest kept block makes room when all are taken (the size changes
    // with the output rate).
    Block& slot = kept[nextKept++ % 4];
    if (slot.block) {
      ASAN_UNPOISON_MEMORY_REGION(slot.block, slot.bytes);
      std::free(slot.block);
    }
    slot = released;
    ASAN_POISON_MEMORY_REGION(block, released.bytes);
  }
};

// The host's calls, made alike on two states: one in the compatible tier,
// whose C results the host checks, and a twin in the full tier. The tiers
// differ only in the arithmetic after the side information, so every decision
// about the stream (where a frame lies, whether and why it is skipped, what
// the buffer still holds, how many samples come out) must agree call by call;
// only the PCM bytes may differ. The one exception: at a frame with a
// forbidden allocation the compatible tier drops the rest of the buffer where
// the full tier skips only that frame, and at a Layer III frame, which only
// the full tier decodes (and probes). From there on the two read on
// differently, and the twin is no longer driven for this input.
//
// Both write to the host's one output buffer, whose bytes nobody reads, and
// draw on the counting heap with a call count each, so that a scripted heap
// failure hits both at the same allocation.
class Tiers {
 public:
  void Start() {
    compatible_ = DecoderState{};
    full_ = DecoderState{};
    full_.tier = Tier::Full;
    parted_ = false;
    fullHeapCalls_ = 0;
  }

  const DecoderState& Compatible() const { return compatible_; }

  void Init(int32_t processing, const EqLevels* settings) {
    InitDecoder(compatible_, processing, settings);
    if (!parted_) InitDecoder(full_, processing, settings);
  }
  void Exit() {
    ExitDecoder(compatible_);
    if (!parted_) ExitDecoder(full_);
  }
  void SeekStart() {
    SeekStartDecoder(compatible_);
    if (!parted_) SeekStartDecoder(full_);
  }
  void SeekEnd() {
    SeekEndDecoder(compatible_);
    if (!parted_) SeekEndDecoder(full_);
  }

  int32_t Probe(const uint8_t* data, int32_t length, int32_t* rate, int32_t* channels, int32_t* bitrate) {
    int32_t fullRate = *rate, fullChannels = 0, fullBitrate = 0;
    const int32_t r = ProbeHeader(compatible_, data, length, rate, channels, bitrate);
    if (parted_) return r;
    const int32_t f = ProbeHeader(full_, data, length, &fullRate, &fullChannels, &fullBitrate);
    if (f == kResultFrame && IsLayer3At(data, length, full_.consumed)) {
      parted_ = true;  // the full tier found a Layer III frame, which the compatible one passes over
      return r;
    }
    Require(r == f, "tiers: same probe result", r, f);
    if (r == kResultFrame) {
      Require(*rate == fullRate, "tiers: same probed rate", *rate, fullRate);
      Require(*channels == fullChannels, "tiers: same probed channels", *channels, fullChannels);
      Require(*bitrate == fullBitrate, "tiers: same probed bitrate", *bitrate, fullBitrate);
    }
    return r;
  }

  // DecompressAudioOn on the compatible state, the same call on the twin.
  int32_t Decompress(const uint8_t* data, int32_t length, uint8_t* out, int32_t* outBytes, int32_t* streamPos) {
    const FrameResult c = DecompressFrame(compatible_, data, length, out);
    if (!parted_) {
      std::swap(CountingHeap::calls, fullHeapCalls_);
      const FrameResult f = DecompressFrame(full_, data, length, out);
      std::swap(CountingHeap::calls, fullHeapCalls_);
      Compare(c, f);
    }
    return CResultOf(c, outBytes, streamPos);
  }

 private:
  static bool IsLayer3At(const uint8_t* data, int32_t length, uint32_t offset) {
    return data && offset + 1 < static_cast<uint32_t>(length) && ((data[offset + 1] >> 1) & 3) == 1;
  }

  void Compare(const FrameResult& c, const FrameResult& f) {
    if (c.reason == StatusUnsupportedLayer) {
      // A Layer III frame: passed over here, decoded (or concealed) by the twin.
      Require(c.position == f.position, "tiers: same Layer III frame", c.position, f.position);
      Require(f.format.layer == 3, "tiers: the twin met the Layer III frame", f.format.layer);
      parted_ = true;
      return;
    }
    Require(c.reason == f.reason, "tiers: same skip reason", c.reason, f.reason);
    if (c.outcome == FrameOutcome::SkippedToEnd && c.reason == StatusBadAllocation) {
      Require(f.outcome == FrameOutcome::Skipped, "tiers: the full tier skips only the frame of a bad allocation",
              static_cast<long>(f.outcome));
      parted_ = true;
    } else {
      Require(c.outcome == f.outcome, "tiers: same outcome", static_cast<long>(c.outcome),
              static_cast<long>(f.outcome));
    }
    Require(c.written == f.written, "tiers: same bytes written", c.written, f.written);
    Require(c.position == f.position, "tiers: same position", c.position, f.position);
    Require(c.offset == f.offset, "tiers: same offset", c.offset, f.offset);
    Require(c.tail == f.tail, "tiers: same tail", c.tail, f.tail);
    const FrameFormat& a = c.format;
    const FrameFormat& b = f.format;
    Require(a.sound == b.sound, "tiers: same header soundness", a.sound, b.sound);
    Require(a.layer == b.layer, "tiers: same layer", a.layer, b.layer);
    Require(a.flags == b.flags, "tiers: same header flags", a.flags, b.flags);
    Require(a.modeCode == b.modeCode, "tiers: same mode", a.modeCode, b.modeCode);
    Require(a.bitrate == b.bitrate, "tiers: same bitrate", a.bitrate, b.bitrate);
    Require(a.sampleRate == b.sampleRate, "tiers: same stream rate", a.sampleRate, b.sampleRate);
    Require(a.length == b.length, "tiers: same frame length", a.length, b.length);
    Require(a.channels == b.channels, "tiers: same channels", a.channels, b.channels);
    Require(a.outputRate == b.outputRate, "tiers: same output rate", a.outputRate, b.outputRate);
    Require(a.samples == b.samples, "tiers: same samples", a.samples, b.samples);
    Require(a == b, "tiers: same format");  // any field added later
  }

  DecoderState compatible_;
  DecoderState full_;
  bool parted_ = false;         // a bad allocation was met: the twin is left behind
  uint32_t fullHeapCalls_ = 0;  // the twin's CountingHeap::calls
};

std::unique_ptr<uint8_t[]> Lend(const uint8_t* from, size_t n) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
  if (n) std::memcpy(copy.get(), from, n);
  return copy;
}

EqLevels ScriptedEq(HostScript& s) {
  EqLevels eq;
  for (int8_t& band : eq.bands) band = static_cast<int8_t>(s.Byte());
  eq.preamp = static_cast<int8_t>(s.Byte());
  return eq;
}

// A requested output rate: none, one of the nine, or anything at all.
int32_t ScriptedRate(HostScript& s) {
  const uint8_t pick = s.Byte() % 12;
  if (pick == 0) return 0;
  if (pick <= 9) return kRates[pick - 1];
  return static_cast<int32_t>(s.Word() << 16 | s.Word());
}

// Host buffer sizes: one fixed size or a new size for every buffer, from
// tiny to larger than any frame. Always at least 1.
size_t ScriptedSize(HostScript& s, int mode, size_t fixed) {
  switch (mode) {
    case 0:
      return 4096;
    case 1:
      return fixed;
    case 2:
      return 1 + s.Below(32768);
    case 3:
      return 1 + s.Below(64);
    case 4:
      return 2889 + s.Below(32768 - 2889 + 1);
    case 5:
      return 1 + s.Below(3000);
    case 6:
      return 2889;
    default:
      return 32768;
  }
}

bool IsFrameSize(int32_t bytes) { return bytes == 768 || bytes == 1536 || bytes == 2304 || bytes == 4608; }

void CheckProbe(int32_t result, size_t length, int32_t requested, int32_t rate, int32_t channels, int32_t bitrate) {
  if (result != 0) {
    Require(result == kResultBufferDone || (result >= 8 && static_cast<size_t>(result) < length),
            "probe result is 0, 0x8000 or a remaining count", result, static_cast<long>(length));
    return;
  }
  Require(channels == 1 || channels == 2, "probe channels", channels);
  Require(bitrate >= 8000 && bitrate <= 448000, "probe bitrate", bitrate);
  Require(std::find(kRates, kRates + 9, rate) != kRates + 9, "probe rate is one of the nine", rate);
  if (std::find(kRates, kRates + 9, requested) != kRates + 9) Require(rate == requested, "requested rate kept", rate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer and the replay program pass the input in an allocation of its
  // own size already.
  HostScript script(data, size);
  const uint8_t* stream = data;
  const size_t streamSize = script.StreamSize();

  const uint8_t flags = script.Byte();
  const bool processing = flags & 1;
  const bool withEq = flags & 2;
  const bool probeFirst = flags & 4;
  const bool honest = !(flags & 8);  // the next buffer begins where the result says
  const int sizeMode = flags >> 5;
  const size_t fixedSize = 1 + script.Below(32768);

  const ScratchHeap savedHeap = ResampleScratchHeap();
  ResampleScratchHeap() = {CountingHeap::Allocate, CountingHeap::Release};
  CountingHeap::live = 0;
  CountingHeap::calls = 0;
  CountingHeap::failEvery = (flags & 16) ? 1 + script.Byte() % 4 : 0;

  static const auto tiers = std::make_unique<Tiers>();
  static const std::unique_ptr<uint8_t[]> outFrame(new uint8_t[kMaxFrameBytes]);
  static const std::unique_ptr<uint8_t[]> outResampled(new uint8_t[kMaxResampledBytes]);
  tiers->Start();
  const DecoderState& state = tiers->Compatible();
  // What a previous input left in the output must not make a difference.
  std::memset(outFrame.get(), 0xbe, kMaxFrameBytes);
  std::memset(outResampled.get(), 0xbe, kMaxResampledBytes);
  const EqLevels firstEq = ScriptedEq(script);
  tiers->Init(processing ? script.Byte() | 1 : 0, withEq ? &firstEq : nullptr);

  std::unique_ptr<uint8_t[]> held;  // the buffer the decoder currently reads in place
  size_t offset = 0;
  // Stream positions are checked while the host keeps the accounting premise:
  // `base` is the stream offset the decoder counts from.
  bool tracked = honest;
  size_t base = 0;
  int64_t lastFrame = -1;

  if (probeFirst) {
    const size_t length = std::min(ScriptedSize(script, sizeMode, fixedSize), streamSize);
    held = Lend(stream, length);
    int32_t requested = ScriptedRate(script), rate = requested, channels = 0, bitrate = 0;
    const int32_t r = tiers->Probe(held.get(), static_cast<int32_t>(length), &rate, &channels, &bitrate);
    CheckProbe(r, length, requested, rate, channels, bitrate);
    tracked = false;  // like the classic host, decoding starts at offset 0 anyway
  }

  int seeksLeft = 4, jumpsLeft = 32, decoded = 0;
  for (size_t buffers = 0;; ++buffers) {
    Require(buffers <= 5 * streamSize + 64, "the host loop ends", static_cast<long>(buffers));
    // Something between two buffers, now and then.
    const uint8_t action = script.Byte() % 16;
    if (action == 0 && seeksLeft > 0) {  // a jump to anywhere in the stream
      --seeksLeft;
      tiers->SeekStart();
      int32_t outBytes = 0, pos = 0;
      Require(tiers->Decompress(nullptr, 0, outFrame.get(), &outBytes, &pos) == kResultNeedBuffer,
              "no buffer after SeekStart");
      tiers->SeekEnd();
      if (streamSize > 0) offset = script.Below(static_cast<uint32_t>(streamSize));
      base = offset;
      lastFrame = -1;
    }
    const size_t length = std::min(ScriptedSize(script, sizeMode, fixedSize), streamSize - offset);
    std::unique_ptr<uint8_t[]> next = Lend(stream + offset, length);
    if (action == 1) {
      const EqLevels eq = ScriptedEq(script);
      tiers->Init(script.Byte() & 1, script.Chance(8) ? &eq : nullptr);  // options only
    } else if (action == 2) {
      tiers->Exit();
      tiers->Init(processing, nullptr);
      base = offset;
      lastFrame = -1;
    } else if (action == 3) {
      held = std::move(next);  // the probe reads this buffer in place
      int32_t requested = ScriptedRate(script), rate = requested, channels = 0, bitrate = 0;
      const int32_t r = tiers->Probe(held.get(), static_cast<int32_t>(length), &rate, &channels, &bitrate);
      CheckProbe(r, length, requested, rate, channels, bitrate);
      if (r == 0) {
        int32_t outBytes = 0, pos = 0;
        Require(tiers->Decompress(nullptr, 0, outFrame.get(), &outBytes, &pos) == kResultNeedBuffer,
                "no buffer after a successful probe");
      }
      next = Lend(stream + offset, length);
      tracked = false;
    } else if (action == 4) {
      int32_t rate = 0, channels = 0, bitrate = 0;
      Require(tiers->Probe(nullptr, 100, &rate, &channels, &bitrate) == kResultBufferDone, "null probe");
    }

    held = std::move(next);
    int32_t result;
    size_t calls = 0;
    do {
      ++calls;
      Require(calls <= length + 2, "calls per buffer bounded by its length", static_cast<long>(calls));
      const bool resampling = state.resampleEnabled;
      uint8_t* out = resampling ? outResampled.get() : outFrame.get();
      int32_t outBytes = -1, pos = -1;
      // The length passed along with a null buffer is not read.
      const int32_t lengthArg = calls == 1 || script.Chance(12) ? static_cast<int32_t>(length) : script.Byte() - 128;
      result = tiers->Decompress(calls == 1 ? held.get() : nullptr, lengthArg, out, &outBytes, &pos);

      Require(CountingHeap::live == 0, "scratch released before the call returns", CountingHeap::live);
      Require(result == kResultFrame || result == kResultBufferDone ||
                  (result >= 8 && static_cast<size_t>(result) < length),
              "result is 0, 0x8000 or a remaining count", result, static_cast<long>(length));
      Require(outBytes >= 0 && outBytes <= (resampling ? kMaxResampledBytes : kMaxFrameBytes) && outBytes % 2 == 0,
              "output size", outBytes);
      Require(outBytes == 0 || result == kResultFrame, "output only with result 0", result, outBytes);
      if (!resampling && outBytes > 0) Require(IsFrameSize(outBytes), "frame output size", outBytes);
      if (tracked) {
        const int64_t at = static_cast<int64_t>(offset - base);
        Require(pos >= at && pos <= at + static_cast<int64_t>(length), "position inside the buffer", pos, at);
        if (outBytes > 0) {
          Require(pos > lastFrame, "frames decoded once, in stream order", pos, static_cast<long>(lastFrame));
          lastFrame = pos;
        }
      }
      if (outBytes > 0) ++decoded;
    } while (result == kResultFrame && decoded < kFrameBudget);
    if (decoded >= kFrameBudget) break;

    const size_t end = offset + length;
    if (end >= streamSize) break;
    if (honest) {
      offset = result == kResultBufferDone ? end : end - static_cast<size_t>(result);
    } else if (jumpsLeft-- > 0) {
      offset = script.Below(static_cast<uint32_t>(streamSize));  // anywhere: the decoder must cope
    } else {
      break;
    }
  }
  tiers->Exit();
  ResampleScratchHeap() = savedHeap;
  return 0;
}
