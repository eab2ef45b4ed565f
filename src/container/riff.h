// RIFF/WAVE and RF64 files around MPEG audio: where the audio bytes are.
//
// ReadWaveLayout walks the chunks at the start of a file and returns the
// format of its `fmt ` chunk and the byte range of its `data` chunk's payload,
// so that a host can feed the decoder those bytes and nothing else (a `LIST`
// or `JUNK` chunk after the audio must never reach the frame scanner, which
// would take stray 0xFFF patterns in it for frames).
//
// Everything is a pure function of the bytes given. Sizes read from the file
// are untrusted: offsets are 64-bit, every size is checked against the file's
// size (when known) before it is added to anything, and no byte outside
// `head` is ever read.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvel {

// A host with a pipe passes the first bytes it has; data beyond this many
// bytes of chunks is not searched for (a garbage chunk size would otherwise
// ask for gigabytes before the first frame).
constexpr uint64_t kWaveHeadLimit = uint64_t{1} << 20;

// fileSize argument and dataSize value for "not known".
constexpr uint64_t kUnknownSize = UINT64_MAX;

// WAVE format tags that matter here.
constexpr uint16_t kWaveFormatPcm = 0x0001;
constexpr uint16_t kWaveFormatMpeg = 0x0050;        // MPEG Layers I and II
constexpr uint16_t kWaveFormatMpegLayer3 = 0x0055;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;  // the real tag is in the subformat GUID

enum class WaveStatus : uint8_t {
  Ok,          // the data chunk is located
  NotWave,     // the bytes start neither RIFF....WAVE nor RF64....WAVE
  NeedMore,    // head ends before the data chunk: call again with needBytes bytes
  Truncated,   // the file (of known size) ends inside a chunk or a chunk header
  NoDs64,      // RF64 without the ds64 chunk that must follow WAVE
  NoFmt,       // no fmt chunk before the data chunk
  BadFmt,      // a fmt chunk too short for its fields
  NoData,      // the chunks end without a data chunk
  DataTooFar,  // no data chunk within the first kWaveHeadLimit bytes
};

enum class WaveKind : uint8_t { None, Riff, Rf64 };

// Where the data chunk's size came from.
enum class DataExtent : uint8_t {
  Declared,    // the chunk's 32-bit size, within the file
  Ds64,        // RF64: the 64-bit size of ds64 (the 32-bit field holds 0xFFFFFFFF)
  ZeroToEnd,   // size 0, written by a recorder that never came back: to the end of the file
  UnsetToEnd,  // size 0xFFFFFFFF in a RIFF file (or 0 in ds64): to the end of the file
  PastEndToEnd // the size runs past the end of the file: to the end of the file
};

struct WaveChunk {
  std::array<char, 4> id{};  // as in the file, not necessarily printable
  uint64_t offset = 0;       // of the 8-byte chunk header
  uint64_t size = 0;         // declared payload size (for RF64 data, the ds64 one); a pad byte follows an odd size
};

// The broadcast extension chunk's text fields: the bytes up to the first NUL,
// printable ASCII only, without leading or trailing spaces.
struct BroadcastText {
  bool present = false;
  std::string description;          // 256 bytes in the file
  std::string originator;           // 32
  std::string originatorReference;  // 32
  std::string originationDate;      // 10, yyyy-mm-dd
  std::string originationTime;      // 8, hh:mm:ss
};

struct WaveLayout {
  WaveStatus status = WaveStatus::NotWave;
  WaveKind kind = WaveKind::None;
  uint64_t needBytes = 0;  // NeedMore: head bytes that the next call needs (at most kWaveHeadLimit)

  uint64_t riffSize = 0;     // the RIFF size field, or ds64's for RF64 (not relied upon)
  uint64_t sampleCount = 0;  // ds64's sample count, 0 otherwise

  bool hasFmt = false;
  uint16_t declaredFormatTag = 0;  // the fmt chunk's tag as written
  uint16_t formatTag = 0;          // effective: the subformat's for WAVE_FORMAT_EXTENSIBLE with a standard GUID
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  uint32_t bytesPerSecond = 0;
  uint16_t blockAlign = 0;

  // Ok: the audio is bytes [dataOffset, dataOffset + dataSize) of the file.
  // For the *ToEnd extents with an unknown file size, dataSize is
  // kUnknownSize: the audio runs to the end of the input.
  uint64_t dataOffset = 0;
  uint64_t dataSize = 0;
  DataExtent dataExtent = DataExtent::Declared;

  BroadcastText bext;
  std::vector<WaveChunk> chunks;  // every chunk walked, in file order, with those after data that head holds
};

// Reads the layout of a RIFF/WAVE or RF64 file from its first bytes.
// fileSize is the whole file's size, or 0 or kUnknownSize when it is not known
// (a pipe); a host that reaches the end of a pipe calls again with the size.
WaveLayout ReadWaveLayout(std::span<const uint8_t> head, uint64_t fileSize);

// "RIFF/WAVE", "RF64/WAVE" or "" for WaveKind::None.
const char* WaveKindName(WaveKind kind);

// A short reason for a status: "not RIFF", "truncated", "no fmt chunk", ...
const char* WaveStatusText(WaveStatus status);

// True for the tag of PCM audio that needs no decoding.
constexpr bool IsPcmFormat(uint16_t formatTag) { return formatTag == kWaveFormatPcm; }

// True for the tags whose data is an MPEG audio stream (Layer I/II or III).
constexpr bool IsMpegFormat(uint16_t formatTag) {
  return formatTag == kWaveFormatMpeg || formatTag == kWaveFormatMpegLayer3;
}

// "already PCM audio (RIFF/WAVE, format 1), nothing to decode": the message
// a host prefixes with the file's name when IsPcmFormat(layout.formatTag).
std::string AlreadyPcmMessage(const WaveLayout& layout);

}  // namespace quorvel
