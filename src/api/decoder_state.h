// Everything the decoder knows between calls, and the operations behind the
// exported calls. The exported C calls work on one static instance; tests and
// the C++ API run instances of their own.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/frame.h"
#include "synth/synthesis.h"

namespace quorvel {

// Results of DecompressAudio and GetHeaderInfo besides a remaining-byte count.
constexpr int32_t kResultFrame = 0;        // a frame was decoded (or skipped)
constexpr int32_t kResultNeedBuffer = 1;   // no buffer while a reset is pending
constexpr int32_t kResultBufferDone = 0x8000;  // nothing of the buffer is needed again

// Output room the host must provide per call.
constexpr int32_t kMaxFrameBytes = 4608;       // 1152 samples x 2 channels x 2 bytes
constexpr int32_t kMaxResampledBytes = 27624;  // 6906 samples x 2 channels x 2 bytes

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
};

// Equaliser levels in dB: bands 0..9 (lowest first) and the preamp.
struct EqLevels {
  int8_t bands[10];
  int8_t preamp;
};

void InitDecoder(DecoderState& state, int32_t processing, const EqLevels* settings);
void ExitDecoder(DecoderState& state);
void SeekStartDecoder(DecoderState& state);
void SeekEndDecoder(DecoderState& state);
int32_t ProbeHeader(DecoderState& state, const uint8_t* data, int32_t length, int32_t* rate, int32_t* channels,
                    int32_t* bitrate);
int32_t DecompressFrame(DecoderState& state, const uint8_t* data, int32_t length, uint8_t* out, int32_t* outBytes,
                        int32_t* streamPos);

// Heap routines for the resampling scratch arrays, replaceable by tests.
struct ScratchHeap {
  void* (*allocate)(uint32_t bytes);
  void (*release)(void* block);
};
ScratchHeap& ResampleScratchHeap();

}  // namespace quorvel
