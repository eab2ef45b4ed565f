// Quorvel C++ API: independent decoders with a feed/pull interface.
//
// Each quorvel::Decoder owns a decoder of its own, so a program may decode
// several streams at once, one Decoder per thread. Feed it the stream's bytes
// in chunks of any size, call Finish() at the end of the stream, and Pull()
// frames until it asks for more input or reports the end:
//
//   quorvel::Decoder decoder;                // or Decoder(options)
//   quorvel::Frame frame;
//   auto drain = [&] {                       // until NeedInput or End
//     for (auto next = decoder.Pull(frame); next == quorvel::Decoder::Next::Frame ||
//                                           next == quorvel::Decoder::Next::Skipped;
//          next = decoder.Pull(frame))
//       if (frame.decoded()) Play(frame.pcm, frame.sampleRate, frame.channels);
//   };
//   while (ReadChunk(chunk)) { decoder.Feed(chunk); drain(); }
//   decoder.Finish();
//   drain();
//
// Pull() also returns Next::Skipped for every damaged frame or false header
// the decoder passes over (see Frame::skipped), so that a host can fill the
// gap with silence. The full tier also runs that silence through its
// synthesis filter, so that the frame after the gap starts from silence.
//
// Converting the rate (Options::outputRate), the full tier filters with a
// band-limited polyphase filter whose state runs across frames: frames give
// slightly varying sample counts, and the stream's last samples come in one
// Frame::flush after its last frame, so that the output lasts as long as
// the input to within one sample. The compatible tier interpolates within
// each frame, as the exported calls do.
//
// Files wrap streams in tags and containers. The Decoder passes only the
// audio to its frame search: ID3v2 tags at the start are skipped by their
// declared sizes, RIFF/WAVE and RF64 files give only their data chunk, and
// tags in the middle (concatenated files) or at the end (ID3v1, APE,
// Lyrics3v2, ID3v2.4 with a footer) are removed where the chain of frames
// breaks. A host that knows the input's size, such as one reading a regular
// file, calls SetInputSize first (with the file's last bytes, if it can read
// them ahead), so that the tags at the end are found before decoding.
// container() reports what was found. Frame::position and the tags' offsets
// are offsets in the input as fed.
//
// Two arithmetic tiers decode the same frames (Options::accuracy). The
// default, Accuracy::Full, meets ISO/IEC 11172-4 full accuracy. With
// Accuracy::Compatible the PCM is bit-identical to that of the exported C
// calls driven by the classic host loop (quorvel.h) with a buffer of
// Options::bufferBytes bytes and 8 zero bytes appended to the bare stream
// (the input without its tags and container). Both
// are integer-only and give the same bytes on every platform.
//
// This API lives in the static library quorvel_cpp (CMake target
// Quorvel::quorvel_cpp); the shared library exports only the C calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvel {

// The rates the decoder can convert its output to, in Hz.
inline constexpr std::array<int32_t, 9> kOutputRates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
// Options::outputRate: convert every frame to the rate of the stream's first
// decodable frame (frames at that rate pass unchanged).
inline constexpr int32_t kFirstFrameRate = -1;
// Options::bufferBytes: the longest frame (2881 bytes) plus the 8 bytes that
// must follow it, up to 32768.
inline constexpr int32_t kMinBufferBytes = 2889;
inline constexpr int32_t kMaxBufferBytes = 32768;
inline constexpr int32_t kDefaultBufferBytes = 4096;

// The library's version, "major.minor.patch".
const char* LibraryVersion() noexcept;

enum class ErrorCode {
  InvalidOutputRate,  // not 0, kFirstFrameRate or one of kOutputRates
  InvalidBufferSize,  // outside kMinBufferBytes..kMaxBufferBytes
  FeedAfterFinish,    // Feed() after Finish() without Restart()
  OutOfMemory,        // the resampler could not obtain its scratch memory
  NotIndexed,         // Locate() before IndexFinish()
  PastTheEnd,         // Locate() at or past the end of the indexed stream
  NotSeekable,        // kept for source compatibility: every indexed stream is seekable now
};

// Every exception the Decoder throws itself (besides std::bad_alloc when a
// fed chunk cannot be stored).
class Error : public std::runtime_error {
 public:
  Error(ErrorCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ErrorCode code() const noexcept { return code_; }

 private:
  ErrorCode code_;
};

enum class MpegVersion : uint8_t { Mpeg1, Mpeg2, Mpeg25 };  // MPEG-1, MPEG-2 LSF, MPEG-2.5
enum class ChannelMode : uint8_t { Stereo, JointStereo, DualChannel, SingleChannel };

enum class SkipReason : uint8_t {
  None,              // the frame was decoded
  CrcError,          // the protected bits do not match the frame's CRC word
  BadScalefactor,    // a scalefactor index of 63
  BadAllocation,     // a forbidden Layer I allocation code
  BadHeader,         // no frame where one was expected, or an invalid header
  UnsupportedLayer,  // a Layer III frame in the compatible tier
  BadSideInfo,       // Layer III: illegal or inconsistent side information
  MissingReservoir,  // Layer III: main data in bytes before the decoder's start (after a cut or seek)
};

// Samples per channel that one frame of `layer` (1..3) holds: 384 for Layer I,
// 1152 for Layer II and MPEG-1 Layer III, 576 for LSF and MPEG-2.5 Layer III.
uint32_t SamplesPerFrame(int layer, MpegVersion version) noexcept;

// "MPEG-1", "MPEG-2", "MPEG-2.5"; "stereo", "joint stereo", "dual channel",
// "single channel"; "none", "crc error", "bad scalefactor", "bad allocation",
// "bad header", "unsupported layer", "bad side information", "missing reservoir".
const char* ToString(MpegVersion version) noexcept;
const char* ToString(ChannelMode mode) noexcept;
const char* ToString(SkipReason reason) noexcept;

// The arithmetic from requantisation to 16-bit output.
enum class Accuracy : uint8_t {
  // ISO/IEC 11172-4 full accuracy: 64-bit products, the exact synthesis
  // window, output rounded to nearest. The choice for everything new.
  Full,
  // The exported C calls' own arithmetic, bit for bit (16 x 16-bit products,
  // 16-bit output with error feedback), for hosts that must match them. After
  // a frame with a forbidden allocation it drops the rest of the buffer, as
  // they do; the full tier skips only that frame.
  Compatible,
};

struct Frame {
  SkipReason skipped = SkipReason::None;
  // The header fields below are valid: always for a decoded frame, and for a
  // skipped one whose header was sound (every reason but BadHeader).
  bool hasFormat = false;
  uint64_t position = 0;  // stream offset of the frame (or rejected place), in bytes
  uint32_t length = 0;    // the frame's length in the stream, in bytes

  MpegVersion version = MpegVersion::Mpeg1;
  int layer = 0;                  // 1, 2 or 3
  ChannelMode mode = ChannelMode::Stereo;
  uint32_t bitrate = 0;           // bit/s; for free format, what the measured length gives
  bool freeFormat = false;        // bitrate index 0: the length was measured on the stream (full tier only)
  uint32_t streamRate = 0;        // Hz, the rate coded in the header
  bool crcProtected = false;

  // The PCM: for a decoded frame what was written, for a skipped frame with
  // a format what it would have produced (its length of silence).
  uint32_t sampleRate = 0;  // Hz: streamRate, or the output rate when converting
  int channels = 0;         // 1 for single channel, else 2
  uint32_t samples = 0;     // per channel
  // Interleaved signed 16-bit samples, channel 0 first (samples x channels
  // values), and the same as little-endian bytes. Empty for a skipped frame.
  // Valid until the next call on the Decoder.
  std::span<const int16_t> pcm;
  std::span<const uint8_t> bytes;

  // The last samples of a full-tier rate conversion, which its filter held
  // back until the end of the stream: Pull() gives them after the last frame
  // as a decoded Frame of length 0 at the end position. Not counted in
  // Stats::framesDecoded.
  bool flush = false;

  bool decoded() const noexcept { return skipped == SkipReason::None; }
};

struct SkipCounts {
  uint64_t crcError = 0;
  uint64_t badScalefactor = 0;
  uint64_t badAllocation = 0;
  uint64_t badHeader = 0;
  uint64_t unsupportedLayer = 0;
  uint64_t badSideInfo = 0;
  // Not counted after a Restart at a later offset until a frame decodes:
  // there the reservoir refills, as expected, and those frames are not damage.
  uint64_t missingReservoir = 0;
  uint64_t Total() const noexcept {
    return crcError + badScalefactor + badAllocation + badHeader + unsupportedLayer + badSideInfo + missingReservoir;
  }
};

// What a Layer III stream's Xing/Info frame says. The frame itself is never
// output as audio.
struct GaplessInfo {
  bool infoFrame = false;  // the stream begins with a Xing/Info frame
  bool hasDelay = false;   // it carries an encoder extension (LAME) with delay and padding
  uint32_t delay = 0;      // encoder delay, samples per channel, as the header states it
  uint32_t padding = 0;    // samples the encoder appended at the end
  uint64_t frames = 0;     // audio frames after the Info frame (0: not stated)
};

struct Stats {
  uint64_t bytesFed = 0;       // stream bytes given to Feed (without the end padding)
  uint64_t framesDecoded = 0;
  uint64_t samplesDecoded = 0; // per channel, over all decoded frames (as output: after gapless trimming)
  SkipCounts skipped;
  GaplessInfo gapless;
};

// A tag around the audio, by its own declaration.
struct Tag {
  std::string type;     // "id3v2.2", "id3v2.3", "id3v2.4", "id3v1", "id3v1-enhanced", "apev1", "apev2", "lyrics3v2"
  uint64_t offset = 0;  // input offset of its first byte (of its footer for a damaged tag at the end)
  uint64_t size = 0;    // bytes, headers and footers included
  bool damaged = false; // the declared size runs past the input
};

// What the Decoder found around the audio so far; complete after Finish().
struct Container {
  std::string kind;          // "" for a bare stream, "RIFF/WAVE" or "RF64/WAVE"
  uint16_t formatTag = 0;    // WAVE: the fmt chunk's format (0x0050 MPEG, 0x0055 MPEG Layer III)
  bool broadcast = false;    // WAVE: a bext chunk, whose text fields follow
  std::string description;
  std::string originator;
  std::string originationDate;  // yyyy-mm-dd
  std::vector<Tag> tags;     // in input order
  uint64_t tagBytes = 0;     // bytes of the sound tags
  uint64_t audioBegin = 0;   // input offset where the audio may begin (after a WAVE header and leading tags)
  uint64_t audioEnd = 0;     // input offset after the last audio byte passed on
  // Damaged tags and what was done about them, one sentence each.
  std::vector<std::string> warnings;
  // Not empty when the input holds nothing this Decoder decodes and the
  // reason can be named, e.g. "already PCM audio (RIFF/WAVE, format 1),
  // nothing to decode"; every byte is then dropped.
  std::string refusal;
};

// Where to resume decoding to reach an output sample (Decoder::Locate): call
// Restart(offset), feed the stream's bytes from `offset` on, and drop the
// first `discard` samples per channel of the output, counting the silence of
// every frame skipped for a refused body (CrcError, BadScalefactor,
// BadAllocation, BadSideInfo, MissingReservoir: Frame::samples each) as a
// host that conceals them does. A Layer III decode resumed there begins with
// frames whose main data lies before `offset`: they come as MissingReservoir
// and fall within `discard`.
struct Location {
  uint64_t offset = 0;
  uint64_t discard = 0;
};

class Decoder {
 public:
  struct Options {
    // The arithmetic tier; both decode and skip the same frames.
    Accuracy accuracy = Accuracy::Full;
    // Global gain (lowered automatically after clipping) and equaliser.
    bool processing = false;
    // Equaliser levels in whole dB, lowest band first, and the preamp added to
    // every band; used while processing is on. Flat (0 dB) by default.
    std::array<int8_t, 10> bands{};
    int8_t preamp = 0;
    // 0: each frame at its own rate; one of kOutputRates; or kFirstFrameRate.
    int32_t outputRate = 0;
    // The host buffer the decoder works through: a frame is decoded once it
    // and the 8 bytes after it lie within one buffer.
    int32_t bufferBytes = kDefaultBufferBytes;
    // Gapless Layer III: with an Info frame that states the encoder delay D
    // and padding P, the first D + 529 samples (529: this decoder's
    // filterbank delay) and the last P - 529 are dropped, so that the output
    // is the encoder's input, sample for sample. Only without rate
    // conversion. false keeps them (the Info frame is never output).
    bool gapless = true;
  };

  enum class Next {
    Frame,      // a decoded frame
    Skipped,    // a damaged frame or false header passed over (frame.skipped)
    NeedInput,  // feed more bytes, or Finish()
    End,        // the stream is finished
  };

  Decoder();  // default Options
  // Throws Error for an invalid outputRate or bufferBytes.
  explicit Decoder(const Options& options);
  ~Decoder();
  // A moved-from Decoder may only be destroyed or assigned to.
  Decoder(Decoder&&) noexcept;
  Decoder& operator=(Decoder&&) noexcept;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The input's total size in bytes and, optionally, its last bytes (say
  // the last 64 KiB, read ahead by a host that can seek): the tags at the
  // end are then found from the end before decoding. Call before the first
  // Feed; without it the size is unknown (a pipe) and tags at the end are
  // recognised as they arrive.
  void SetInputSize(uint64_t size, std::span<const uint8_t> tail = {});
  // Appends stream bytes; chunks may have any size. The decoder keeps what it
  // has not used yet. Throws Error after Finish().
  void Feed(std::span<const uint8_t> chunk);
  void Feed(const void* data, std::size_t size);
  // Marks the end of the stream (appending the 8 zero bytes that let the
  // last frame decode). Further calls do nothing.
  void Finish();
  // Fills `frame` for Next::Frame and Next::Skipped; leaves it alone otherwise.
  Next Pull(Frame& frame);
  // Starts over at another place in the stream (a seek): drops the pending
  // input and resets the decoder, keeping the options. Bytes fed next are
  // counted from `position`. Stats are kept. At the offset of a Location,
  // the rate converter resumes in step with a whole-stream decode.
  void Restart(uint64_t position = 0);

  // Sample-accurate positions. First index the stream's frames by a fast
  // scan of their headers: IndexFeed() the whole stream's bytes from its
  // start, in chunks of any size, then IndexFinish(). The index holds the
  // frames the decoder finds (damaged ones included) and costs a small
  // fraction of decoding.
  //
  // Locate(sample) gives where to resume for output sample `sample` per
  // channel, on the timeline of the whole stream's output at the options'
  // rate, with concealed frames counted (see Location); for a gapless Layer
  // III stream on the gapless timeline (the Info frame, the encoder delay
  // and the padding left out), and Restart at that offset trims what is left
  // to trim, so that the decode ends where the whole decode ends. In the full tier with
  // processing off, the samples from there on are bit-identical to the same
  // samples of a decode of the whole stream: the decode starts early enough
  // (its first output is dropped) to fill the synthesis' and the rate
  // converter's history. In the compatible tier, whose 16-bit conversion
  // carries its error from frame to frame, it starts at the boundary of the
  // frame that holds the sample, as the exported calls do: the samples are
  // the right ones but not bit for bit. The offset is that of a frame, or of
  // a place where the whole decode's buffer window began (so that after a
  // damaged frame the resumed decode finds the same frames).
  // Throws Error: NotIndexed before IndexFinish(), PastTheEnd for a sample
  // at or past IndexedSamples().
  void IndexFeed(std::span<const uint8_t> chunk);
  void IndexFinish();
  // Output samples per channel of the whole stream, once indexed (0 before),
  // and the output rate of its first frame (0 before).
  uint64_t IndexedSamples() const noexcept;
  uint32_t IndexedRate() const noexcept;
  Location Locate(uint64_t sample) const;
  // Whether Locate can position in the stream: once it is indexed. In the
  // full tier a Layer III decode resumes early enough for its bit reservoir
  // (up to 511 bytes of earlier frames) and its IMDCT overlap.
  bool Seekable() const noexcept;

  const Options& options() const noexcept;
  const Stats& stats() const noexcept;
  const Container& container() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel
