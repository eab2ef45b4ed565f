// The exported calls over the library's one static decoder.
#include "quorvel/quorvel.h"

#include <cstring>

#include "api/decoder_state.h"

namespace {

quorvel::DecoderState& TheDecoder() {
  static quorvel::DecoderState state;
  return state;
}

}  // namespace

static_assert(sizeof(EqSettings) == sizeof(quorvel::EqLevels), "EqSettings is eleven signed bytes");

namespace quorvel {

// The C view of a frame call: one result code for what happened, outBytes
// always, and the position for every result but 1 (there is none then).
int32_t CResultOf(const FrameResult& frame, int32_t* outBytes, int32_t* streamPos) {
  if (outBytes) *outBytes = frame.written;
  if (frame.outcome == FrameOutcome::NeedBuffer) return QUORVEL_NEED_BUFFER;
  if (streamPos) *streamPos = static_cast<int32_t>(frame.position);
  switch (frame.outcome) {
    case FrameOutcome::Decoded:
    case FrameOutcome::Skipped:
    case FrameOutcome::OutOfMemory:  // to the C host a frame whose output was lost
      return QUORVEL_FRAME;
    case FrameOutcome::KeepTail:
      return static_cast<int32_t>(frame.tail);
    case FrameOutcome::SkippedToEnd:
    case FrameOutcome::BufferDone:
    case FrameOutcome::NeedBuffer:
      break;
  }
  return QUORVEL_BUFFER_DONE;
}

int32_t DecompressAudioOn(DecoderState& state, const uint8_t* data, int32_t length, uint8_t* out, int32_t* outBytes,
                          int32_t* streamPos) {
  return CResultOf(DecompressFrame(state, data, length, out), outBytes, streamPos);
}

}  // namespace quorvel

extern "C" {

QUORVEL_API void Init(int32_t processing, const EqSettings* eq) {
  quorvel::EqLevels levels;
  if (eq) std::memcpy(&levels, eq, sizeof levels);
  quorvel::InitDecoder(TheDecoder(), processing, eq ? &levels : nullptr);
}

QUORVEL_API void Exit(void) { quorvel::ExitDecoder(TheDecoder()); }

QUORVEL_API int32_t DecompressAudio(const uint8_t* data, int32_t length, uint8_t* out, uint32_t /*reserved*/,
                                    int32_t* outBytes, int32_t* streamPos) {
  return quorvel::DecompressAudioOn(TheDecoder(), data, length, out, outBytes, streamPos);
}

QUORVEL_API int32_t GetHeaderInfo(const uint8_t* data, int32_t length, int32_t* rate, int32_t* channels,
                                  int32_t* bitrate) {
  return quorvel::ProbeHeader(TheDecoder(), data, length, rate, channels, bitrate);
}

QUORVEL_API void SeekStart(void) { quorvel::SeekStartDecoder(TheDecoder()); }

QUORVEL_API void SeekEnd(void) { quorvel::SeekEndDecoder(TheDecoder()); }

}  // extern "C"

CQuorvel::CQuorvel() = default;

CQuorvel& CQuorvel::operator=(const CQuorvel&) { return *this; }
