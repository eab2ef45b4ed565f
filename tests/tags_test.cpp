// Tags around a stream: each kind recognised by its declared size whatever
// its payload holds (sync-like FF Fx pairs, JPEG markers), invalid headers
// rejected, tags stacked at the start and at the end, damaged sizes reported,
// and the three-header chain that finds the audio inside a damaged tag.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bit_writer.h"
#include "container/tags.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;
using test::HeaderFields;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes Synchsafe(uint32_t v) {
  return {static_cast<uint8_t>(v >> 21 & 0x7F), static_cast<uint8_t>(v >> 14 & 0x7F), static_cast<uint8_t>(v >> 7 & 0x7F),
          static_cast<uint8_t>(v & 0x7F)};
}

// Bytes that decoders mistake for frame headers: MPEG-1 Layer III and Layer II
// sync words with valid fields, and the start of a JPEG picture (FF D8 FF E0).
const Bytes kSyncLike = {0xFF, 0xFB, 0x90, 0x64, 0x00, 0xFF, 0xFD, 0x90, 0x64, 0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10,
                         'J',  'F',  'I',  'F',  0x00, 0xFF, 0xFB, 0x92, 0x44, 0xFF, 0xFD, 0xA0, 0x04};

// An ID3v2.3 PRIV frame (its size is a plain 32-bit number in 2.3) whose data
// is full of sync-like bytes.
Bytes PrivFrame23(size_t repeats) {
  Bytes data = Text("owner");
  data.push_back(0);
  for (size_t i = 0; i < repeats; ++i) data.insert(data.end(), kSyncLike.begin(), kSyncLike.end());
  const uint32_t n = static_cast<uint32_t>(data.size());
  return Cat({Text("PRIV"), {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n)},
              {0, 0}, data});
}

Bytes Id3v2Header(const char* marker, uint8_t major, uint8_t flags, uint32_t size, uint8_t revision = 0) {
  return Cat({Text(marker), {major, revision, flags}, Synchsafe(size)});
}

// A whole ID3v2 tag around `body`, with a footer when major is 4 and the
// footer flag is set.
Bytes Id3v2Tag(uint8_t major, uint8_t flags, const Bytes& body) {
  const uint32_t size = static_cast<uint32_t>(body.size());
  Bytes tag = Cat({Id3v2Header("ID3", major, flags, size), body});
  if (major == 4 && (flags & 0x10)) tag = Cat({tag, Id3v2Header("3DI", major, flags, size)});
  return tag;
}

Bytes ApeBlock(uint32_t version, uint32_t tagSize, uint32_t items, uint32_t flags) {
  return Cat({Text("APETAGEX"), Le32(version), Le32(tagSize), Le32(items), Le32(flags), Bytes(8, 0)});
}

// An APE tag with one item of `value` (sync-like bytes are fine in a value).
Bytes ApeTag(uint32_t version, bool withHeader, const Bytes& value) {
  const Bytes item = Cat({Le32(static_cast<uint32_t>(value.size())), Le32(0), Text("Cover"), {0}, value});
  const uint32_t tagSize = static_cast<uint32_t>(item.size() + 32);
  const uint32_t flags = withHeader ? 0x80000000u : 0;
  Bytes tag = Cat({item, ApeBlock(version, tagSize, 1, flags)});
  if (withHeader) tag = Cat({ApeBlock(version, tagSize, 1, flags | 0x20000000u), tag});
  return tag;
}

// A Lyrics3v2 tag whose six digits count from LYRICSBEGIN up to themselves.
Bytes Lyrics3v2Tag(const std::string& fields, int sizeAdjust = 0) {
  const Bytes counted = Cat({Text("LYRICSBEGIN"), Text(fields)});
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06d", static_cast<int>(counted.size()) + sizeAdjust);
  return Cat({counted, Text(digits), Text("LYRICS200")});
}

Bytes Id3v1Tag(const std::string& title = "Title") {
  Bytes tag = Cat({Text("TAG"), Text(title)});
  tag.resize(128, 0);
  tag[127] = 12;  // genre
  return tag;
}

Bytes Id3v1EnhancedTag() {
  Bytes tag = Text("TAG+");
  tag.resize(227, ' ');
  return tag;
}

// `count` MPEG frames of the given header, each padded with zeros to its length.
Bytes Frames(int count, const HeaderFields& h = {}, uint32_t length = 417) {
  Bytes out;
  for (int i = 0; i < count; ++i) {
    test::BitWriter w;
    test::PutHeader(w, h);
    w.PadTo(length);
    out = Cat({out, w.Bytes()});
  }
  return out;
}

struct LeadingCase {
  const char* name;
  Bytes bytes;
  uint64_t bytesToEnd;  // kUnknownLength, or the file's length
  bool found;
  TagType type;
  uint64_t size;
  bool damaged;
};

TEST(Tags, LeadingTagsBySize) {
  const Bytes priv = PrivFrame23(4);
  const Bytes body40(40, 0xFF);  // payload of sync bytes only
  const LeadingCase cases[] = {
      {"2.3 with sync-like PRIV", Cat({Id3v2Tag(3, 0, priv), Frames(1)}), kUnknownLength, true, TagType::Id3v23,
       10 + priv.size(), false},
      {"2.2", Cat({Id3v2Tag(2, 0, body40), Frames(1)}), kUnknownLength, true, TagType::Id3v22, 50, false},
      {"2.4 without footer", Id3v2Tag(4, 0, body40), kUnknownLength, true, TagType::Id3v24, 50, false},
      {"2.4 with footer", Id3v2Tag(4, 0x10, body40), 60, true, TagType::Id3v24, 60, false},
      // 0x10 is not a footer flag before 2.4.
      {"2.3 with flag 0x10", Id3v2Tag(3, 0x10, body40), kUnknownLength, true, TagType::Id3v23, 50, false},
      // Unsynchronisation is inside the stored size: it is skipped as it stands.
      {"2.3 unsynchronised", Id3v2Tag(3, 0x80, Bytes{0xFF, 0x00, 0xFB, 0xFF, 0x00, 0xE0}), kUnknownLength, true,
       TagType::Id3v23, 16, false},
      // Synchsafe: 00 00 02 01 is 257, not 513.
      {"synchsafe 257", Cat({Text("ID3"), {3, 0, 0, 0, 0, 2, 1}, Bytes(257, 0)}), 267, true, TagType::Id3v23, 267,
       false},
      {"synchsafe, all four bytes", Cat({Text("ID3"), {4, 0, 0, 1, 2, 3, 4}}), kUnknownLength, true, TagType::Id3v24,
       10 + (1u << 21 | 2u << 14 | 3u << 7 | 4u), false},
      {"size past the end", Cat({Id3v2Header("ID3", 3, 0, 5000), priv}), 10 + priv.size(), true, TagType::Id3v23, 5010,
       true},
      {"footer past the end", Id3v2Tag(4, 0x10, body40), 59, true, TagType::Id3v24, 60, true},
      {"APEv2 header first", Cat({ApeTag(2000, true, kSyncLike), Frames(1)}), kUnknownLength, true, TagType::ApeV2,
       ApeTag(2000, true, kSyncLike).size(), false},
      // Invalid headers: no tag.
      {"version 0xFF", Id3v2Header("ID3", 0xFF, 0, 10), kUnknownLength, false, {}, 0, false},
      {"version 1", Id3v2Header("ID3", 1, 0, 10), kUnknownLength, false, {}, 0, false},
      {"version 5", Id3v2Header("ID3", 5, 0, 10), kUnknownLength, false, {}, 0, false},
      {"revision 0xFF", Id3v2Header("ID3", 3, 0, 10, 0xFF), kUnknownLength, false, {}, 0, false},
      {"size byte high bit", Cat({Text("ID3"), {3, 0, 0, 0, 0, 0x80, 0}}), kUnknownLength, false, {}, 0, false},
      {"footer marker first", Id3v2Header("3DI", 4, 0x10, 10), kUnknownLength, false, {}, 0, false},
      {"nine bytes", Bytes{'I', 'D', '3', 3, 0, 0, 0, 0, 0}, kUnknownLength, false, {}, 0, false},
      {"APE footer first", ApeBlock(2000, 32, 0, 0x80000000u), kUnknownLength, false, {}, 0, false},
      {"APEv1 block first", ApeBlock(1000, 32, 0, 0xA0000000u), kUnknownLength, false, {}, 0, false},
      {"frame first", Frames(2), kUnknownLength, false, {}, 0, false},
  };
  for (const LeadingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<TagInfo> tag = TagAt(c.bytes, 0, c.bytesToEnd);
    ASSERT_EQ(tag.has_value(), c.found);
    if (!c.found) continue;
    EXPECT_EQ(tag->type, c.type);
    EXPECT_EQ(tag->offset, 0u);
    EXPECT_EQ(tag->size, c.size);
    EXPECT_EQ(tag->damaged, c.damaged);
  }
}

TEST(Tags, SeveralLeadingTagsInARow) {
  const Bytes first = Id3v2Tag(3, 0, PrivFrame23(3));
  const Bytes second = Id3v2Tag(4, 0x10, kSyncLike);
  const Bytes third = Id3v2Tag(2, 0, Bytes(7, 0xFF));
  const Bytes file = Cat({first, second, third, Frames(3)});
  const std::span<const uint8_t> all(file);
  // The caller holds the file from offset 100 on and walks from there.
  const Bytes prefix(100, 0);
  const Bytes shifted = Cat({prefix, file});
  const TagType types[] = {TagType::Id3v23, TagType::Id3v24, TagType::Id3v22};
  const size_t sizes[] = {first.size(), second.size(), third.size()};
  uint64_t at = 0;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::optional<TagInfo> tag = TagAt(all.subspan(at), 100 + at, file.size() - at);
    ASSERT_TRUE(tag.has_value());
    EXPECT_EQ(tag->type, types[i]);
    EXPECT_EQ(tag->offset, 100 + at);
    EXPECT_EQ(tag->size, sizes[i]);
    EXPECT_FALSE(tag->damaged);
    at += tag->size;
  }
  EXPECT_EQ(at, first.size() + second.size() + third.size());
  EXPECT_FALSE(TagAt(all.subspan(at), 100 + at, file.size() - at).has_value());  // the audio
}

struct ExpectedTag {
  TagType type;
  uint64_t offset, size;
  bool damaged;
};

struct TrailingCase {
  const char* name;
  Bytes file;
  std::vector<ExpectedTag> tags;  // in file order
  uint64_t audioEnd;
};

TEST(Tags, TrailingTagsStacked) {
  const Bytes audio = Frames(3);
  const uint64_t a = audio.size();
  const Bytes apeHeadered = ApeTag(2000, true, kSyncLike);
  const Bytes apeBare = ApeTag(2000, false, kSyncLike);
  const Bytes apeV1 = ApeTag(1000, false, Text("Artist"));
  const Bytes lyrics = Lyrics3v2Tag("IND00003110LYR00010\xFF\xFB\x90\x64 words");
  const Bytes id3Footer = Id3v2Tag(4, 0x10, kSyncLike);
  const Bytes tagPlus = Id3v1EnhancedTag();
  const Bytes tag = Id3v1Tag();

  const TrailingCase cases[] = {
      {"nothing", audio, {}, a},
      {"TAG", Cat({audio, tag}), {{TagType::Id3v1, a, 128, false}}, a},
      {"TAG with a title starting with +", Cat({audio, Id3v1Tag("+44")}), {{TagType::Id3v1, a, 128, false}}, a},
      {"TAG+ and TAG",
       Cat({audio, tagPlus, tag}),
       {{TagType::Id3v1Enhanced, a, 227, false}, {TagType::Id3v1, a + 227, 128, false}},
       a},
      {"APEv2 with header, Lyrics3v2, TAG+, TAG",
       Cat({audio, apeHeadered, lyrics, tagPlus, tag}),
       {{TagType::ApeV2, a, apeHeadered.size(), false},
        {TagType::Lyrics3v2, a + apeHeadered.size(), lyrics.size(), false},
        {TagType::Id3v1Enhanced, a + apeHeadered.size() + lyrics.size(), 227, false},
        {TagType::Id3v1, a + apeHeadered.size() + lyrics.size() + 227, 128, false}},
       a},
      {"APEv1 without header, TAG",
       Cat({audio, apeV1, tag}),
       {{TagType::ApeV1, a, apeV1.size(), false}, {TagType::Id3v1, a + apeV1.size(), 128, false}},
       a},
      // Version 1000 defines no flags: a set bit 31 does not add a header.
      {"APEv1 with bit 31 set",
       Cat({audio, Bytes(apeV1.begin(), apeV1.end() - 32), ApeBlock(1000, static_cast<uint32_t>(apeV1.size()), 1, 0x80000000u)}),
       {{TagType::ApeV1, a, apeV1.size(), false}},
       a},
      {"APEv2 without header", Cat({audio, apeBare}), {{TagType::ApeV2, a, apeBare.size(), false}}, a},
      {"ID3v2.4 by its footer, APEv2",
       Cat({audio, id3Footer, apeHeadered}),
       {{TagType::Id3v24, a, id3Footer.size(), false}, {TagType::ApeV2, a + id3Footer.size(), apeHeadered.size(), false}},
       a},
      {"Lyrics3v2 alone", Cat({audio, lyrics}), {{TagType::Lyrics3v2, a, lyrics.size(), false}}, a},
      // Damaged: the declared size reaches before the file, or the opening
      // marker is not where the size puts it. The footer is reported and the
      // search stops.
      {"APE size past the start",
       Cat({audio, Bytes(10, 0), ApeBlock(2000, 100000, 1, 0), tag}),
       {{TagType::ApeV2, a + 10, 100000, true}, {TagType::Id3v1, a + 42, 128, false}},
       a + 10},
      {"APE size below its footer", Cat({audio, ApeBlock(2000, 16, 0, 0)}), {{TagType::ApeV2, a, 16, true}}, a},
      {"APE header claimed, not there",
       Cat({audio, Bytes(apeHeadered.begin() + 32, apeHeadered.end())}),
       {{TagType::ApeV2, a + apeHeadered.size() - 64, apeHeadered.size(), true}},
       a + apeHeadered.size() - 64},
      {"Lyrics3v2 size one short",
       Cat({audio, Lyrics3v2Tag("IND0000210", -1)}),
       {{TagType::Lyrics3v2, a + Lyrics3v2Tag("IND0000210").size() - 15, Lyrics3v2Tag("IND0000210").size() - 1, true}},
       a + Lyrics3v2Tag("IND0000210").size() - 15},
      // Not footers: no tag, the audio runs to the end.
      {"APE version 3000", Cat({audio, ApeBlock(3000, 32, 0, 0)}), {}, a + 32},
      {"APE header last", Cat({audio, ApeBlock(2000, 32, 0, 0xA0000000u)}), {}, a + 32},
      {"Lyrics3v2 digits not digits", Cat({audio, Text("00x123LYRICS200")}), {}, a + 15},
      {"3DI of version 3", Cat({audio, Id3v2Header("3DI", 3, 0x10, 0)}), {}, a + 10},
      {"3DI without the footer flag", Cat({audio, Id3v2Header("3DI", 4, 0, 0)}), {}, a + 10},
  };
  for (const TrailingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TrailingTags found = FindTrailingTags(c.file, 0);
    ASSERT_EQ(found.tags.size(), c.tags.size());
    for (size_t i = 0; i < c.tags.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_STREQ(TagTypeName(found.tags[i].type), TagTypeName(c.tags[i].type));
      EXPECT_EQ(found.tags[i].offset, c.tags[i].offset);
      EXPECT_EQ(found.tags[i].size, c.tags[i].size);
      EXPECT_EQ(found.tags[i].damaged, c.tags[i].damaged);
    }
    EXPECT_EQ(found.audioEnd, c.audioEnd);
  }
}

TEST(Tags, TrailingMarkersCheckedWhereTheSizePutsThem) {
  const Bytes audio = Frames(3);
  // An APEv2 footer claiming a header, with an item where the header should be.
  Bytes ape = ApeTag(2000, true, kSyncLike);
  ape[0] = 'X';
  const TrailingTags apeFound = FindTrailingTags(Cat({audio, ape}), 0);
  ASSERT_EQ(apeFound.tags.size(), 1u);
  EXPECT_TRUE(apeFound.tags[0].damaged);
  EXPECT_EQ(apeFound.tags[0].offset, audio.size() + ape.size() - 32);
  // An ID3v2.4 footer whose header is not at 20 + size before the end.
  Bytes id3 = Id3v2Tag(4, 0x10, kSyncLike);
  id3[1] = 'X';
  const TrailingTags id3Found = FindTrailingTags(Cat({audio, id3}), 0);
  ASSERT_EQ(id3Found.tags.size(), 1u);
  EXPECT_TRUE(id3Found.tags[0].damaged);
  EXPECT_EQ(id3Found.audioEnd, audio.size() + id3.size() - 10);
}

TEST(Tags, TrailingTagsFromTheLastBytesOnly) {
  const Bytes audio = Frames(10);
  const Bytes ape = ApeTag(2000, true, kSyncLike);
  const Bytes lyrics = Lyrics3v2Tag("IND0000210");
  const Bytes file = Cat({audio, ape, lyrics, Id3v1Tag()});
  const std::span<const uint8_t> all(file);
  const size_t windows[] = {file.size(), 1000, ape.size() + lyrics.size() + 128, 128 + lyrics.size() + 31, 127};
  // How many tags each window lets be found: an APE footer cut by the window
  // stops the search, and the tag before a window's start is still reported.
  const size_t expectedCounts[] = {3, 3, 3, 2, 0};
  for (size_t i = 0; i < std::size(windows); ++i) {
    SCOPED_TRACE(windows[i]);
    const uint64_t tailOffset = file.size() - windows[i];
    const TrailingTags found = FindTrailingTags(all.subspan(tailOffset), tailOffset);
    ASSERT_EQ(found.tags.size(), expectedCounts[i]);
    if (found.tags.empty()) continue;
    EXPECT_EQ(found.tags.back().offset, file.size() - 128);
    EXPECT_EQ(found.audioEnd, found.tags.front().offset);
  }
  // A window that holds only the APE footer still gives the tag its start.
  const uint64_t tailOffset = audio.size() + ape.size() - 32;
  const TrailingTags found = FindTrailingTags(all.subspan(tailOffset), tailOffset);
  ASSERT_EQ(found.tags.size(), 3u);
  EXPECT_EQ(found.tags[0].offset, audio.size());
  EXPECT_FALSE(found.tags[0].damaged);
  EXPECT_EQ(found.audioEnd, audio.size());
}

TEST(Tags, Names) {
  const std::pair<TagType, const char*> names[] = {
      {TagType::Id3v22, "id3v2.2"}, {TagType::Id3v23, "id3v2.3"},          {TagType::Id3v24, "id3v2.4"},
      {TagType::Id3v1, "id3v1"},    {TagType::Id3v1Enhanced, "id3v1-enhanced"}, {TagType::ApeV1, "apev1"},
      {TagType::ApeV2, "apev2"},    {TagType::Lyrics3v2, "lyrics3v2"},
  };
  for (const auto& [type, name] : names) EXPECT_STREQ(TagTypeName(type), name);
}

struct ChainCase {
  const char* name;
  Bytes bytes;
  size_t begin, end;
  std::optional<size_t> start;
};

TEST(Tags, FrameChainNeedsThreeConsistentHeaders) {
  const HeaderFields layer1{.layerCode = 3, .bitrateIndex = 1};  // 32 bytes a frame
  const HeaderFields lsf{.idBit = 0};                            // 22050 Hz, 417 bytes
  const HeaderFields mpeg25{.mpeg25Bit = 0, .idBit = 0, .layerCode = 3, .bitrateIndex = 1, .rateIndex = 2};
  const Bytes lead(23, 0);
  const ChainCase cases[] = {
      {"three frames", Cat({lead, Frames(3)}), 0, SIZE_MAX, 23},
      {"Layer I", Cat({lead, Frames(3, layer1, 32)}), 0, SIZE_MAX, 23},
      {"LSF", Cat({lead, Frames(3, lsf)}), 0, SIZE_MAX, 23},
      {"MPEG-2.5 Layer I 8000 Hz", Cat({lead, Frames(3, mpeg25, 192)}), 0, SIZE_MAX, 23},
      {"third header's first 4 bytes only", Cat({lead, Frames(2), Bytes{0xFF, 0xFD, 0x80, 0x00}}), 0, SIZE_MAX, 23},
      {"two frames are not enough", Cat({lead, Frames(2), Bytes(417, 0)}), 0, SIZE_MAX, std::nullopt},
      {"third header cut to 3 bytes", Cat({lead, Frames(2), Bytes{0xFF, 0xFD, 0x80}}), 0, SIZE_MAX, std::nullopt},
      {"third at another rate", Cat({lead, Frames(2), Frames(1, {.rateIndex = 1}, 384)}), 0, SIZE_MAX, std::nullopt},
      {"second of another layer", Cat({lead, Frames(1), Frames(1, {.layerCode = 1}), Frames(1)}), 0, SIZE_MAX,
       std::nullopt},
      {"third of another version", Cat({lead, Frames(2), Frames(1, lsf)}), 0, SIZE_MAX, std::nullopt},
      {"bitrate index 15", Cat({lead, Frames(3, {.bitrateIndex = 15})}), 0, SIZE_MAX, std::nullopt},
      {"free format", Cat({lead, Frames(3, {.bitrateIndex = 0})}), 0, SIZE_MAX, std::nullopt},
      {"rate index 3", Cat({lead, Frames(3, {.rateIndex = 3})}), 0, SIZE_MAX, std::nullopt},
      {"reserved layer", Cat({lead, Frames(3, {.layerCode = 0})}), 0, SIZE_MAX, std::nullopt},
      {"MPEG-2.5 bit with the MPEG-1 ID", Cat({lead, Frames(3, {.mpeg25Bit = 0})}), 0, SIZE_MAX, std::nullopt},
      // Frames may run past `end`; only the first header must start before it.
      {"start at the last place allowed", Cat({lead, Frames(3)}), 0, 24, 23},
      {"start at end is outside", Cat({lead, Frames(3)}), 0, 23, std::nullopt},
      {"begin after the first frame", Cat({lead, Frames(4)}), 24, SIZE_MAX, 23 + 417},
  };
  for (const ChainCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindFrameChain(c.bytes, c.begin, c.end), c.start);
  }
}

// A damaged ID3v2.3 tag declares more than the file holds; the audio resumes
// inside its range. The PRIV frame holds valid-looking headers, one of them
// with a frame of sync bytes after it so that two headers chain, and none of
// them may be taken.
TEST(Tags, AudioInsideADamagedTag) {
  test::BitWriter w;
  test::PutHeader(w, {});
  Bytes falseChain = w.Bytes();  // a header at 0 and at 417, then no third
  falseChain.resize(417, 0x11);
  falseChain = Cat({falseChain, w.Bytes(), Bytes(500, 0x22)});
  const Bytes body = Cat({PrivFrame23(2), falseChain});
  const Bytes audio = Frames(5, {.bitrateIndex = 9}, 522);
  const Bytes file = Cat({Id3v2Header("ID3", 3, 0, 100000), body, audio});

  const std::optional<TagInfo> tag = TagAt(file, 0, file.size());
  ASSERT_TRUE(tag.has_value());
  EXPECT_TRUE(tag->damaged);
  EXPECT_EQ(tag->size, 100010u);
  const std::optional<size_t> start = FindFrameChain(file, 10, tag->size);
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(*start, 10 + body.size());
}

// Every cut of a file full of tags and frames, each copied into an
// allocation of exactly its size so that the address sanitizer sees any read
// past it; the results must stay within the bytes given.
TEST(Tags, EveryCutReadsOnlyItsBytes) {
  const Bytes file = Cat({Id3v2Tag(4, 0x10, kSyncLike), ApeTag(2000, true, kSyncLike), Frames(3),
                          Id3v2Tag(4, 0x10, kSyncLike), ApeTag(2000, true, kSyncLike),
                          Lyrics3v2Tag("IND0000210"), Id3v1EnhancedTag(), Id3v1Tag()});
  for (size_t cut = 0; cut <= file.size(); ++cut) {
    const Bytes head(file.begin(), file.begin() + cut);
    const Bytes tail(file.end() - cut, file.end());
    const uint64_t tailOffset = file.size() - cut;
    for (size_t at = 0; at <= head.size(); at += 7) {
      const Bytes rest(head.begin() + at, head.end());
      if (const std::optional<TagInfo> tag = TagAt(rest, at, file.size() - at)) {
        EXPECT_EQ(tag->offset, at);
      }
    }
    const TrailingTags found = FindTrailingTags(tail, tailOffset);
    EXPECT_LE(found.audioEnd, file.size());
    if (const std::optional<size_t> start = FindFrameChain(head, 0, head.size())) {
      EXPECT_LT(*start, head.size());
    }
  }
}

}  // namespace
}  // namespace quorvel
