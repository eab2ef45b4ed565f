// The chunk walk of ReadWaveLayout. Offsets are uint64_t throughout: a chunk
// offset is at most kWaveHeadLimit plus a 32-bit size plus 9 before data, and
// at most head.size() plus that after it, so no sum below can wrap; the one
// 64-bit size of the file (ds64's data size) is compared against what is left
// of the file before it is added to anything.
#include "container/riff.h"

#include <algorithm>
#include <cstring>

namespace quorvel {
namespace {

constexpr uint64_t kChunkHeader = 8;
constexpr uint64_t kRiffHeader = 12;  // "RIFF", size, "WAVE"
constexpr uint64_t kDs64Fields = 24;  // riff size, data size, sample count; a table may follow
constexpr uint64_t kFmtFields = 14;   // tag, channels, rate, bytes per second, block align
constexpr uint64_t kFmtExtensible = 40;
constexpr uint64_t kBextText = 338;   // description .. origination time
constexpr uint32_t kUnsetSize = 0xFFFFFFFF;

// The KSDATAFORMAT_SUBTYPE GUIDs of the classic tags share these bytes after
// the 16-bit tag (the GUID's first field is the tag, stored little-endian).
constexpr uint8_t kSubtypeBase[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Le16(std::span<const uint8_t> b, uint64_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t Le32(std::span<const uint8_t> b, uint64_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
uint64_t Le64(std::span<const uint8_t> b, uint64_t at) { return Le32(b, at) | uint64_t{Le32(b, at + 4)} << 32; }

bool IdIs(std::span<const uint8_t> b, uint64_t at, const char (&id)[5]) { return std::memcmp(&b[at], id, 4) == 0; }

bool Printable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }

// Bytes [start, start + length) clipped to `end`: up to the first NUL,
// printable ASCII only (the fields are ASCII; anything else is dropped rather
// than guessed at), without leading or trailing spaces.
std::string Text(std::span<const uint8_t> b, uint64_t start, uint64_t length, uint64_t end) {
  std::string s;
  for (uint64_t i = start; i < std::min(start + length, end) && b[i] != 0; ++i) {
    if (Printable(b[i])) s.push_back(static_cast<char>(b[i]));
  }
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The fields of a bext payload at `at` of which `length` bytes are in b.
BroadcastText ReadBext(std::span<const uint8_t> b, uint64_t at, uint64_t length) {
  const uint64_t end = at + length;
  BroadcastText t;
  t.present = true;
  t.description = Text(b, at, 256, end);
  t.originator = Text(b, at + 256, 32, end);
  t.originatorReference = Text(b, at + 288, 32, end);
  t.originationDate = Text(b, at + 320, 10, end);
  t.originationTime = Text(b, at + 330, 8, end);
  return t;
}

struct Walk {
  std::span<const uint8_t> head;  // clipped to the file's size when that is known
  uint64_t fileSize;
  bool known;

  // Ok when bytes [0, end) are in head; otherwise why not, with needBytes set
  // for NeedMore. Before the data chunk the walk never asks for more than
  // kWaveHeadLimit bytes, whatever head holds, so that the answer does not
  // depend on how much a host happened to read.
  WaveStatus Require(uint64_t end, WaveLayout& out, bool bounded = true) const {
    if (known && end > fileSize) return WaveStatus::Truncated;
    if (bounded && end > kWaveHeadLimit) return WaveStatus::DataTooFar;
    if (end > head.size()) {
      out.needBytes = end;
      return WaveStatus::NeedMore;
    }
    return WaveStatus::Ok;
  }
};

WaveStatus ReadFmt(std::span<const uint8_t> b, uint64_t at, uint64_t length, WaveLayout& out) {
  if (length < kFmtFields) return WaveStatus::BadFmt;
  out.hasFmt = true;
  out.declaredFormatTag = Le16(b, at);
  out.formatTag = out.declaredFormatTag;
  out.channels = Le16(b, at + 2);
  out.sampleRate = Le32(b, at + 4);
  out.bytesPerSecond = Le32(b, at + 8);
  out.blockAlign = Le16(b, at + 12);
  if (out.declaredFormatTag == kWaveFormatExtensible) {
    // cbSize (at 16) of at least 22 covers valid bits, channel mask and the
    // 16-byte subformat GUID at 24.
    if (length < kFmtExtensible || Le16(b, at + 16) < 22) return WaveStatus::BadFmt;
    if (std::memcmp(&b[at + 26], kSubtypeBase, sizeof kSubtypeBase) == 0) out.formatTag = Le16(b, at + 24);
  }
  return WaveStatus::Ok;
}

// Whether the 8 bytes at `at` read as a chunk header: an id of printable
// ASCII and a size that fits the file. An MPEG stream starts with 0xFF (or
// with an ID3 tag, whose fourth byte is its version, 2 to 4), never so.
bool LooksLikeChunk(const Walk& w, uint64_t at) {
  for (uint64_t i = 0; i < 4; ++i) {
    if (!Printable(w.head[at + i])) return false;
  }
  return !w.known || Le32(w.head, at + 4) <= w.fileSize - (at + kChunkHeader);
}

// The data chunk whose header is at `at`; fills the audio range.
WaveStatus ReadData(const Walk& w, uint64_t at, uint64_t ds64Data, WaveLayout& out) {
  const uint64_t payload = at + kChunkHeader;
  const uint32_t size32 = Le32(w.head, at + 4);
  uint64_t size = size32;
  DataExtent extent = DataExtent::Declared;
  if (out.kind == WaveKind::Rf64 && size32 == kUnsetSize) {
    size = ds64Data;
    extent = ds64Data == 0 ? DataExtent::UnsetToEnd : DataExtent::Ds64;
  } else if (size32 == kUnsetSize) {
    extent = DataExtent::UnsetToEnd;
  } else if (size32 == 0) {
    // A recorder writes 0 until it finishes; a finished but empty data chunk
    // is followed by another chunk (or by the end of the file).
    extent = DataExtent::ZeroToEnd;
    if (!w.known || w.fileSize - payload >= kChunkHeader) {
      const WaveStatus s = w.Require(payload + kChunkHeader, out, false);
      if (s != WaveStatus::Ok) return s;
      if (LooksLikeChunk(w, payload)) extent = DataExtent::Declared;
    }
  }
  if (extent == DataExtent::Declared || extent == DataExtent::Ds64) {
    const uint64_t left = w.known ? w.fileSize - payload : kUnknownSize - payload;
    if (size > left) extent = DataExtent::PastEndToEnd;
  }
  out.chunks.back().size = size;
  out.dataOffset = payload;
  out.dataExtent = extent;
  if (extent == DataExtent::Declared || extent == DataExtent::Ds64) {
    out.dataSize = size;
  } else {
    out.dataSize = w.known ? w.fileSize - payload : kUnknownSize;
  }
  return out.hasFmt ? WaveStatus::Ok : WaveStatus::NoFmt;
}

// Adds the chunk whose header is at `at` (wholly inside head) to the list
// and returns its declared size.
uint32_t RecordChunk(std::span<const uint8_t> head, uint64_t at, WaveLayout& out) {
  WaveChunk c;
  std::memcpy(c.id.data(), &head[at], 4);
  c.offset = at;
  c.size = Le32(head, at + 4);
  out.chunks.push_back(c);
  return c.size;
}

// Lists the chunks after a data chunk of known extent that head holds in
// full headers; they are reported, never part of the audio.
void ListAfterData(const Walk& w, WaveLayout& out) {
  // An RF64 size near 2^64 would wrap the sum below; such data outlasts head anyway.
  if (out.dataSize > w.head.size()) return;
  uint64_t at = out.dataOffset + out.dataSize + (out.dataSize & 1);
  while (at <= w.head.size() && w.head.size() - at >= kChunkHeader) {
    const uint32_t size = RecordChunk(w.head, at, out);
    const uint64_t payload = at + kChunkHeader;
    if (IdIs(w.head, at, "bext") && !out.bext.present) {
      const uint64_t length = std::min<uint64_t>({size, kBextText, w.head.size() - payload});
      out.bext = ReadBext(w.head, payload, length);
    }
    at = payload + size + (size & 1);
  }
}

WaveStatus WalkChunks(const Walk& w, WaveLayout& out) {
  uint64_t ds64Data = 0;
  uint64_t at = kRiffHeader;
  for (;;) {
    // An odd chunk that ends the file often lacks its pad byte.
    if (w.known && at >= w.fileSize) return WaveStatus::NoData;
    WaveStatus s = w.Require(at + kChunkHeader, out);
    if (s != WaveStatus::Ok) return s;
    const uint32_t size = RecordChunk(w.head, at, out);
    const uint64_t payload = at + kChunkHeader;

    if (out.kind == WaveKind::Rf64 && at == kRiffHeader) {
      if (!IdIs(w.head, at, "ds64") || size < kDs64Fields) return WaveStatus::NoDs64;
      if ((s = w.Require(payload + kDs64Fields, out)) != WaveStatus::Ok) return s;
      out.riffSize = Le64(w.head, payload);
      ds64Data = Le64(w.head, payload + 8);
      out.sampleCount = Le64(w.head, payload + 16);
    } else if (IdIs(w.head, at, "data")) {
      return ReadData(w, at, ds64Data, out);
    }
    if (w.known && size > w.fileSize - payload) return WaveStatus::Truncated;
    if (IdIs(w.head, at, "fmt ") && !out.hasFmt) {
      const uint64_t length = std::min<uint64_t>(size, kFmtExtensible);
      if ((s = w.Require(payload + length, out)) != WaveStatus::Ok) return s;
      if ((s = ReadFmt(w.head, payload, length, out)) != WaveStatus::Ok) return s;
    } else if (IdIs(w.head, at, "bext") && !out.bext.present) {
      const uint64_t length = std::min<uint64_t>(size, kBextText);
      if ((s = w.Require(payload + length, out)) != WaveStatus::Ok) return s;
      out.bext = ReadBext(w.head, payload, length);
    }
    at = payload + size + (size & 1);
  }
}

}  // namespace

WaveLayout ReadWaveLayout(std::span<const uint8_t> head, uint64_t fileSize) {
  WaveLayout out;
  const bool known = fileSize != 0 && fileSize != kUnknownSize;
  if (known && head.size() > fileSize) head = head.first(static_cast<size_t>(fileSize));
  const Walk w{head, fileSize, known};

  // A head shorter than the magic matches while it is a prefix of it.
  const size_t magic = std::min<size_t>(head.size(), 4);
  const bool riff = magic == 0 || std::memcmp(head.data(), "RIFF", magic) == 0;
  const bool rf64 = magic == 0 || std::memcmp(head.data(), "RF64", magic) == 0;
  if (!riff && !rf64) return out;  // NotWave
  if (head.size() < kRiffHeader) {
    if (known && fileSize < kRiffHeader) {
      out.status = fileSize >= 4 ? WaveStatus::Truncated : WaveStatus::NotWave;
    } else {
      out.status = WaveStatus::NeedMore;
      out.needBytes = kRiffHeader;
    }
    return out;
  }
  if (!IdIs(head, 8, "WAVE")) return out;
  out.kind = riff ? WaveKind::Riff : WaveKind::Rf64;
  out.riffSize = Le32(head, 4);
  out.status = WalkChunks(w, out);
  if (out.status != WaveStatus::NeedMore) out.needBytes = 0;
  const bool bounded = out.dataExtent == DataExtent::Declared || out.dataExtent == DataExtent::Ds64;
  if ((out.status == WaveStatus::Ok || out.status == WaveStatus::NoFmt) && bounded) ListAfterData(w, out);
  return out;
}

const char* WaveKindName(WaveKind kind) {
  switch (kind) {
    case WaveKind::Riff: return "RIFF/WAVE";
    case WaveKind::Rf64: return "RF64/WAVE";
    case WaveKind::None: break;
  }
  return "";
}

const char* WaveStatusText(WaveStatus status) {
  switch (status) {
    case WaveStatus::Ok: return "ok";
    case WaveStatus::NotWave: return "not RIFF";
    case WaveStatus::NeedMore: return "need more bytes";
    case WaveStatus::Truncated: return "truncated";
    case WaveStatus::NoDs64: return "RF64 without a ds64 chunk";
    case WaveStatus::NoFmt: return "no fmt chunk";
    case WaveStatus::BadFmt: return "fmt chunk too short";
    case WaveStatus::NoData: return "no data chunk";
    case WaveStatus::DataTooFar: return "no data chunk in the first 1 MiB";
  }
  return "unknown";
}

std::string AlreadyPcmMessage(const WaveLayout& layout) {
  return std::string("already PCM audio (") + WaveKindName(layout.kind) + ", format " +
         std::to_string(layout.formatTag) + "), nothing to decode";
}

}  // namespace quorvel
