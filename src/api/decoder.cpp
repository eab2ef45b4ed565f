// The decoder's calls over a DecoderState: opening and closing a stream, the
// probe, and the decoding of one frame per call.
//
// Position accounting: every call given a new buffer first adds `consumed`
// to `streamOffset`, so that streamOffset becomes the stream position of the
// new buffer's first byte, on the premise that the host begins each buffer
// with the bytes it was asked to keep. Positions are 32-bit and wrap.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "api/decoder_state.h"
#include "layers/layer_decoders.h"
#include "layers/requant_full.h"
#include "output/equaliser.h"
#include "output/equaliser_full.h"
#include "output/pcm.h"
#include "output/pcm_full.h"
#include "output/resampler.h"

namespace quorvel {
namespace {

void* HeapAllocate(uint32_t bytes) { return std::malloc(bytes); }
void HeapRelease(void* block) { std::free(block); }

uint32_t BufferLength(int32_t length) { return length > 0 ? static_cast<uint32_t>(length) : 0; }

// The end of a buffer: 0x8000 when none of it must be presented again,
// otherwise its bytes from frameStart to its end.
FrameOutcome BufferExhausted(DecoderState& state, uint32_t& tail) {
  const InputCursor& c = state.cursor;
  const uint32_t remaining = c.length - c.frameStart;
  if (remaining == c.length || remaining == 0) {
    state.consumed = c.length;  // the next buffer begins where this one ended
    return FrameOutcome::BufferDone;
  }
  state.consumed = c.frameStart;
  tail = remaining;
  return FrameOutcome::KeepTail;
}

int32_t ProbeResult(DecoderState& state) {
  uint32_t tail = 0;
  return BufferExhausted(state, tail) == FrameOutcome::BufferDone ? kResultBufferDone : static_cast<int32_t>(tail);
}

// A frame body rejected, or a layer this decoder does not decode: the frame
// was located and its header parsed.
bool HeaderWasSound(Status failure) {
  switch (failure) {
    case StatusCrcError:
    case StatusBadAllocation:
    case StatusBadScalefactor:
    case StatusUnsupportedLayer:
    case StatusBadSideInfo:
    case StatusMissingReservoir:
      return true;
    default:
      return false;
  }
}

// The header just parsed, and the PCM it gives (or would give) at the rate
// the decoder writes.
FrameFormat FormatOf(const DecoderState& state) {
  const FrameState& f = state.frame;
  FrameFormat format;
  format.sound = true;
  format.layer = f.layer;
  format.flags = f.flags;
  format.modeCode = f.modeCode;
  format.bitrate = f.bitrate;
  format.sampleRate = f.sampleRate;
  format.length = FrameLength(f);
  format.channels = ChannelCount(f);
  const uint32_t n = FrameSamples(f);
  if (state.resampleEnabled) {
    format.outputRate = static_cast<uint32_t>(state.requestedRate);
    format.samples = ResampledCapacity(n, static_cast<int32_t>(f.sampleRate), state.requestedRate);
  } else {
    format.outputRate = f.sampleRate;
    format.samples = n;
  }
  return format;
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

// Writes `count` samples per channel in the tier's 16-bit conversion.
int32_t WriteTierPcm(DecoderState& state, uint8_t* out, uint32_t count, const Q28* channel0, const Q28* channel1,
                     int32_t& maxOvershoot) {
  if (state.tier == Tier::Full) return WritePcmRounded(out, count, channel0, channel1, maxOvershoot);
  return WritePcm(out, count, channel0, channel1, state.pcmResidual, maxOvershoot);
}

// Runs n samples per channel at `rate` through the band-limited converter
// into state.fullResampled and returns the count written. A change of the
// input rate first flushes the converter (its held-back samples, at the same
// output rate, lead the output) and then sets it up anew with a silent past,
// so that no part of the timeline is lost at the change.
uint32_t RunBandLimited(DecoderState& state, uint32_t rate, const Q28* channel0, const Q28* channel1, uint32_t n) {
  FullResampler& rs = *state.fullResampler;
  uint32_t lead = 0;
  if (rs.from() != static_cast<int32_t>(rate) || rs.to() != state.requestedRate) {
    if (rs.to() == state.requestedRate) lead = rs.Flush(state.fullResampled[0], state.fullResampled[1]);
    rs.Setup(static_cast<int32_t>(rate), state.requestedRate);
  }
  return lead + rs.Process(channel0, channel1, n, state.fullResampled[0] + lead, state.fullResampled[1] + lead);
}

// The full tier's conversion of the PcmBlock by the band-limited converter;
// the filter carries its history and phase from frame to frame.
int32_t WriteBandLimited(DecoderState& state, uint8_t* out, int32_t& maxOvershoot) {
  PcmBlock& pcm = state.pcm;
  const bool stereo = pcm.channels == 2;
  const uint32_t m = RunBandLimited(state, pcm.sampleRate, pcm.samples[0].data(),
                                    stereo ? pcm.samples[1].data() : nullptr,
                                    static_cast<uint16_t>(pcm.samplesPerChannel));
  pcm.samplesPerChannel = static_cast<int16_t>(m);
  return WritePcmRounded(out, m, state.fullResampled[0], stereo ? state.fullResampled[1] : nullptr, maxOvershoot);
}

// A frame that is skipped takes its length of silence through the
// band-limited converter, as a host that conceals it hears it, so that the
// later frames keep their places; returns the count of samples that gives.
uint32_t SilenceBandLimited(DecoderState& state, const FrameFormat& format) {
  static const std::array<Q28, kSamplesPerChannel> silence{};
  return RunBandLimited(state, format.sampleRate, silence.data(), nullptr, FrameSamples(state.frame));
}

bool UsesBandLimited(const DecoderState& state) {
  return state.tier == Tier::Full && state.resampleEnabled && state.fullResampler;
}

// Converts the PcmBlock to the requested rate and writes it. -1 when the heap
// could not supply a scratch array (nothing written). The resampler's setup
// cannot fail: both rates are among the nine (the stream's by its header,
// the requested one by SetOutputRate's callers).
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
    m = state.tier == Tier::Full ? ResampleBlockFull(resampler, n, pcm.samples[ch].data(), scratch.channel[ch], capacity)
                                 : ResampleBlock(resampler, n, pcm.samples[ch].data(), scratch.channel[ch], capacity);
  }
  pcm.samplesPerChannel = static_cast<int16_t>(m);
  return WriteTierPcm(state, out, m, scratch.channel[0], pcm.channels == 2 ? scratch.channel[1] : nullptr,
                      maxOvershoot);
}

// The located frame's body up to the subband samples in the tier's
// arithmetic: the compatible decoders requantise as they read, the full
// tier's code decoders leave the codes and the plan.
int DecodeTierFrame(DecoderState& state) {
  if (state.tier == Tier::Full) {
    const int failed = DecodeFrameFull(state.frame, state.cursor, state.layer3);
    // Bytes passed over may have held frames whose main data later frames
    // reach back into.
    if (failed && state.cursor.status == StatusBadHeader) ClearReservoir(state.layer3);
    return failed;
  }
  return DecodeFrame(state.frame, state.cursor);
}

bool IsSync(const InputCursor& c, uint32_t at) { return at + 1 < c.length && c.buffer[at] == 0xFF && c.buffer[at + 1] >= 0xE0; }

// Whether the frame after the one just located would be taken on trust
// only: it begins right after this one, lies within the buffer with the 8
// bytes after it, and no sync pattern follows it. A decode that refuses this
// frame's body searches on from its end and takes the next frame only when
// the one after it confirms it; so only here does the body's outcome change
// which frames follow.
bool NextFrameUnconfirmed(const InputCursor& c, const FrameState& frame) {
  const uint32_t next = c.frameStart + FrameLength(frame);
  if (!IsSync(c, next) || c.length - next < 8) return false;
  static thread_local FrameState probeFrame;
  InputCursor probe = c;
  StartReader(probe.reader, c.buffer, c.length, next);
  if (ParseHeader(probeFrame, probe) != 0 || probeFrame.bitrate == 0) return false;
  const uint32_t length = FrameLength(probeFrame);
  if (length + 8 > c.length - next) return false;  // the next buffer will begin with it
  return !IsSync(c, next + length);
}

// A Layer III frame's main data joins the reservoir as DecodeLayer3 adds
// it, without decoding the frame: the header scan keeps the reservoir that
// a decode would have, for the frames whose body it must decode.
void KeepMainData(Layer3State& layer3, const FrameState& frame, const InputCursor& cursor) {
  const int channels = ChannelCount(frame);
  const bool lsf = (frame.flags & FlagLsf) != 0;
  const uint32_t sideBytes = lsf ? (channels == 1 ? 9 : 17) : (channels == 1 ? 17 : 32);
  const uint32_t headerBytes = (frame.flags & FlagProtected) ? 6 : 4;
  KeepLayer3MainData(layer3, cursor.buffer + cursor.frameStart, FrameLength(frame), headerBytes + sideBytes);
}

// The header scan's stand-in for DecodeTierFrame: the frame is located and
// confirmed as the layer decoders locate it, and a Layer III frame is
// refused as they refuse it (the compatible tier) or its main data kept as
// the full tier keeps it. The body is read only where its outcome decides
// which frames follow (NextFrameUnconfirmed).
int ScanTierFrame(DecoderState& state) {
  if (FindFrame(state.frame, state.cursor) != 0) {
    if (state.cursor.status == StatusBadHeader) ClearReservoir(state.layer3);
    return -1;
  }
  if (state.frame.layer == 3 && state.tier == Tier::Full) {
    if (NextFrameUnconfirmed(state.cursor, state.frame)) return DecodeLayer3(state.layer3, state.frame, state.cursor);
    KeepMainData(state.layer3, state.frame, state.cursor);
    return 0;
  }
  if (state.frame.layer != 1 && state.frame.layer != 2) {
    state.cursor.status = StatusUnsupportedLayer;
    return -1;
  }
  ClearReservoir(state.layer3);
  if (NextFrameUnconfirmed(state.cursor, state.frame)) {
    return LayerCodeDecoderTable[state.frame.layer - 1](state.cursor, state.frame);
  }
  return 0;
}

// The full tier's synthesis of the frame in state.frame. Layer III samples
// can go beyond what the filterbank takes, and the part beyond runs through a
// second synthesis; while that one still rings (after a loud Layer III
// frame), every frame, a concealed one or one of another layer included, must
// move it on, or the rest of its tail would play late.
void SynthesizeFull(DecoderState& state) {
  if (state.frame.layer == 3 || state.headroom.liveFrames > 0) {
    SynthesizeFrameFullWide(state.fullSynthesis, state.headroom, state.frame, state.pcm);
  } else {
    SynthesizeFrameFull(state.fullSynthesis, state.frame, state.pcm);
  }
}

// The full tier runs the silence of a concealed frame through the synthesis,
// so that the frames after it start from the silence a concealing host
// played rather than from the sound before the gap; and so that the history
// after any frame depends only on the frames just before it, which lets a
// seek rebuild it exactly.
void SynthesizeSilence(DecoderState& state) {
  FrameState& frame = state.frame;
  for (int ch = 0; ch < ChannelCount(frame); ++ch) frame.samples[ch].fill(0);
  SynthesizeFull(state);
  if (ChannelCount(frame) == 1) AdvanceSilenceFull(state.fullSynthesis.channel[1], SlotsPerFrame(frame));
}

// Processing and synthesis of a decoded frame into the PcmBlock.
void SynthesizeTierFrame(DecoderState& state) {
  FrameState& frame = state.frame;
  if (state.tier == Tier::Full) {
    if (frame.layer != 3) RequantFull(frame);  // Layer III frames arrive as subband samples
    if (state.processingEnabled) {
      ApplyGainFull(frame, state.gain);
      ApplyEqualiserFull(frame, state.eqGains);
    }
    SynthesizeFull(state);
    // A single-channel frame is silence in the second channel: its history
    // moves on with it, so that a later two-channel frame starts from the
    // frames just before it.
    if (ChannelCount(frame) == 1) AdvanceSilenceFull(state.fullSynthesis.channel[1], SlotsPerFrame(frame));
    return;
  }
  if (state.processingEnabled) {
    ApplyGain(frame, state.gain);
    ApplyEqualiser(frame, state.eqGains);
  }
  SynthesizeFrame(state.synthesis, frame, state.pcm);
}

}  // namespace

void KeepLayer3MainData(Layer3State& layer3, const uint8_t* frame, uint32_t length, uint32_t before) {
  if (length < before || length - before > kReservoirCapacity - kReservoirKeep) {
    ClearReservoir(layer3);
    return;
  }
  const uint32_t mainBytes = length - before;
  const uint32_t total = layer3.reservoirSize + mainBytes;
  const uint32_t keep = std::min(total, kReservoirKeep);
  // The last `keep` bytes of the reservoir and the frame's main data.
  if (mainBytes >= keep) {
    std::memcpy(layer3.reservoir, frame + before + (mainBytes - keep), keep);
  } else {
    const uint32_t old = keep - mainBytes;
    std::memmove(layer3.reservoir, layer3.reservoir + (layer3.reservoirSize - old), old);
    std::memcpy(layer3.reservoir + old, frame + before, mainBytes);
  }
  layer3.reservoirSize = keep;
}

ScratchHeap& ResampleScratchHeap() {
  static ScratchHeap heap{HeapAllocate, HeapRelease};
  return heap;
}

void InitDecoder(DecoderState& state, int32_t processing, const EqLevels* settings) {
  if (state.resetPending) {
    ResetCursor(state.cursor);
    ResetFrameState(state.frame);
    ResetSynthesis(state.synthesis, state.pcm);
    ResetFullSynthesis(state.fullSynthesis);
    if (state.fullResampler) state.fullResampler->Reset();
    ResetLayer3(state.layer3);
    ResetFullHeadroom(state.headroom);
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
  while (DecodeTierFrame(state) != 0) {
    // Any failure but the end of the buffer has moved `resume` on.
    if (state.cursor.status == StatusNeedData) return ProbeResult(state);
  }
  const FrameState& frame = state.frame;
  // A rate the resampler cannot produce is treated as no request: the host
  // learns the rate it will really get.
  if (rate && *rate != 0 && RateIndex(*rate) >= 0) {
    SetOutputRate(state, *rate);
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

FrameResult DecompressFrame(DecoderState& state, const uint8_t* data, int32_t length, uint8_t* out) {
  FrameResult result;
  if (data) {
    SetBuffer(state.cursor, data, BufferLength(length));
    state.streamOffset += state.consumed;
    state.resetPending = 0;
  } else if (state.resetPending) {
    return result;  // NeedBuffer
  }
  InputCursor& cursor = state.cursor;

  const int failed = state.headersOnly ? ScanTierFrame(state) : DecodeTierFrame(state);
  state.consumed = cursor.frameStart;
  result.offset = cursor.frameStart;
  result.position = state.streamOffset + state.consumed;
  if (failed) {
    if (cursor.status == StatusNeedData) {
      result.outcome = BufferExhausted(state, result.tail);
      return result;
    }
    cursor.synchronised = 0;  // search from `resume` and confirm what is found
    result.reason = static_cast<Status>(cursor.status);
    if (HeaderWasSound(result.reason)) {
      result.format = FormatOf(state);
      // Concealed frames are those whose body was refused: a Layer III frame
      // has no place in the timeline.
      if (result.reason != StatusUnsupportedLayer && state.tier == Tier::Full && !state.headersOnly) {
        SynthesizeSilence(state);
        if (UsesBandLimited(state)) result.format.samples = SilenceBandLimited(state, result.format);
      }
    }
    result.outcome = FrameOutcome::Skipped;
    if (result.reason == StatusBadAllocation && state.tier == Tier::Compatible) {
      state.consumed = cursor.length;
      result.outcome = FrameOutcome::SkippedToEnd;
    }
    return result;
  }
  result.format = FormatOf(state);
  if (state.headersOnly) {
    result.outcome = FrameOutcome::Decoded;
    return result;
  }

  SynthesizeTierFrame(state);

  int32_t maxOvershoot = 0;
  const PcmBlock& pcm = state.pcm;
  if (UsesBandLimited(state)) {
    result.written = WriteBandLimited(state, out, maxOvershoot);
  } else if (state.resampleEnabled) {
    result.written = WriteResampled(state, out, maxOvershoot);
    if (result.written < 0) {  // the heap failed: the frame's output is lost
      result.written = 0;
      result.outcome = FrameOutcome::OutOfMemory;
      return result;
    }
  } else {
    result.written = WriteTierPcm(state, out, static_cast<uint16_t>(pcm.samplesPerChannel), pcm.samples[0].data(),
                                  pcm.channels == 2 ? pcm.samples[1].data() : nullptr, maxOvershoot);
  }
  result.format.samples = static_cast<uint16_t>(pcm.samplesPerChannel);
  result.outcome = FrameOutcome::Decoded;

  if (state.processingEnabled) state.gain = AdaptGain(state.gain, state.gainReduction, maxOvershoot);
  return result;
}

int32_t FlushFullResampler(DecoderState& state, uint8_t* out, uint32_t& samples, int& channels) {
  samples = 0;
  channels = state.pcm.channels == 2 ? 2 : 1;
  if (!UsesBandLimited(state) || state.fullResampler->from() == 0) return 0;
  FullResampler& rs = *state.fullResampler;
  samples = rs.Flush(state.fullResampled[0], state.fullResampled[1]);
  rs.Reset();
  int32_t maxOvershoot = 0;
  return WritePcmRounded(out, samples, state.fullResampled[0], channels == 2 ? state.fullResampled[1] : nullptr,
                         maxOvershoot);
}

void MoveBuffer(DecoderState& state, const uint8_t* base) {
  InputCursor& cursor = state.cursor;
  if (!cursor.buffer) return;  // nothing presented since the last reset
  cursor.buffer = base;
  cursor.reader.base = base;
}

void SetOutputRate(DecoderState& state, int32_t rate) {
  state.resampleEnabled = rate != 0 ? 1 : 0;
  state.requestedRate = rate;
}

}  // namespace quorvel
