// The decoder's calls over a DecoderState: opening and closing a stream, the
// probe, and the decoding of one frame per call.
//
// Position accounting: every call given a new buffer first adds `consumed`
// to `streamOffset`, so that streamOffset becomes the stream position of the
// new buffer's first byte, on the premise that the host begins each buffer
// with the bytes it was asked to keep. Positions are 32-bit and wrap.
#include <cstdlib>

#include "api/decoder_state.h"
#include "layers/layer_decoders.h"
#include "output/equaliser.h"
#include "output/pcm.h"
#include "output/resampler.h"

namespace quorvel {
namespace {

void* HeapAllocate(uint32_t bytes) { return std::malloc(bytes); }
void HeapRelease(void* block) { std::free(block); }

uint32_t BufferLength(int32_t length) { return length > 0 ? static_cast<uint32_t>(length) : 0; }

// The result for a buffer that ran out: 0x8000 when none of it must be
// presented again, otherwise the count of bytes from frameStart to its end.
int32_t BufferExhausted(DecoderState& state) {
  const InputCursor& c = state.cursor;
  const uint32_t remaining = c.length - c.frameStart;
  if (remaining == c.length || remaining == 0) {
    state.consumed = c.length;  // the next buffer begins where this one ended
    return kResultBufferDone;
  }
  state.consumed = c.frameStart;
  return static_cast<int32_t>(remaining);
}

struct ScratchPair {
  ScratchHeap& heap;
  Q28* channel[2] = {nullptr, nullptr};
  ~ScratchPair() {
    for (Q28* block : channel) {
      if (block) heap.release(block);
    }
  }
};

// Converts the PcmBlock to the requested rate and writes it. -1 when the heap
// could not supply a scratch array (nothing written).
int32_t WriteResampled(DecoderState& state, uint8_t* out, int32_t& maxOvershoot) {
  PcmBlock& pcm = state.pcm;
  const uint32_t n = static_cast<uint16_t>(pcm.samplesPerChannel);
  const uint32_t capacity = ResampledCapacity(n, pcm.sampleRate, state.requestedRate);
  ScratchPair scratch{ResampleScratchHeap()};
  uint32_t m = 0;
  for (int ch = 0; ch < pcm.channels; ++ch) {
    scratch.channel[ch] = static_cast<Q28*>(scratch.heap.allocate((capacity ? capacity : 1) * sizeof(Q28)));
    if (!scratch.channel[ch]) return -1;
    ResamplerState resampler;
    if (SetupResampler(resampler, pcm.sampleRate, state.requestedRate) != 0) return -1;
    m = ResampleBlock(resampler, n, pcm.samples[ch].data(), scratch.channel[ch], capacity);
  }
  pcm.samplesPerChannel = static_cast<int16_t>(m);
  return WritePcm(out, m, scratch.channel[0], pcm.channels == 2 ? scratch.channel[1] : nullptr, state.pcmResidual,
                  maxOvershoot);
}

}  // namespace

ScratchHeap& ResampleScratchHeap() {
  static ScratchHeap heap{HeapAllocate, HeapRelease};
  return heap;
}

void InitDecoder(DecoderState& state, int32_t processing, const EqLevels* settings) {
  if (state.resetPending) {
    ResetCursor(state.cursor);
    ResetFrameState(state.frame);
    ResetSynthesis(state.synthesis, state.pcm);
    state.streamOffset = 0;
    state.consumed = 0;
  }
  state.processingEnabled = processing;
  state.gain = kOneQ28;
  if (settings) SetupEqualiser(settings->bands, settings->preamp, state.eqGains);
}

void ExitDecoder(DecoderState& state) { state.resetPending = 1; }

void SeekStartDecoder(DecoderState& state) { ExitDecoder(state); }

void SeekEndDecoder(DecoderState& state) { InitDecoder(state, state.processingEnabled, nullptr); }

int32_t ProbeHeader(DecoderState& state, const uint8_t* data, int32_t length, int32_t* rate, int32_t* channels,
                    int32_t* bitrate) {
  if (data == nullptr) return kResultBufferDone;  // nothing to probe; nothing changes
  state.streamOffset += state.consumed;
  SetBuffer(state.cursor, data, BufferLength(length));
  while (DecodeFrame(state.frame, state.cursor) != 0) {
    // Any failure but the end of the buffer has moved `resume` on.
    if (state.cursor.status == StatusNeedData) return BufferExhausted(state);
  }
  const FrameState& frame = state.frame;
  // A rate the resampler cannot produce is treated as no request: the host
  // learns the rate it will really get.
  if (rate && *rate != 0 && RateIndex(*rate) >= 0) {
    state.resampleEnabled = 1;
    state.requestedRate = *rate;
  } else {
    if (rate) *rate = static_cast<int32_t>(frame.sampleRate);
    state.resampleEnabled = 0;
  }
  if (bitrate) *bitrate = static_cast<int32_t>(frame.bitrate);
  if (channels) *channels = ChannelCount(frame);

  // Close and reopen the decoder; the next buffer is counted from the frame.
  const uint32_t offset = state.streamOffset;
  const uint32_t frameOffset = state.cursor.frameStart;
  ExitDecoder(state);
  InitDecoder(state, state.processingEnabled, nullptr);
  state.streamOffset = offset;
  state.consumed = frameOffset;
  return kResultFrame;
}

int32_t DecompressFrame(DecoderState& state, const uint8_t* data, int32_t length, uint8_t* out, int32_t* outBytes,
                        int32_t* streamPos) {
  if (data) {
    SetBuffer(state.cursor, data, BufferLength(length));
    state.streamOffset += state.consumed;
    state.resetPending = 0;
  } else if (state.resetPending) {
    *outBytes = 0;
    return kResultNeedBuffer;
  }
  int32_t maxOvershoot = 0;
  InputCursor& cursor = state.cursor;

  if (DecodeFrame(state.frame, cursor) != 0) {
    state.consumed = cursor.frameStart;
    *streamPos = static_cast<int32_t>(state.streamOffset + state.consumed);
    *outBytes = 0;
    if (cursor.status == StatusNeedData) return BufferExhausted(state);
    cursor.synchronised = 0;  // search from `resume` and confirm what is found
    if (cursor.status == StatusBadAllocation) {
      state.consumed = cursor.length;
      return kResultBufferDone;
    }
    return kResultFrame;
  }

  state.consumed = cursor.frameStart;
  *streamPos = static_cast<int32_t>(state.streamOffset + state.consumed);

  if (state.processingEnabled) {
    ApplyGain(state.frame, state.gain);
    ApplyEqualiser(state.frame, state.eqGains);
  }
  SynthesizeFrame(state.synthesis, state.frame, state.pcm);

  const PcmBlock& pcm = state.pcm;
  int32_t written;
  if (state.resampleEnabled) {
    written = WriteResampled(state, out, maxOvershoot);
    if (written < 0) {  // the heap failed: skip the frame's output
      *outBytes = 0;
      return kResultFrame;
    }
  } else {
    written = WritePcm(out, static_cast<uint16_t>(pcm.samplesPerChannel), pcm.samples[0].data(),
                       pcm.channels == 2 ? pcm.samples[1].data() : nullptr, state.pcmResidual, maxOvershoot);
  }
  *outBytes = written;

  if (state.processingEnabled) state.gain = AdaptGain(state.gain, state.gainReduction, maxOvershoot);
  return kResultFrame;
}

}  // namespace quorvel
