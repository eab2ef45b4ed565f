// quorvel::Decoder: the classic host loop run inside the class, over a
// DecoderState of the Decoder's own.
//
// The fed bytes collect in one contiguous pending buffer. The decoder works
// through it in windows of bufferBytes, exactly as a host reading the stream
// buffer by buffer: a window starts at the first byte the previous one did
// not finish with (its last n bytes after a result n), and is only presented
// once it is full or the stream has ended. The internal calls therefore see
// the same buffers as the C host with that buffer size, and in the compatible
// tier give the same PCM.
#include "quorvel/decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "api/decoder_state.h"
#include "container/audio_gate.h"
#include "output/resampler.h"
#include "output/resampler_full.h"

#ifndef QUORVEL_VERSION_STRING
#define QUORVEL_VERSION_STRING "unknown"
#endif

namespace quorvel {
namespace {

// Bytes appended at the end of the stream: every frame must be followed by 8
// bytes before it is decoded.
constexpr size_t kEndPadding = 8;
// Consumed input is dropped from the front of the pending buffer once it is
// this large and more than half of it.
constexpr size_t kCompactBytes = 1 << 16;
// Bytes copied into the gate beyond those it still holds, at a call's start,
// before the rest of the call's bytes are read where they are: enough for the
// frame held to be passed on and the reader to take up what it had left.
constexpr size_t kBridgeMargin = 2048;

// The C++ API's rates are the resampler's, listed from the lowest: the table
// of steps is indexed from the highest.
constexpr bool SameRates() {
  if (kOutputRates.size() != ResampleRateTable.size()) return false;
  for (size_t i = 0; i < kOutputRates.size(); ++i) {
    if (kOutputRates[i] != ResampleRateTable[ResampleRateTable.size() - 1 - i]) return false;
  }
  return true;
}
static_assert(SameRates(), "kOutputRates must hold the resampler's nine rates, lowest first");

bool IsOutputRate(int32_t rate) {
  return std::find(kOutputRates.begin(), kOutputRates.end(), rate) != kOutputRates.end();
}

std::string OutputRateList() {
  std::string list;
  for (const int32_t rate : kOutputRates) list += (list.empty() ? "" : ", ") + std::to_string(rate);
  return list;
}

MpegVersion VersionOf(const FrameFormat& f) {
  if (f.flags & FlagMpeg25) return MpegVersion::Mpeg25;
  return (f.flags & FlagLsf) ? MpegVersion::Mpeg2 : MpegVersion::Mpeg1;
}

ChannelMode ModeOf(const FrameFormat& f) {
  switch (f.modeCode) {
    case kModeStereo: return ChannelMode::Stereo;
    case kModeJointStereo: return ChannelMode::JointStereo;
    case kModeDualChannel: return ChannelMode::DualChannel;
    default: return ChannelMode::SingleChannel;
  }
}

SkipReason ReasonOf(Status failure) {
  switch (failure) {
    case StatusCrcError: return SkipReason::CrcError;
    case StatusBadScalefactor: return SkipReason::BadScalefactor;
    case StatusBadAllocation: return SkipReason::BadAllocation;
    case StatusUnsupportedLayer: return SkipReason::UnsupportedLayer;
    case StatusBadSideInfo: return SkipReason::BadSideInfo;
    case StatusMissingReservoir: return SkipReason::MissingReservoir;
    default: return SkipReason::BadHeader;
  }
}

// One frame of the index: a frame with a place in the timeline (decoded, or
// concealed when its body is refused). The Xing/Info frame has none.
struct IndexEntry {
  uint64_t offset = 0;  // stream offset of its header
  uint64_t input = 0;   // samples per channel at the stream's rates before it
  uint64_t output = 0;  // output samples per channel before it (before gapless trimming)
  uint32_t samples = 0; // per channel, at its own rate
  uint32_t rate = 0;
  int channels = 0;
  // Layer III: the bytes of main data it adds to the reservoir, and the
  // farthest back a frame's main data can begin (511 bytes, 255 for LSF).
  uint16_t mainBytes = 0;
  uint16_t reservoirReach = 0;
};

// A frame whose header was sound and whose body was refused: a host that
// conceals it plays its length of silence, and the full tier's synthesis
// runs that silence (a Layer III frame in the compatible tier is not
// decoded at all and has no place in the timeline).
bool Concealed(const Frame& f) {
  return f.hasFormat && f.skipped != SkipReason::None && f.skipped != SkipReason::BadHeader &&
         f.skipped != SkipReason::UnsupportedLayer;
}

// The main data bytes of a Layer III frame: what follows its header, CRC
// word and side information.
uint16_t MainDataBytes(const Frame& f) {
  const bool mono = f.channels == 1;
  const uint32_t side = f.version != MpegVersion::Mpeg1 ? (mono ? 9 : 17) : (mono ? 17 : 32);
  const uint32_t header = f.crcProtected ? 6 : 4;
  return static_cast<uint16_t>(f.length > header + side ? std::min<uint32_t>(f.length - header - side, 0xFFFF) : 0);
}

// The synthesis output of a slot takes that slot and the 15 before it.
constexpr uint64_t kSynthesisReach = 15 * 32;
uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The Xing/Info tag of a Layer III frame, which lies right after its side
// information, and the encoder extension behind it: false when the frame
// holds none.
bool ReadInfoTag(const uint8_t* frame, const FrameFormat& f, GaplessInfo& info) {
  const bool mono = f.channels == 1;
  const uint32_t side = (f.flags & FlagLsf) ? (mono ? 9 : 17) : (mono ? 17 : 32);
  const uint32_t start = 4 + ((f.flags & FlagProtected) ? 2 : 0) + side;
  const uint32_t length = f.length;
  if (start + 8 > length) return false;
  const uint8_t* tag = frame + start;
  if (std::memcmp(tag, "Xing", 4) != 0 && std::memcmp(tag, "Info", 4) != 0) return false;
  info = GaplessInfo{};
  info.infoFrame = true;
  const uint32_t flags = BigEndian32(tag + 4);
  uint32_t p = 8;
  if (flags & 1) {
    if (start + p + 4 > length) return true;
    info.frames = BigEndian32(tag + p);
    p += 4;
  }
  if (flags & 2) p += 4;    // bytes
  if (flags & 4) p += 100;  // seek table
  if (flags & 8) p += 4;    // quality
  // The extension: a 9-byte encoder name, then revision, lowpass, peak,
  // two gains, flags and bitrate (12 bytes), then delay and padding in 12 bits each.
  if (start + p + 24 > length) return true;
  const uint8_t* ext = tag + p;
  if (std::memcmp(ext, "LAME", 4) != 0 && std::memcmp(ext, "Lavc", 4) != 0 && std::memcmp(ext, "Lavf", 4) != 0) {
    return true;
  }
  info.hasDelay = true;
  info.delay = uint32_t{ext[21]} << 4 | ext[22] >> 4;
  info.padding = uint32_t{ext[22] & 15u} << 8 | ext[23];
  return true;
}

// The filterbank delay of the Layer III decoder, in samples.
constexpr uint32_t kLayer3FilterDelay = 529;

}  // namespace

const char* LibraryVersion() noexcept { return QUORVEL_VERSION_STRING; }

uint32_t SamplesPerFrame(int layer, MpegVersion version) noexcept {
  FrameState f;
  f.layer = static_cast<uint32_t>(layer);
  f.flags = version == MpegVersion::Mpeg1 ? 0 : FlagLsf;
  return FrameSamples(f);
}

const char* ToString(MpegVersion version) noexcept {
  switch (version) {
    case MpegVersion::Mpeg1: return "MPEG-1";
    case MpegVersion::Mpeg2: return "MPEG-2";
    case MpegVersion::Mpeg25: return "MPEG-2.5";
  }
  return "?";
}

const char* ToString(ChannelMode mode) noexcept {
  switch (mode) {
    case ChannelMode::Stereo: return "stereo";
    case ChannelMode::JointStereo: return "joint stereo";
    case ChannelMode::DualChannel: return "dual channel";
    case ChannelMode::SingleChannel: return "single channel";
  }
  return "?";
}

const char* ToString(SkipReason reason) noexcept {
  switch (reason) {
    case SkipReason::None: return "none";
    case SkipReason::CrcError: return "crc error";
    case SkipReason::BadScalefactor: return "bad scalefactor";
    case SkipReason::BadAllocation: return "bad allocation";
    case SkipReason::BadHeader: return "bad header";
    case SkipReason::UnsupportedLayer: return "unsupported layer";
    case SkipReason::BadSideInfo: return "bad side information";
    case SkipReason::MissingReservoir: return "missing reservoir";
  }
  return "?";
}

struct Decoder::Impl {
  Options options;
  Stats stats;
  DecoderState state;
  AudioGate gate;                // the input's bytes in, the audio out
  Container container;           // the public view of gate.report(), built on request

  std::vector<uint8_t> pending;  // fed bytes; those before `head` are used up
  size_t head = 0;
  // The bytes are read where the gate holds them (Released), not drained
  // into `pending`, while the gate's audio is one run: the index's scan
  // reads each byte once, without a second copy. From the first tag or
  // chunk removed inside the audio, and at the end, they are drained as
  // usual.
  bool borrowInput = false;
  uint64_t headPosition = 0;     // stream offset of pending[head]
  bool ended = false;            // Finish() was called
  bool finished = false;         // the window that reached the end is done
  bool rateLocked = false;       // kFirstFrameRate: the rate has been chosen
  uint64_t endPosition = 0;      // stream offset of the end padding, once finished

  // Gapless trimming of Layer III (Options::gapless).
  bool infoChecked = false;           // the first decoded frame has been looked at
  uint64_t skipSamples = 0;           // samples still to drop at the start
  uint64_t keepSamples = UINT64_MAX;  // samples still to output before the end padding
  // Restarted after the stream's start, no frame decoded yet: Layer III
  // frames whose main data lies before the restart are expected there, not
  // damage, and are not counted.
  bool refilling = false;

  bool inWindow = false;
  bool windowIsNew = false;      // the next call presents the window
  bool windowReachesEnd = false;
  int32_t windowLength = 0;

  // The frame's PCM, written by the decoder as little-endian bytes into the
  // storage of 16-bit samples: on a little-endian machine those bytes are the
  // samples, and Frame::pcm and Frame::bytes view the same memory; elsewhere
  // the samples are assembled from the bytes into `nativeSamples`.
  static constexpr bool kBytesAreSamples = std::endian::native == std::endian::little;
  static constexpr int32_t kOutputBytes = std::max(kMaxResampledBytes, kMaxFullResampledBytes);
  std::array<int16_t, kOutputBytes / 2> samples{};
  std::array<int16_t, kBytesAreSamples ? 0 : kOutputBytes / 2> nativeSamples{};

  // The full tier's band-limited converter, made once when the options ask
  // for a rate; its output arrays.
  std::unique_ptr<FullResampler> resampler;
  std::vector<Q28> resampled[2];
  bool flushed = false;  // the converter's last samples have been given
  Frame last;            // the last frame with a format, for the flush's format

  // The frame index (IndexFeed): a decoder of the same options that scans
  // headers only, and what it found.
  std::unique_ptr<Decoder> scanner;
  std::vector<IndexEntry> index;
  // Input offsets where the whole decode's buffer windows begin (recorded by
  // the scanner, which works through the same windows). A window begins in a
  // known state (the frame there taken on trust), so a decode resumed at one
  // of them meets the same windows, and finds the same frames, as the whole
  // decode: after damage, which frames follow can depend on where a window
  // begins.
  std::vector<uint64_t> windowStarts;
  bool recordWindows = false;
  bool indexed = false;
  uint64_t indexedSamples = 0;
  // Gapless trimming on the index's timeline: its first `trimStart` samples
  // are dropped and at most `trimLength` kept (positions count from there).
  uint64_t trimStart = 0;
  uint64_t trimLength = UINT64_MAX;
  // The full tier's conversion in one step for the whole stream: its pair of
  // rates when every indexed frame has the same rate (from == to: none).
  int32_t seekFrom = 0, seekTo = 0;
  bool mixedConversion = false;  // the full tier converts several rates: no seeking but from the start

  // The rate the output has for frames of `rate` Hz: the options' rate, or
  // the first frame's, or the frame's own.
  int32_t OutputRateFor(uint32_t rate) const {
    if (options.outputRate > 0) return options.outputRate;
    if (options.outputRate == kFirstFrameRate && !index.empty()) return static_cast<int32_t>(index.front().rate);
    return static_cast<int32_t>(rate);
  }

  // Output positions of the indexed frames and the whole stream's length.
  void Place() {
    const bool full = state.tier == Tier::Full;
    uint64_t input = 0, output = 0;
    // The full tier's converter runs over each stretch of one rate and is
    // flushed at its end: ceil(stretch * to / from) samples each.
    uint64_t stretch = 0;
    uint32_t stretchRate = 0;
    // ceil(n * to / from), without a division per frame when nothing is converted.
    auto converted = [](uint64_t n, uint32_t from, int32_t to) {
      return static_cast<int32_t>(from) == to ? n : (n * static_cast<uint64_t>(to) + from - 1) / from;
    };
    auto closeStretch = [&] {
      if (stretch == 0) return;
      output += converted(stretch, stretchRate, OutputRateFor(stretchRate));
      stretch = 0;
    };
    std::set<uint32_t> rates;
    for (IndexEntry& e : index) {
      if (e.rate != stretchRate) rates.insert(e.rate);
      e.input = input;
      input += e.samples;
      if (full) {
        if (e.rate != stretchRate) closeStretch();
        stretchRate = e.rate;
        e.output = output + converted(stretch, e.rate, OutputRateFor(e.rate));
        stretch += e.samples;
      } else {
        e.output = output;
        output += ResampledCapacity(e.samples, static_cast<int32_t>(e.rate), OutputRateFor(e.rate));
      }
    }
    closeStretch();
    indexedSamples = output > trimStart ? std::min(output - trimStart, trimLength) : 0;
    if (!index.empty()) {
      seekFrom = static_cast<int32_t>(index.front().rate);
      seekTo = OutputRateFor(index.front().rate);
    }
    mixedConversion = full && rates.size() > 1 && options.outputRate != 0;
  }

  // A new index, begun by the first IndexFeed after none or a finished one.
  void StartScan() {
    if (scanner) return;
    Decoder::Options o;
    o.accuracy = options.accuracy;
    o.bufferBytes = options.bufferBytes;
    o.gapless = false;  // the index holds every frame; trimming is applied to its timeline
    scanner = std::make_unique<Decoder>(o);
    scanner->impl_->state.headersOnly = 1;
    scanner->impl_->recordWindows = true;
    scanner->impl_->borrowInput = true;
    index.clear();
    windowStarts.clear();
    indexed = false;
  }

  // Records the frames the scan has found so far.
  void DrainScanner() {
    Frame f;
    for (Next next; (next = scanner->Pull(f)) == Next::Frame || next == Next::Skipped;) {
      if (!f.hasFormat || (next == Next::Skipped && !Concealed(f))) continue;
      IndexEntry e;
      e.offset = f.position;
      e.samples = f.samples;
      e.rate = f.streamRate;
      e.channels = f.channels;
      if (f.layer == 3) {
        e.mainBytes = MainDataBytes(f);
        e.reservoirReach = f.version == MpegVersion::Mpeg1 ? 511 : 255;
      }
      index.push_back(e);
      if (next == Next::Frame) scanner->impl_->ScanChain(e, index);
    }
  }

  // ScanChain's frame lengths for the header bits `chainKey` (0: none yet).
  uint32_t chainKey = 0;
  std::array<uint32_t, 32> chainLengths{};

  // The scan's shortcut through a clean chain of frames: after a frame just
  // located (described by `found`), the frames that follow it in the window,
  // each header exactly where the one before ends, of the same version,
  // layer, CRC setting, rate and mode (any bitrate but free format), are
  // recorded here, with the window, the cursor and the Layer III reservoir
  // left as frame-by-frame scanning leaves them. Only frames whose
  // successor is confirmed (or cannot be) are taken: those whose body a
  // scan would decode, and every case less plain, are left to Pull().
  void ScanChain(const IndexEntry& found, std::vector<IndexEntry>& out) {
    InputCursor& c = state.cursor;
    const FrameState& frame = state.frame;
    if (!state.headersOnly || !inWindow || windowIsNew || !c.synchronised || !c.buffer) return;
    if (frame.flags & FlagFreeFormat) return;
    const bool layer3 = frame.layer == 3;
    if (frame.layer != 1 && frame.layer != 2 && !(layer3 && state.tier == Tier::Full)) return;
    const uint8_t* b = c.buffer;
    const uint32_t n = c.length;
    const uint32_t first = c.frameStart;
    if (first + 4 > n || c.resume != first + FrameLength(frame)) return;
    const uint8_t ref1 = b[first + 1], ref2 = b[first + 2] & 0x0C, ref3 = b[first + 3] & 0xC0;
    const uint32_t row = (frame.flags & FlagLsf) ? 3 + (frame.layer >> 1) : frame.layer - 1;
    // Frame lengths by bitrate index and padding bit; 0 for the indices a
    // header may not hold here (free format, forbidden). Kept while the
    // chain's version, layer, CRC setting and rate stay the same.
    std::array<uint32_t, 32>& lengths = chainLengths;
    const uint32_t key = 0x10000u | uint32_t{ref1} << 8 | ref2;
    if (chainKey != key) {
      chainKey = key;
      lengths.fill(0);
      FrameState probe = frame;
      probe.freeBase = 0;
      for (uint32_t index = 1; index < 15; ++index) {
        probe.bitrate = BitrateTable[row][index];
        probe.flags = frame.flags & ~FlagExtraSlot;
        lengths[index * 2] = FrameLength(probe);
        probe.flags |= FlagExtraSlot;
        lengths[index * 2 + 1] = FrameLength(probe);
      }
    }
    // The length of the frame at `at` (4 bytes readable there) when its
    // header is one of the chain's, else 0.
    auto chained = [&](uint32_t at) -> uint32_t {
      if (b[at] != 0xFF || b[at + 1] != ref1 || (b[at + 2] & 0x0C) != ref2 || (b[at + 3] & 0xC0) != ref3) return 0;
      return lengths[(b[at + 2] >> 3 & 0x1E) | (b[at + 2] >> 1 & 1)];
    };
    const int channels = ChannelCount(frame);
    const bool lsf = (frame.flags & FlagLsf) != 0;
    const uint32_t before = ((frame.flags & FlagProtected) ? 6 : 4) +
                            (lsf ? (channels == 1 ? 9u : 17u) : (channels == 1 ? 17u : 32u));
    IndexEntry e = found;
    uint32_t p = c.resume, last = first, lastLength = 0, count = 0;
    for (;;) {
      // Where Pull would find the frame: 8 bytes after it, its header one of
      // the chain's, and room for it and 8 bytes more.
      if (n - p < 8) break;
      const uint32_t length = chained(p);
      if (length == 0 || length + 8 > n - p) break;
      // Its successor: taken on trust only when no sync follows it, which is
      // when a scan reads the body.
      const uint32_t next = p + length;
      if (n - next >= 8 && b[next] == 0xFF && b[next + 1] >= 0xE0) {
        const uint32_t nextLength = chained(next);
        if (nextLength == 0) break;  // some other header: left to Pull
        if (nextLength + 8 <= n - next) {
          const uint32_t after = next + nextLength;
          if (!(b[after] == 0xFF && b[after + 1] >= 0xE0)) break;
        }
      }
      if (layer3) {
        KeepLayer3MainData(state.layer3, b + p, length, before);
        e.mainBytes = static_cast<uint16_t>(length > before ? std::min<uint32_t>(length - before, 0xFFFF) : 0);
      } else {
        ClearReservoir(state.layer3);
      }
      e.offset = gate.FileOffset(headPosition + p);
      out.push_back(e);
      last = p;
      lastLength = length;
      ++count;
      p = next;
    }
    if (count == 0) return;
    c.frameStart = last;
    c.resume = last + lastLength;
    StartReader(c.reader, b, n, last);
    SkipBits(c.reader, (frame.flags & FlagProtected) ? 48 : 32);  // where parsing its header left the reader
    state.frame.flags = (state.frame.flags & ~FlagExtraSlot) | ((b[last + 2] & 2) ? FlagExtraSlot : 0);
    state.frame.bitrate = BitrateTable[row][b[last + 2] >> 4];
    state.consumed = last;
    stats.framesDecoded += count;
    stats.samplesDecoded += uint64_t{count} * found.samples;
  }

  // The first index entry whose frame begins at or after `offset`, or null.
  const IndexEntry* EntryFrom(uint64_t offset) const {
    auto it = std::lower_bound(index.begin(), index.end(), offset,
                               [](const IndexEntry& e, uint64_t o) { return e.offset < o; });
    return it != index.end() ? &*it : nullptr;
  }

  // The last window start at or before `offset` (0 when none).
  uint64_t WindowStartBefore(uint64_t offset) const {
    auto it = std::upper_bound(windowStarts.begin(), windowStarts.end(), offset);
    return it == windowStarts.begin() ? 0 : *(it - 1);
  }

  uint8_t* OutputBytes() { return reinterpret_cast<uint8_t*>(samples.data()); }

  // The input not used yet, and how many bytes of it there are.
  const uint8_t* Input() const { return borrowInput ? gate.Released().data() : pending.data() + head; }
  size_t Available() const { return borrowInput ? gate.Released().size() : pending.size() - head; }

  // Drains what the gate holds for this decoder into `pending` and reads
  // from there on. The bytes are the same, so a window in progress goes on
  // (Pull points the decoder at their new place).
  void StopBorrowing() {
    if (!borrowInput) return;
    borrowInput = false;
    gate.Drain(pending);
  }

  // Takes the audio the gate has passed on: drained into `pending`, or read
  // where the gate holds it while that is one run.
  void Collect() {
    if (borrowInput && gate.ReleasedRuns() > 1) StopBorrowing();
    if (!borrowInput) gate.Drain(pending);
  }

  // Passes the caller's bytes through the gate, read where they are rather
  // than copied in: only the first new bytes are copied in, as many as it
  // takes to use up what the gate still holds from before (the frame whose
  // successor had not arrived, the audio the reader had not taken), and the
  // rest is lent to the gate for this call. `read` takes what the gate
  // passes on; it runs before the lent bytes go away.
  template <typename Read>
  void Accept(std::span<const uint8_t> chunk, Read read) {
    if (ended) throw Error(ErrorCode::FeedAfterFinish, "bytes fed after the end of the stream");
    if (head >= kCompactBytes && head * 2 > pending.size()) {
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
    const uint64_t at = gate.InputEnd();
    size_t copied = 0;
    // A bit more than is held, then twice as much each time, so that a tag
    // still waiting for its end is not searched again for every few bytes.
    size_t step = static_cast<size_t>(at - std::min(at, gate.NeededFrom())) + kBridgeMargin;
    while (copied < chunk.size() && gate.NeededFrom() < at) {
      const size_t n = std::min(step, chunk.size() - copied);
      gate.Push(chunk.subspan(copied, n));
      copied += n;
      step *= 2;
      Collect();
      read();
    }
    if (copied < chunk.size()) {
      try {
        gate.Lend(chunk, at);
        Collect();
        read();
      } catch (...) {
        gate.Keep();
        throw;
      }
      gate.Keep();
    }
    stats.bytesFed += chunk.size();
  }

  void Open() {
    state.tier = options.accuracy == Accuracy::Compatible ? Tier::Compatible : Tier::Full;
    EqLevels levels;
    std::copy(options.bands.begin(), options.bands.end(), levels.bands);
    levels.preamp = options.preamp;
    InitDecoder(state, options.processing ? 1 : 0, &levels);
    if (options.outputRate > 0) SetOutputRate(state, options.outputRate);
    if (state.tier == Tier::Full && options.outputRate != 0) {
      resampler = std::make_unique<FullResampler>();
      for (int ch = 0; ch < 2; ++ch) {
        resampled[ch].resize(FullResampler::kMaxOutput);
        state.fullResampled[ch] = resampled[ch].data();
      }
      state.fullResampler = resampler.get();
    }
  }

  // The converter's held-back samples as a last decoded Frame; false when
  // there are none.
  bool Flush(Frame& frame) {
    if (flushed) return false;
    flushed = true;
    uint32_t count = 0;
    int channels = 0;
    const int32_t bytes = FlushFullResampler(state, OutputBytes(), count, channels);
    if (bytes <= 0 || !last.hasFormat) return false;
    frame = last;
    frame.skipped = SkipReason::None;
    frame.flush = true;
    frame.position = gate.FileOffset(endPosition);  // an input offset, like every frame's
    frame.length = 0;
    frame.channels = channels;
    frame.samples = count;
    AttachPcm(frame, bytes);
    stats.samplesDecoded += count;
    return true;
  }

  // Free format is decoded in the full tier only, with the length the gate
  // measured; the compatible tier, like the exported calls, refuses it.
  void ShareFreeFormat() {
    if (state.tier == Tier::Full) state.cursor.freeFormat = gate.freeFormat();
  }

  // Starts the next window, or says why none can start yet.
  bool StartWindow() {
    const size_t available = Available();
    if (!ended && available < static_cast<size_t>(options.bufferBytes)) return false;
    windowLength = static_cast<int32_t>(std::min<size_t>(available, static_cast<size_t>(options.bufferBytes)));
    windowReachesEnd = ended && static_cast<size_t>(windowLength) == available;
    inWindow = true;
    if (recordWindows) windowStarts.push_back(gate.FileOffset(headPosition));
    windowIsNew = true;
    if (options.outputRate == kFirstFrameRate && !rateLocked && stats.framesDecoded == 0) LockRate();
    return true;
  }

  // Probes the window for the first frame that decodes and converts every
  // frame to its rate. Before any frame has been decoded the probe's reset
  // changes nothing; when the window holds no decodable frame the next window
  // is probed.
  void LockRate() {
    int32_t rate = 0, channels = 0, bitrate = 0;
    ShareFreeFormat();
    if (ProbeHeader(state, Input(), windowLength, &rate, &channels, &bitrate) != kResultFrame) return;
    SetOutputRate(state, rate);
    rateLocked = true;
  }

  // Drops what the finished window used: all of it, or all but its last
  // `keep` bytes.
  void EndWindow(uint32_t keep) {
    const size_t used = static_cast<size_t>(windowLength) - std::min<size_t>(keep, static_cast<size_t>(windowLength));
    if (borrowInput) {
      gate.Take(used);
    } else {
      head += used;
    }
    headPosition += used;
    inWindow = false;
    if (windowReachesEnd) {
      finished = true;
      std::vector<uint8_t>().swap(pending);
      head = 0;
    }
  }

  void Describe(Frame& frame, const FrameResult& result, SkipReason reason) {
    const FrameFormat& f = result.format;
    frame = Frame{};
    frame.skipped = reason;
    frame.position = gate.FileOffset(headPosition + result.offset);
    if (!f.sound) return;
    frame.hasFormat = true;
    frame.length = f.length;
    frame.version = VersionOf(f);
    frame.layer = static_cast<int>(f.layer);
    frame.mode = ModeOf(f);
    frame.bitrate = f.bitrate;
    frame.freeFormat = (f.flags & FlagFreeFormat) != 0;
    frame.streamRate = f.sampleRate;
    frame.crcProtected = (f.flags & FlagProtected) != 0;
    frame.channels = f.channels;
    frame.sampleRate = f.outputRate;
    frame.samples = f.samples;
    last = frame;
    if (reason == SkipReason::None) AttachPcm(frame, result.written);
  }

  // The frame's PCM: the `written` bytes in the output storage.
  void AttachPcm(Frame& frame, int32_t written) {
    const uint32_t values = static_cast<uint32_t>(written) / 2;
    const uint8_t* bytes = OutputBytes();
    if constexpr (kBytesAreSamples) {
      frame.pcm = std::span<const int16_t>(samples.data(), values);
    } else {
      for (uint32_t i = 0; i < values; ++i) {
        nativeSamples[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
      }
      frame.pcm = std::span<const int16_t>(nativeSamples.data(), values);
    }
    frame.bytes = std::span<const uint8_t>(bytes, static_cast<size_t>(written));
  }

  // The first decoded frame: a Layer III Info frame sets up the trimming and
  // is passed over (true).
  bool TakeInfoFrame(const FrameResult& result) {
    if (infoChecked) return false;
    infoChecked = true;
    if (result.format.layer != 3) return false;
    GaplessInfo info;
    if (!ReadInfoTag(Input() + result.offset, result.format, info)) return false;
    stats.gapless = info;
    // Its silence went into the rate converter too: started afresh, the
    // converter gives nothing of it (not even the samples it held back), and
    // the timeline begins with the first audio frame at any rate.
    if (resampler) resampler->Reset();
    if (options.gapless && info.hasDelay && result.format.outputRate == result.format.sampleRate) {
      skipSamples = uint64_t{info.delay} + kLayer3FilterDelay;
      if (info.frames) {
        const uint64_t total = info.frames * FrameSamples(state.frame);
        const uint64_t cut = uint64_t{info.delay} + info.padding;
        keepSamples = total > cut ? total - cut : 0;
      }
    }
    return true;
  }

  // Drops what gapless trimming removes from a decoded frame; false when
  // nothing of it is left.
  bool Trim(Frame& frame) {
    if (skipSamples == 0 && keepSamples == UINT64_MAX) return true;
    uint32_t start = 0;
    const uint32_t count = TrimCount(frame.samples, start);
    const size_t channels = static_cast<size_t>(frame.channels);
    frame.pcm = frame.pcm.subspan(start * channels, count * channels);
    frame.bytes = frame.bytes.subspan(2 * start * channels, 2 * count * channels);
    frame.samples = count;
    return count > 0;
  }

  // Of `n` samples on the timeline, the first `start` fall in the trimmed
  // start; returns how many after them are kept.
  uint32_t TrimCount(uint32_t n, uint32_t& start) {
    start = static_cast<uint32_t>(std::min<uint64_t>(skipSamples, n));
    skipSamples -= start;
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(n - start, keepSamples));
    if (keepSamples != UINT64_MAX) keepSamples -= count;
    return count;
  }

  // A concealed frame's length of silence is trimmed like decoded samples,
  // so that the frames after it keep their places on the gapless timeline.
  void TrimConcealed(Frame& frame) {
    if (skipSamples == 0 && keepSamples == UINT64_MAX) return;
    if (!Concealed(frame) || frame.sampleRate != frame.streamRate) return;
    uint32_t start = 0;
    frame.samples = TrimCount(frame.samples, start);
  }

  void Count(SkipReason reason) {
    SkipCounts& s = stats.skipped;
    switch (reason) {
      case SkipReason::CrcError: ++s.crcError; break;
      case SkipReason::BadScalefactor: ++s.badScalefactor; break;
      case SkipReason::BadAllocation: ++s.badAllocation; break;
      case SkipReason::BadHeader: ++s.badHeader; break;
      case SkipReason::UnsupportedLayer: ++s.unsupportedLayer; break;
      case SkipReason::BadSideInfo: ++s.badSideInfo; break;
      case SkipReason::MissingReservoir: ++s.missingReservoir; break;
      case SkipReason::None: break;
    }
  }
};

Decoder::Decoder() : Decoder(Options{}) {}

Decoder::Decoder(const Options& options) {
  const int32_t rate = options.outputRate;
  if (rate != 0 && rate != kFirstFrameRate && !IsOutputRate(rate)) {
    throw Error(ErrorCode::InvalidOutputRate,
                "output rate " + std::to_string(rate) + " Hz is not one of " + OutputRateList());
  }
  if (options.bufferBytes < kMinBufferBytes || options.bufferBytes > kMaxBufferBytes) {
    throw Error(ErrorCode::InvalidBufferSize, "buffer size " + std::to_string(options.bufferBytes) +
                                                  " is outside " + std::to_string(kMinBufferBytes) + ".." +
                                                  std::to_string(kMaxBufferBytes) + " bytes");
  }
  // Default-initialised: every member has its initialiser, and the state's
  // large arrays are zeroed once by theirs rather than a second time by a
  // value-initialisation of the whole.
  impl_.reset(new Impl);
  impl_->options = options;
  impl_->Open();
}

Decoder::~Decoder() = default;
Decoder::Decoder(Decoder&&) noexcept = default;
Decoder& Decoder::operator=(Decoder&&) noexcept = default;

void Decoder::Feed(std::span<const uint8_t> chunk) {
  impl_->Accept(chunk, [] {});
}

void Decoder::Feed(const void* data, std::size_t size) {
  if (size) Feed(std::span<const uint8_t>(static_cast<const uint8_t*>(data), size));
}

void Decoder::Finish() {
  Impl& d = *impl_;
  if (d.ended) return;
  d.gate.Finish();
  d.StopBorrowing();  // the end padding goes after the last bytes
  d.gate.Drain(d.pending);
  d.endPosition = d.headPosition + (d.pending.size() - d.head);
  d.pending.insert(d.pending.end(), kEndPadding, 0);
  d.ended = true;
}

Decoder::Next Decoder::Pull(Frame& frame) {
  Impl& d = *impl_;
  for (;;) {
    if (!d.inWindow) {
      if (d.finished) return d.Flush(frame) ? Next::Frame : Next::End;
      if (!d.StartWindow()) return Next::NeedInput;
    }
    const uint8_t* window = nullptr;
    if (d.windowIsNew) {
      window = d.Input();
    } else {
      MoveBuffer(d.state, d.Input());  // Feed may have moved the pending bytes
    }
    d.windowIsNew = false;
    d.ShareFreeFormat();
    const FrameResult result = DecompressFrame(d.state, window, d.windowLength, d.OutputBytes());
    switch (result.outcome) {
      case FrameOutcome::Decoded:
        d.refilling = false;
        if (d.TakeInfoFrame(result)) continue;  // never audio
        d.Describe(frame, result, SkipReason::None);
        if (!d.Trim(frame)) continue;  // all of it encoder delay or padding
        ++d.stats.framesDecoded;
        d.stats.samplesDecoded += frame.samples;
        return Next::Frame;
      case FrameOutcome::OutOfMemory:
        throw Error(ErrorCode::OutOfMemory, "no memory for the sample-rate conversion");
      case FrameOutcome::Skipped:
      case FrameOutcome::SkippedToEnd: {
        const SkipReason reason = ReasonOf(result.reason);
        // The end padding is not a frame: the header expected after the last
        // frame is missing there by design.
        if (reason == SkipReason::BadHeader && d.ended && d.headPosition + result.offset >= d.endPosition) continue;
        d.Describe(frame, result, reason);
        d.TrimConcealed(frame);
        if (!(d.refilling && reason == SkipReason::MissingReservoir)) d.Count(reason);
        if (result.outcome == FrameOutcome::SkippedToEnd) d.EndWindow(0);
        return Next::Skipped;
      }
      case FrameOutcome::KeepTail:
        d.EndWindow(result.tail);
        break;
      case FrameOutcome::BufferDone:
      case FrameOutcome::NeedBuffer:
        d.EndWindow(0);
        break;
    }
  }
}

void Decoder::Restart(uint64_t position) {
  Impl& d = *impl_;
  SeekStartDecoder(d.state);
  SeekEndDecoder(d.state);
  std::vector<uint8_t>().swap(d.pending);
  d.gate.Restart(position);
  d.head = 0;
  d.headPosition = position;
  d.ended = d.finished = d.inWindow = d.windowIsNew = d.windowReachesEnd = false;
  d.flushed = false;
  d.last = Frame{};
  // Resuming at an indexed frame, the converter takes up the whole stream's
  // phase there, so that its output lines up with a whole-stream decode.
  if (d.resampler && d.indexed && !d.mixedConversion && position != 0 && d.seekFrom != d.seekTo) {
    if (const IndexEntry* e = d.EntryFrom(position)) {
      d.resampler->Setup(d.seekFrom, d.seekTo);
      d.resampler->Restart(e->input);
    }
  }
  d.skipSamples = 0;  // entered elsewhere, a stream's delay is not at hand
  d.keepSamples = UINT64_MAX;
  d.infoChecked = position != 0;  // from the start, the Info frame comes again
  d.refilling = position != 0;
  // Resuming at an indexed place, the gapless trimming that is left from
  // there: the resumed decode's timeline starts with that frame.
  if (d.indexed && position != 0 && (d.trimStart != 0 || d.trimLength != UINT64_MAX)) {
    if (const IndexEntry* e = d.EntryFrom(position)) {
      const uint64_t first = std::max(e->output, d.trimStart);
      d.skipSamples = first - e->output;
      if (d.trimLength != UINT64_MAX) {
        const uint64_t end = d.trimStart + d.trimLength;
        d.keepSamples = end > first ? end - first : 0;
      }
    }
  }
  d.windowLength = 0;
}

void Decoder::IndexFeed(std::span<const uint8_t> chunk) {
  Impl& d = *impl_;
  d.StartScan();
  d.scanner->impl_->Accept(chunk, [&d] { d.DrainScanner(); });
}

void Decoder::IndexFinish() {
  Impl& d = *impl_;
  if (d.indexed && !d.scanner) return;
  d.StartScan();
  d.scanner->Finish();
  d.DrainScanner();
  d.windowStarts = std::move(d.scanner->impl_->windowStarts);
  // The trimming a whole decode applies, on the index's timeline (only
  // without rate conversion, as there).
  const GaplessInfo& info = d.scanner->stats().gapless;
  d.trimStart = 0;
  d.trimLength = UINT64_MAX;
  if (d.options.gapless && info.hasDelay && !d.index.empty() &&
      d.OutputRateFor(d.index.front().rate) == static_cast<int32_t>(d.index.front().rate)) {
    d.trimStart = uint64_t{info.delay} + kLayer3FilterDelay;
    if (info.frames) {
      const uint64_t total = info.frames * d.index.front().samples;
      const uint64_t cut = uint64_t{info.delay} + info.padding;
      d.trimLength = total > cut ? total - cut : 0;
    }
  }
  d.gate.AdoptLayout(d.scanner->impl_->gate);
  d.scanner.reset();
  d.Place();
  d.indexed = true;
}

bool Decoder::Seekable() const noexcept { return impl_->indexed; }

uint64_t Decoder::IndexedSamples() const noexcept { return impl_->indexed ? impl_->indexedSamples : 0; }

uint32_t Decoder::IndexedRate() const noexcept {
  const Impl& d = *impl_;
  return d.indexed && !d.index.empty() ? static_cast<uint32_t>(d.OutputRateFor(d.index.front().rate)) : 0;
}

Location Decoder::Locate(uint64_t sample) const {
  const Impl& d = *impl_;
  if (!d.indexed) throw Error(ErrorCode::NotIndexed, "Locate() needs the stream's index (IndexFeed, IndexFinish)");
  if (sample >= d.indexedSamples) {
    throw Error(ErrorCode::PastTheEnd, "sample " + std::to_string(sample) + " is past the end of the stream (" +
                                           std::to_string(d.indexedSamples) + " samples)");
  }
  // The index counts every frame's samples; gapless trimming drops the
  // first trimStart of them (no rate conversion then).
  const uint64_t at = sample + d.trimStart;
  const std::vector<IndexEntry>& index = d.index;
  // The frame that holds the sample: the last one whose output starts at or
  // before it.
  auto holder = std::upper_bound(index.begin(), index.end(), at,
                                 [](uint64_t s, const IndexEntry& e) { return s < e.output; });
  const size_t k = static_cast<size_t>(holder - index.begin()) - 1;
  if (d.state.tier != Tier::Full) return {index[k].offset, sample - index[k].output};
  if (d.mixedConversion) return {0, sample};

  // Back far enough that the synthesis history (every frame moves both
  // channels' on; a concealed one and a single-channel one with silence) and
  // the converter's reach are filled by the frames before it, and one frame
  // more.
  const bool converting = d.seekFrom != d.seekTo;
  const uint32_t reach = converting ? RatioOf(d.seekFrom, d.seekTo).half + 1 : 0;
  const uint64_t need = kSynthesisReach + reach;
  uint64_t first = 0;
  size_t i = k, before = 0;
  uint32_t largest = 0;
  auto filled = [&] {
    const uint64_t margin = largest;
    return before >= 2 && first >= need + margin;
  };
  while (i > 0 && !filled()) {
    --i;
    ++before;
    largest = std::max(largest, index[i].samples);
    first += index[i].samples;
  }
  // Layer III: the frame before those must decode as in the whole decode too
  // (the first one's IMDCT overlaps it), so the reservoir must hold all the
  // main data it can reach back to: the frames before it give that many
  // bytes. Their own output is silence where their main data lies before the
  // resumed decode's start, as it would in the whole decode after a cut.
  if (i > 0 && index[i].reservoirReach) {
    --i;
    uint32_t bytes = 0;
    const uint32_t wanted = index[i].reservoirReach;
    while (i > 0 && bytes < wanted) {
      --i;
      bytes += index[i].mainBytes;
    }
  }
  if (i == 0) return {0, sample};  // from the start of the stream, as the whole decode
  // From the window start before that frame, where the decode meets the
  // whole decode's windows; its first timeline frame is the first indexed
  // one there.
  const uint64_t window = d.WindowStartBefore(index[i].offset);
  if (window == 0) return {0, sample};
  const IndexEntry& from = *d.EntryFrom(window);
  uint64_t firstOutput = from.input;
  if (converting) {
    const ResampleRatio r = RatioOf(d.seekFrom, d.seekTo);
    firstOutput = (from.input * r.up + r.down - 1) / r.down;
  }
  // On the gapless timeline, the resumed decode's output begins at the later
  // of its first frame and the trimmed start (see Restart).
  firstOutput = std::max(firstOutput, d.trimStart) - d.trimStart;
  return {window, sample - firstOutput};
}

const Decoder::Options& Decoder::options() const noexcept { return impl_->options; }
const Stats& Decoder::stats() const noexcept { return impl_->stats; }

void Decoder::SetInputSize(uint64_t size, std::span<const uint8_t> tail) { impl_->gate.SetInputSize(size, tail); }

const Container& Decoder::container() const {
  const GateReport& r = impl_->gate.report();
  Container& c = impl_->container;
  c = Container{};
  if (r.wave.status != WaveStatus::NotWave) {
    c.kind = r.wave.kind == WaveKind::None ? "RIFF" : WaveKindName(r.wave.kind);
    c.formatTag = r.wave.formatTag;
    c.broadcast = r.wave.bext.present;
    c.description = r.wave.bext.description;
    c.originator = r.wave.bext.originator;
    c.originationDate = r.wave.bext.originationDate;
  }
  for (const TagInfo& t : r.tags) c.tags.push_back(Tag{TagTypeName(t.type), t.offset, t.size, t.damaged});
  c.tagBytes = r.tagBytes;
  c.audioBegin = r.audioBegin;
  c.audioEnd = r.audioEnd;
  c.warnings = r.warnings;
  c.refusal = r.refusal;
  return c;
}

}  // namespace quorvel
