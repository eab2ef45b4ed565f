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

extern "C" {

QUORVEL_API void Init(int32_t processing, const EqSettings* eq) {
  quorvel::EqLevels levels;
  if (eq) std::memcpy(&levels, eq, sizeof levels);
  quorvel::InitDecoder(TheDecoder(), processing, eq ? &levels : nullptr);
}

QUORVEL_API void Exit(void) { quorvel::ExitDecoder(TheDecoder()); }

QUORVEL_API int32_t DecompressAudio(const uint8_t* data, int32_t length, uint8_t* out, uint32_t /*reserved*/,
                                    int32_t* outBytes, int32_t* streamPos) {
  int32_t bytes = 0, position = 0;
  const int32_t result = quorvel::DecompressFrame(TheDecoder(), data, length, out, &bytes, &position);
  if (outBytes) *outBytes = bytes;
  if (streamPos && result != QUORVEL_NEED_BUFFER) *streamPos = position;
  return result;
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
