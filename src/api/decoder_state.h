// Everything the decoder knows between calls, and the operations behind the
// exported calls. The exported C calls work on one static instance; tests and
// the C++ API run instances of their own.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/frame.h"
#include "output/resampler_full.h"
#include "layers/layer3.h"
#include "quorvel/quorvel.h"
#include "synth/synthesis.h"
#include "synth/synthesis_full.h"
#include "synth/synthesis_headroom.h"

namespace quorvel {

// The C results and buffer sizes, as the internal code spells them; the C
// header is their one source.
constexpr int32_t kResultFrame = QUORVEL_FRAME;                      // a frame was decoded (or skipped)
constexpr int32_t kResultNeedBuffer = QUORVEL_NEED_BUFFER;           // no buffer while a reset is pending
constexpr int32_t kResultBufferDone = QUORVEL_BUFFER_DONE;           // nothing of the buffer is needed again
constexpr int32_t kMaxFrameBytes = QUORVEL_MAX_FRAME_BYTES;          // output room per call without resampling
constexpr int32_t kMaxResampledBytes = QUORVEL_MAX_RESAMPLED_BYTES;  // ... and while resampling

// The longest frame is 1152 samples of 2 channels, 2 bytes each. (The
// resampled bound, 6906 samples from 8000 Hz to 48000 Hz, is checked against
// ResampledCapacity in the tests, which is not a constant expression.)
static_assert(kMaxFrameBytes == kSamplesPerChannel * kMaxChannels * 2);
// Output room per call of the full tier with a band-limited converter: its
// output of one frame, or of its flush.
constexpr int32_t kMaxFullResampledBytes = static_cast<int32_t>(FullResampler::kMaxOutput) * kMaxChannels * 2;
static_assert(kMaxResampledBytes % (kMaxChannels * 2) == 0);

// The arithmetic from requantisation to 16-bit output. Both tiers share
// everything before it (scanning, headers, allocation, scalefactors, CRC and
// every decision to skip a frame). The compatible tier is the exported calls'
// own arithmetic, bit for bit; the full tier meets ISO/IEC 11172-4 full
// accuracy (64-bit products, the exact window, rounded output without error
// feedback), and after a frame with a forbidden allocation it skips only that
// frame where the compatible tier gives up the rest of the buffer.
enum class Tier : uint8_t { Compatible, Full };

struct DecoderState {
  int32_t resetPending = 1;          // 1 from load, Exit or SeekStart until a buffer arrives
  int32_t processingEnabled = 0;     // gain, equaliser and gain adaptation on
  Q28 gain = kOneQ28;                // global gain, lowered after clipping
  Q28 gainReduction = 0x08000000;    // constant factor of the gain adaptation (0.5)
  std::array<Q28, 32> eqGains{};     // per subband; 0 until Init is given EqSettings
  int32_t resampleEnabled = 0;       // an output rate was requested
  int32_t requestedRate = 0;         // Hz, one of the nine rates
  InputCursor cursor{};
  uint32_t consumed = 0;             // bytes of the current buffer before the last frame located
  FrameState frame{};
  SynthesisState synthesis{};
  PcmBlock pcm{};
  uint32_t streamOffset = 0;         // stream position of the current buffer's first byte (wraps)
  int32_t pcmResidual[2] = {0, 0};   // error feedback of the 16-bit conversion; never reset
  Tier tier = Tier::Compatible;      // chosen before the first frame, kept across resets
  FullSynthesisState fullSynthesis{};  // the full tier's history
  // The full tier's band-limited rate converter and its output arrays
  // ([FullResampler::kMaxOutput] each), owned by the host; while null the
  // full tier converts by interpolation as the compatible tier does.
  FullResampler* fullResampler = nullptr;
  Q28* fullResampled[2] = {nullptr, nullptr};
  // Headers only: each call locates and parses one frame as a decode would
  // and reports it as decoded (a Layer III frame as skipped), without
  // reading its body or writing PCM. For the fast scan of a stream's frames.
  int32_t headersOnly = 0;
  Layer3State layer3{};                // the full tier's Layer III reservoir and overlap
  FullHeadroomState headroom{};        // the full tier's synthesis of Layer III samples beyond +-2
};

// Equaliser levels in dB: bands 0..9 (lowest first) and the preamp.
struct EqLevels {
  int8_t bands[10];
  int8_t preamp;
};

// What one DecompressFrame call did.
enum class FrameOutcome : uint8_t {
  Decoded,       // a frame was decoded and its PCM written (written > 0)
  Skipped,       // a damaged frame or a false header was passed over (reason)
  SkippedToEnd,  // compatible tier: a frame with a forbidden allocation was passed over; the buffer is finished too
  OutOfMemory,   // a frame was decoded, but the resampler got no scratch memory: nothing written
  NeedBuffer,    // no buffer came with the call and none has since the last reset
  BufferDone,    // the buffer is finished and none of it must be presented again
  KeepTail,      // the buffer is finished; its last `tail` bytes must begin the next one
};

// The header of the frame a result is about.
struct FrameFormat {
  bool sound = false;       // a header was parsed soundly; all else is 0 otherwise
  uint32_t layer = 0;       // 1..3
  uint32_t flags = 0;       // the header's Flag... bits (version, CRC word, extra slot)
  int32_t modeCode = 0;     // kMode...
  uint32_t bitrate = 0;     // bit/s
  uint32_t sampleRate = 0;  // Hz, as coded in the header
  uint32_t length = 0;      // the frame's length in the stream, in bytes
  int channels = 0;         // 1 or 2
  uint32_t outputRate = 0;  // Hz of the PCM: sampleRate, or the rate being converted to
  // Per channel: written for a decoded frame, the count it would have given
  // for a skipped one.
  uint32_t samples = 0;
  bool operator==(const FrameFormat&) const = default;
};

struct FrameResult {
  FrameOutcome outcome = FrameOutcome::NeedBuffer;
  int32_t written = 0;  // bytes of PCM written to `out`
  // Where the frame (or the rejected place, or the place where the buffer ran
  // out) lies: in the stream (32-bit, wraps; see decoder.cpp on how positions
  // are counted) and from the start of the current buffer. Not set for
  // NeedBuffer.
  uint32_t position = 0;
  uint32_t offset = 0;
  uint32_t tail = 0;   // KeepTail: bytes at the buffer's end to present again
  Status reason{};     // Skipped, SkippedToEnd: why
  FrameFormat format;  // set for every outcome that located a sound header
  bool operator==(const FrameResult&) const = default;
};

// Samples per channel that one frame's synthesis yields.
inline uint32_t FrameSamples(const FrameState& frame) {
  return static_cast<uint32_t>(SlotsPerFrame(frame) * kSubbands);
}

void InitDecoder(DecoderState& state, int32_t processing, const EqLevels* settings);
void ExitDecoder(DecoderState& state);
void SeekStartDecoder(DecoderState& state);
void SeekEndDecoder(DecoderState& state);
// Converts every frame to `rate` Hz from now on (one of the nine rates), or
// stops converting for 0.
void SetOutputRate(DecoderState& state, int32_t rate);
int32_t ProbeHeader(DecoderState& state, const uint8_t* data, int32_t length, int32_t* rate, int32_t* channels,
                    int32_t* bitrate);
// Decodes at most one frame: `data` is a new buffer, or null to go on in the
// current one. out: [kMaxFrameBytes], or [kMaxResampledBytes] while
// converting ([kMaxFullResampledBytes] with a band-limited converter).
FrameResult DecompressFrame(DecoderState& state, const uint8_t* data, int32_t length, uint8_t* out);
// The band-limited converter's held-back samples at the end of the stream,
// written to out ([kMaxFullResampledBytes]) in the channels of the last
// frame; returns the bytes written (0 without a converter or while not
// converting). The converter then starts over with a silent past.
int32_t FlushFullResampler(DecoderState& state, uint8_t* out, uint32_t& samples, int& channels);
// The current buffer's bytes now lie at `base` (the same bytes, moved): the
// decoder reads on there. The cursor keeps offsets, so only its base moves.
void MoveBuffer(DecoderState& state, const uint8_t* base);
// A Layer III frame's main data (its `length` bytes at `frame`, the first
// `before` of them header, CRC word and side information) joins the
// reservoir as a decode adds it; a frame whose main data cannot be kept
// empties it.
void KeepLayer3MainData(Layer3State& layer3, const uint8_t* frame, uint32_t length, uint32_t before);

// DecompressAudio over any state (exports.cpp): the C results, outBytes and
// streamPos of a DecompressFrame call. For hosts that drive states of their
// own through the C protocol.
int32_t DecompressAudioOn(DecoderState& state, const uint8_t* data, int32_t length, uint8_t* out, int32_t* outBytes,
                          int32_t* streamPos);
// Its second half: the C result of a DecompressFrame result, with outBytes
// and streamPos set as DecompressAudioOn sets them. For hosts that need the
// FrameResult as well.
int32_t CResultOf(const FrameResult& frame, int32_t* outBytes, int32_t* streamPos);

// Heap routines for the resampling scratch arrays, replaceable by tests.
struct ScratchHeap {
  void* (*allocate)(uint32_t bytes);
  void (*release)(void* block);
};
ScratchHeap& ResampleScratchHeap();

}  // namespace quorvel
