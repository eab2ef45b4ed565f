// The tags that files wrap around an MPEG audio stream, recognised by their
// declared sizes so that the decoder can step over them instead of scanning
// their payload for sync patterns (pictures and private frames are full of
// FF Fx pairs).
//
// Everything here is a pure function over bytes the caller already holds; no
// byte outside the given span is ever read. Offsets and sizes are 64-bit file
// positions, so that a caller can pass a window of a large file together with
// the window's offset.
//
// Tags at the start are found one at a time (TagAt, then TagAt again at the
// end of the one found); tags at the end are found together from the end
// backwards (FindTrailingTags), in the order in which they can stack:
//
//   audio | ID3v2.4 with footer | APEv1/APEv2 | Lyrics3v2 | TAG+ | TAG
//
// A tag whose declared size runs past the known data is still reported, with
// damaged = true: its size cannot be trusted, and FindFrameChain finds where
// the audio really resumes inside the range it claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvel {

enum class TagType : uint8_t {
  Id3v22,         // ID3v2.2 header at the start
  Id3v23,         // ID3v2.3 header at the start
  Id3v24,         // ID3v2.4, by its header at the start or its footer at the end
  Id3v1,          // the 128-byte "TAG" block, always last in the file
  Id3v1Enhanced,  // the 227-byte "TAG+" block directly before a TAG block
  ApeV1,          // APETAGEX footer of version 1000, never with a header
  ApeV2,          // APETAGEX footer (or header at the start) of version 2000
  Lyrics3v2,      // LYRICSBEGIN ... six digits LYRICS200
};

// The name used in reports and JSON: "id3v2.2", "id3v2.3", "id3v2.4", "id3v1",
// "id3v1-enhanced", "apev1", "apev2", "lyrics3v2".
const char* TagTypeName(TagType type);

struct TagInfo {
  TagType type = TagType::Id3v1;
  // File offset of the tag's first byte. For a damaged trailing tag, whose
  // start cannot be known, it is the offset of the footer that was read.
  uint64_t offset = 0;
  // Bytes the tag occupies by its own declaration, headers and footers
  // included.
  uint64_t size = 0;
  // The declared size runs past the known data (past the end of the file for
  // a tag at the start, before its start for one at the end), or the marker
  // that must open the declared range is not there.
  bool damaged = false;
};

// Passed as TagAt's `bytesToEnd` when the file's length is not known.
constexpr uint64_t kUnknownLength = UINT64_MAX;

// Bytes that let TagAt recognise every kind it knows: an ID3v2 header needs
// 10, an APEv2 header 32. A caller reading ahead gives at least this many.
constexpr size_t kTagHeaderBytes = 32;

// Recognises a tag that starts at bytes[0], which is at file offset `offset`:
// an ID3v2.2/2.3/2.4 header (10 bytes needed), or an APEv2 header (32 bytes
// needed). `bytesToEnd` is the number of bytes from bytes[0] to the end of the
// file, or kUnknownLength; a tag longer than that is damaged. With fewer bytes
// than the header or an invalid header, there is no tag here. Several tags in
// a row are found by calling again at offset + size.
std::optional<TagInfo> TagAt(std::span<const uint8_t> bytes, uint64_t offset, uint64_t bytesToEnd = kUnknownLength);

struct TrailingTags {
  std::vector<TagInfo> tags;  // in file order, lowest offset first
  uint64_t audioEnd = 0;      // file offset where the audio ends: the lowest tag offset, else the file's length
};

// Finds the tags at the end of a file of tailOffset + tail.size() bytes, given
// its last tail.size() bytes. Tags are followed from the end backwards while
// their footers lie inside the tail; a tag's opening marker is checked when
// the tail holds it. A damaged tag stops the search, since what lies below it
// cannot be located from its end.
TrailingTags FindTrailingTags(std::span<const uint8_t> tail, uint64_t tailOffset);

// Offset (into `bytes`) of the first position in [begin, end) at which three
// MPEG audio frame headers chain: the same version, layer and sample rate,
// each at its predecessor's frame length, all four header bytes of each inside
// `bytes` (the frames may reach past `end`). A single header is never taken:
// payload bytes easily look like one. nullopt when there is none.
std::optional<size_t> FindFrameChain(std::span<const uint8_t> bytes, size_t begin, size_t end);

}  // namespace quorvel
