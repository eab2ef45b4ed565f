// Recognising tags by their declared sizes, and the frame chain that tells
// where the audio resumes when a declared size cannot be trusted.
//
// Layouts, all sizes in bytes:
//   ID3v2 header/footer (10): "ID3"/"3DI", major, revision, flags, four
//     synchsafe size bytes (7 bits each, high bit clear) counting what lies
//     between header and footer. A 2.4 tag with the footer flag (0x10) has a
//     10-byte footer, so it is 20 + size long; every other is 10 + size.
//     Unsynchronisation is applied inside that size, so the size is skipped as
//     it stands and the payload is never decoded.
//   APE header/footer (32): "APETAGEX", version, tag size, item count, flags
//     (all little-endian 32-bit), 8 reserved bytes. The tag size counts the
//     items and the footer but not the optional header, whose presence is
//     flag bit 31; bit 29 marks the header itself. Version 1000 has no header.
//   Lyrics3v2: "LYRICSBEGIN" ... six decimal digits, "LYRICS200"; the digits
//     count from LYRICSBEGIN up to themselves, so the tag is 15 bytes longer.
//   ID3v1 (128): "TAG" and fixed fields; the enhanced block (227) "TAG+" sits
//     directly before it.
#include "container/tags.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "bitstream/frame.h"

namespace quorvel {
namespace {

constexpr size_t kId3v2HeaderBytes = 10;
constexpr uint8_t kId3v2FooterFlag = 0x10;
constexpr size_t kApeFooterBytes = 32;
constexpr uint32_t kApeHasHeader = 1u << 31;
constexpr uint32_t kApeIsHeader = 1u << 29;
constexpr size_t kLyricsFooterBytes = 15;  // six digits and "LYRICS200"
constexpr size_t kLyricsBeginBytes = 11;   // "LYRICSBEGIN"
constexpr uint64_t kId3v1Bytes = 128;
constexpr uint64_t kId3v1EnhancedBytes = 227;

bool StartsWith(const uint8_t* p, const char* text) { return std::memcmp(p, text, std::strlen(text)) == 0; }

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The 28-bit value of four synchsafe bytes; nullopt when a byte has its high
// bit set, which no valid ID3v2 header or footer has.
std::optional<uint32_t> ReadSynchsafe(const uint8_t* p) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (p[i] & 0x80) return std::nullopt;
    value = value << 7 | p[i];
  }
  return value;
}

// Total size of the ID3v2 tag whose 10-byte header (or footer, when
// `footer`) is at p: the marker, a known major version, a revision that is
// not 0xFF and synchsafe size bytes. A footer exists only in version 2.4
// and must carry the footer flag.
std::optional<uint64_t> Id3v2Size(const uint8_t* p, bool footer, uint8_t* major) {
  if (!StartsWith(p, footer ? "3DI" : "ID3")) return std::nullopt;
  *major = p[3];
  if (*major < 2 || *major > 4 || p[4] == 0xFF) return std::nullopt;
  const bool hasFooter = *major == 4 && (p[5] & kId3v2FooterFlag);
  if (footer && !hasFooter) return std::nullopt;
  const std::optional<uint32_t> size = ReadSynchsafe(p + 6);
  if (!size) return std::nullopt;
  return kId3v2HeaderBytes + *size + (hasFooter ? kId3v2HeaderBytes : 0);
}

TagType Id3v2Type(uint8_t major) {
  return major == 2 ? TagType::Id3v22 : major == 3 ? TagType::Id3v23 : TagType::Id3v24;
}

// The tail of a file as file offsets, so that every read is checked against
// the bytes actually held.
struct Tail {
  std::span<const uint8_t> bytes;
  uint64_t offset;  // file offset of bytes[0]

  // The n bytes at file offset `at`, or nullptr when they are not all held.
  const uint8_t* At(uint64_t at, uint64_t n) const {
    if (at < offset || at - offset > bytes.size() || n > bytes.size() - (at - offset)) return nullptr;
    return bytes.data() + (at - offset);
  }
};

// One trailing tag found from its footer, which ends at `end`.
struct Found {
  TagType type;
  uint64_t footerBytes;
  uint64_t size;      // declared
  bool sizeValid;     // the declared size can hold the tag's own markers
  const char* begin;  // marker at the declared start, or nullptr
};

std::optional<Found> Lyrics3v2Before(const Tail& tail, uint64_t end) {
  if (end < kLyricsFooterBytes) return std::nullopt;
  const uint8_t* p = tail.At(end - kLyricsFooterBytes, kLyricsFooterBytes);
  if (!p || !StartsWith(p + 6, "LYRICS200")) return std::nullopt;
  uint64_t counted = 0;
  for (int i = 0; i < 6; ++i) {
    if (p[i] < '0' || p[i] > '9') return std::nullopt;
    counted = counted * 10 + (p[i] - '0');
  }
  return Found{TagType::Lyrics3v2, kLyricsFooterBytes, counted + kLyricsFooterBytes, counted >= kLyricsBeginBytes,
               "LYRICSBEGIN"};
}

std::optional<Found> ApeBefore(const Tail& tail, uint64_t end) {
  if (end < kApeFooterBytes) return std::nullopt;
  const uint8_t* p = tail.At(end - kApeFooterBytes, kApeFooterBytes);
  if (!p || !StartsWith(p, "APETAGEX")) return std::nullopt;
  const uint32_t version = ReadLe32(p + 8);
  const uint32_t counted = ReadLe32(p + 12);
  const uint32_t flags = ReadLe32(p + 20);
  if ((version != 1000 && version != 2000) || (flags & kApeIsHeader)) return std::nullopt;
  // Version 1000 defines no flags, so a set bit 31 there does not add a header.
  const bool header = version == 2000 && (flags & kApeHasHeader);
  return Found{version == 2000 ? TagType::ApeV2 : TagType::ApeV1, kApeFooterBytes,
               uint64_t{counted} + (header ? kApeFooterBytes : 0), counted >= kApeFooterBytes,
               header ? "APETAGEX" : nullptr};
}

std::optional<Found> Id3v24Before(const Tail& tail, uint64_t end) {
  if (end < kId3v2HeaderBytes) return std::nullopt;
  const uint8_t* p = tail.At(end - kId3v2HeaderBytes, kId3v2HeaderBytes);
  uint8_t major = 0;
  if (!p) return std::nullopt;
  const std::optional<uint64_t> size = Id3v2Size(p, true, &major);
  if (!size) return std::nullopt;
  return Found{TagType::Id3v24, kId3v2HeaderBytes, *size, true, "ID3\x04"};
}

// Where a frame header at bytes[at] leads: the fields that must stay the same
// along a chain, and the frame's length.
struct ChainLink {
  uint32_t versionFlags;
  uint32_t layer;
  uint32_t sampleRate;
  uint32_t length;
  bool operator==(const ChainLink& other) const {
    return versionFlags == other.versionFlags && layer == other.layer && sampleRate == other.sampleRate;
  }
};

std::optional<ChainLink> LinkAt(std::span<const uint8_t> bytes, size_t at, FrameState& frame, InputCursor& cursor) {
  if (at >= bytes.size() || bytes.size() - at < 4) return std::nullopt;
  if (bytes[at] != 0xFF || (bytes[at + 1] & 0xE0) != 0xE0) return std::nullopt;
  // At most the header and a CRC word are read; the reader gives zeros past
  // the span, so a protected header at its very end reads nothing outside.
  SetBuffer(cursor, bytes.data() + at, static_cast<uint32_t>(std::min<size_t>(bytes.size() - at, 6)));
  if (ParseHeader(frame, cursor) != 0) return std::nullopt;
  // Free format (index 0) and the forbidden index 15 both leave bitrate 0: no
  // length, so no chain.
  if (frame.bitrate == 0) return std::nullopt;
  return ChainLink{frame.flags & (FlagLsf | FlagMpeg25), frame.layer, frame.sampleRate, FrameLength(frame)};
}

}  // namespace

const char* TagTypeName(TagType type) {
  switch (type) {
    case TagType::Id3v22: return "id3v2.2";
    case TagType::Id3v23: return "id3v2.3";
    case TagType::Id3v24: return "id3v2.4";
    case TagType::Id3v1: return "id3v1";
    case TagType::Id3v1Enhanced: return "id3v1-enhanced";
    case TagType::ApeV1: return "apev1";
    case TagType::ApeV2: return "apev2";
    case TagType::Lyrics3v2: return "lyrics3v2";
  }
  return "unknown";
}

std::optional<TagInfo> TagAt(std::span<const uint8_t> bytes, uint64_t offset, uint64_t bytesToEnd) {
  std::optional<TagInfo> tag;
  if (bytes.size() >= kId3v2HeaderBytes) {
    uint8_t major = 0;
    if (const std::optional<uint64_t> size = Id3v2Size(bytes.data(), false, &major)) {
      tag = TagInfo{Id3v2Type(major), offset, *size, false};
    }
  }
  // Some writers put the APEv2 tag first; only its header can say so, and the
  // header must agree that it is one (bits 29 and 31).
  if (!tag && bytes.size() >= kApeFooterBytes && StartsWith(bytes.data(), "APETAGEX")) {
    const uint32_t version = ReadLe32(bytes.data() + 8);
    const uint32_t counted = ReadLe32(bytes.data() + 12);
    const uint32_t flags = ReadLe32(bytes.data() + 20);
    if (version == 2000 && (flags & kApeIsHeader) && (flags & kApeHasHeader) && counted >= kApeFooterBytes) {
      tag = TagInfo{TagType::ApeV2, offset, uint64_t{counted} + kApeFooterBytes, false};
    }
  }
  if (tag && tag->size > bytesToEnd) tag->damaged = true;
  return tag;
}

TrailingTags FindTrailingTags(std::span<const uint8_t> tail, uint64_t tailOffset) {
  const Tail t{tail, tailOffset};
  TrailingTags result;
  uint64_t end = tailOffset + tail.size();

  // ID3v1 is always the very last block, and TAG+ exists only right before it.
  if (end >= kId3v1Bytes) {
    const uint8_t* p = t.At(end - kId3v1Bytes, kId3v1Bytes);
    // A title may begin with '+', so "TAG+" here is still an ID3v1 block.
    if (p && StartsWith(p, "TAG")) {
      end -= kId3v1Bytes;
      result.tags.push_back({TagType::Id3v1, end, kId3v1Bytes, false});
      const uint8_t* q = end >= kId3v1EnhancedBytes ? t.At(end - kId3v1EnhancedBytes, 4) : nullptr;
      if (q && StartsWith(q, "TAG+")) {
        end -= kId3v1EnhancedBytes;
        result.tags.push_back({TagType::Id3v1Enhanced, end, kId3v1EnhancedBytes, false});
      }
    }
  }

  // Every footer is at least 10 bytes long and every tag at least its footer,
  // so `end` falls on each round and the loop ends.
  for (;;) {
    std::optional<Found> found = Lyrics3v2Before(t, end);
    if (!found) found = ApeBefore(t, end);
    if (!found) found = Id3v24Before(t, end);
    if (!found) break;
    bool damaged = !found->sizeValid || found->size > end;
    if (!damaged && found->begin) {
      const size_t markerBytes = std::strlen(found->begin);
      const uint8_t* start = t.At(end - found->size, markerBytes);
      damaged = start && !StartsWith(start, found->begin);
    }
    if (damaged) {
      end -= found->footerBytes;
      result.tags.push_back({found->type, end, found->size, true});
      break;
    }
    end -= found->size;
    result.tags.push_back({found->type, end, found->size, false});
  }

  std::reverse(result.tags.begin(), result.tags.end());
  result.audioEnd = end;
  return result;
}

std::optional<size_t> FindFrameChain(std::span<const uint8_t> bytes, size_t begin, size_t end) {
  // FrameState holds a frame's samples too, tens of kilobytes that only the
  // header fields of are used here: one on the heap per thread serves every
  // candidate of every search, instead of a zeroed one per search (a gate
  // searching damaged input runs many short searches).
  static thread_local std::unique_ptr<FrameState> scratch;
  if (!scratch) scratch = std::make_unique<FrameState>();
  FrameState* const frame = scratch.get();
  InputCursor cursor;
  ResetCursor(cursor);
  end = std::min(end, bytes.size());
  for (size_t p = begin; p < end; ++p) {
    const std::optional<ChainLink> first = LinkAt(bytes, p, *frame, cursor);
    if (!first) continue;
    const size_t second = p + first->length;
    const std::optional<ChainLink> middle = LinkAt(bytes, second, *frame, cursor);
    if (!middle || !(*middle == *first)) continue;
    const std::optional<ChainLink> last = LinkAt(bytes, second + middle->length, *frame, cursor);
    if (last && *last == *first) return p;
  }
  return std::nullopt;
}

}  // namespace quorvel
