// Streams wrapped in tags and WAVE files through the C++ API: every frame of
// the bare stream is decoded at its place in the input, in both tiers, with
// the input's size known or not and whatever the feeding chunks; the tags are
// reported with their offsets and sizes; damaged tags are warned about and
// the audio inside their range is found; inputs that hold nothing to decode
// are named.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_streams.h"
#include "wrappers.h"

namespace quorvel::test {
namespace {

// MPEG-1 Layer II, 192 kbit/s, 44100 Hz, joint stereo: the format the issue's
// hand-made file holds. Zero allocations: silence, 626 or 627 bytes a frame.
Bytes Stream(int frames) {
  Bytes out;
  for (int i = 0; i < frames; ++i) {
    const HeaderFields h{.bitrateIndex = 10, .extraSlot = static_cast<uint32_t>(i % 3 == 1), .mode = 1};
    out = Cat({out, Frame(h)});
  }
  return out;
}

// The same format with the bitrate, the padding slot and the private bit
// changing from frame to frame (the gate's frame lengths must follow).
Bytes MixedStream(int frames) {
  Bytes out;
  for (int i = 0; i < frames; ++i) {
    const uint32_t bitrates[] = {4, 6, 8, 10, 12, 14};
    const HeaderFields h{.bitrateIndex = bitrates[i % 6], .extraSlot = static_cast<uint32_t>(i % 4 == 1), .mode = 1};
    Bytes frame = Frame(h);
    if (i % 3 == 2) frame[2] |= 1;  // the private bit
    out = Cat({out, frame});
  }
  return out;
}

std::string TagList(const Container& c) {
  std::string s;
  for (const Tag& t : c.tags) {
    s += (s.empty() ? "" : ",") + t.type + "@" + std::to_string(t.offset) + "+" + std::to_string(t.size) +
         (t.damaged ? "!" : "");
  }
  return s;
}

struct Case {
  const char* name;
  Bytes input;
  std::vector<uint64_t> frames;  // input offsets of the frames that must decode
  std::string tags;
  size_t warnings = 0;
  std::string kind;
  bool clean = true;  // nothing but frames and tags: the decoder skips nothing
};

Case C(const char* name, Bytes input, std::vector<uint64_t> frames, std::string tags, size_t warnings = 0,
       std::string kind = "", bool clean = true) {
  return Case{name, std::move(input), std::move(frames), std::move(tags), warnings, std::move(kind), clean};
}

// The frame starts of `stream` placed at `offset` of an input.
std::vector<uint64_t> Starts(const Bytes& stream, uint64_t offset, std::vector<uint64_t> before = {}) {
  for (const size_t at : WalkFrames(stream)) before.push_back(offset + at);
  return before;
}

std::vector<Case> Cases() {
  const Bytes s = Stream(12);
  const Bytes s2 = Stream(7);
  // The issue's tag: ID3v2.3 whose PRIV frame holds FF FB / FF FD pairs; 657
  // bytes in all.
  const Bytes priv = PrivFrame(SyncLike(22));
  Bytes body = priv;
  body.resize(647, 0);  // padding after the frames
  const Bytes issueTag = Id3v2(3, body);
  const Bytes art = SyncLike(40);
  const Bytes v24 = Id3v2(4, PrivFrame(art), true);
  const Bytes v22 = Id3v2(2, art);
  const Bytes apeH = Ape(2000, true, art);
  const Bytes apeN = Ape(2000, false, art);
  const Bytes ape1 = Ape(1000, false, art);
  const Bytes lyrics = Lyrics3v2("IND00002" "11" "LYR00012" "\xFF\xFB\x90\x64 words");
  const Bytes v1 = Id3v1();
  const Bytes v1e = Id3v1Enhanced();
  const Bytes mid = Id3v2(3, PrivFrame(art));
  const Bytes mixed = MixedStream(25);
  const uint64_t n = s.size();
  auto at = [](uint64_t offset, uint64_t size, const char* type) {
    return std::string(type) + "@" + std::to_string(offset) + "+" + std::to_string(size);
  };
  std::vector<Case> cases = {
      C("bare", s, Starts(s, 0), ""),
      C("issue's id3v2.3 with sync-like PRIV", Cat({issueTag, s}), Starts(s, 657), at(0, 657, "id3v2.3")),
      C("id3v2.2", Cat({v22, s}), Starts(s, v22.size()), at(0, v22.size(), "id3v2.2")),
      C("id3v2.4 with footer, then id3v2.3", Cat({v24, issueTag, s}), Starts(s, v24.size() + 657),
       at(0, v24.size(), "id3v2.4") + "," + at(v24.size(), 657, "id3v2.3")),
      C("id3v1", Cat({s, v1}), Starts(s, 0), at(n, 128, "id3v1")),
      C("id3v1 enhanced", Cat({s, v1e, v1}), Starts(s, 0),
       at(n, 227, "id3v1-enhanced") + "," + at(n + 227, 128, "id3v1")),
      C("apev2 with header", Cat({s, apeH}), Starts(s, 0), at(n, apeH.size(), "apev2")),
      C("apev2 without header, id3v1", Cat({s, apeN, v1}), Starts(s, 0),
       at(n, apeN.size(), "apev2") + "," + at(n + apeN.size(), 128, "id3v1")),
      C("apev1, id3v1", Cat({s, ape1, v1}), Starts(s, 0),
       at(n, ape1.size(), "apev1") + "," + at(n + ape1.size(), 128, "id3v1")),
      C("lyrics3v2, id3v1", Cat({s, lyrics, v1}), Starts(s, 0),
       at(n, lyrics.size(), "lyrics3v2") + "," + at(n + lyrics.size(), 128, "id3v1")),
      C("id3v2.4 footer at the end", Cat({s, v24}), Starts(s, 0), at(n, v24.size(), "id3v2.4")),
      C("tag between two streams", Cat({s, mid, s2}), Starts(s2, n + mid.size(), Starts(s, 0)),
       at(n, mid.size(), "id3v2.3")),
      // Garbage breaks the chain first: the tag is found by the search that
      // follows, as a whole tag followed by a header.
      C("garbage, then a tag between two streams", Cat({s, Bytes(50, 0x55), mid, s2}),
        Starts(s2, n + 50 + mid.size(), Starts(s, 0)), at(n + 50, mid.size(), "id3v2.3"), 0, "", false),
      C("id3v1 between two streams", Cat({s, v1, s2}), Starts(s2, n + 128, Starts(s, 0)), at(n, 128, "id3v1")),
      C("bitrate, padding and private bit changing", mixed, Starts(mixed, 0), ""),
      C("... with a tag between two such streams", Cat({mixed, mid, mixed}),
        Starts(mixed, mixed.size() + mid.size(), Starts(mixed, 0)), at(mixed.size(), mid.size(), "id3v2.3")),
      // Declares more than the whole input: the audio is the chain inside it.
      C("damaged id3v2.3", Cat({Id3v2(3, PrivFrame(art), false, 100000), s}), Starts(s, 10 + PrivFrame(art).size()),
       at(0, 100010, "id3v2.3") + "!", 1),
  };
  // The hand-made WAVE files: chunks before and after data, an odd chunk
  // with its pad byte, the BWF text.
  const Chunk junk{"JUNK", Bytes(27, 0xFF)};  // odd and full of sync bits
  const Bytes bwf = Wave({junk, FmtChunk(0x50), BextChunk("Morning news", "Quorvel test", "2026-12-09"),
                          {"data", s}, ListChunk(), {"cart", SyncLike(10)}});
  const uint64_t bwfData = 12 + (8 + 28) + (8 + 40) + (8 + 602) + 8;
  cases.push_back(C("bwf: junk, fmt, bext, data, LIST, cart", bwf, Starts(s, bwfData), "", 0, "RIFF/WAVE"));
  const Bytes rf64 = Wave({FmtChunk(0x50), {"data", s}, ListChunk()}, true);
  cases.push_back(C("rf64", rf64, Starts(s, 12 + 36 + 48 + 8), "", 0, "RF64/WAVE"));
  // A recorder that never came back: data size 0 means to the end.
  const Bytes open = Wave({FmtChunk(0x50), {"data", s, 0}});
  cases.push_back(C("data size 0", open, Starts(s, 12 + 48 + 8), "", 0, "RIFF/WAVE"));
  const Bytes tagged = Wave({FmtChunk(0x50), {"data", Cat({issueTag, s})}, ListChunk()});
  cases.push_back(C("id3v2.3 inside the data chunk", tagged, Starts(s, 12 + 48 + 8 + 657), at(68, 657, "id3v2.3"), 0,
                   "RIFF/WAVE"));
  return cases;
}

TEST(Container, EveryFrameAtItsPlaceInEveryWrapper) {
  for (const Case& c : Cases()) {
    for (const Accuracy accuracy : {Accuracy::Full, Accuracy::Compatible}) {
      // The size unknown, known without the tail, known with the tail.
      for (const int known : {0, 1, 2}) {
        for (const size_t chunk : {size_t{1}, size_t{7}, size_t{4096}, c.input.size()}) {
          SCOPED_TRACE(std::string(c.name) + (accuracy == Accuracy::Full ? ", full" : ", compatible") +
                       (known == 0 ? ", size unknown" : known == 1 ? ", size known" : ", size and tail known") +
                       ", chunks of " + std::to_string(chunk));
          const Decoded d = DecodeInput(c.input, accuracy, known > 0, chunk, known == 2 ? 65536 : 0);
          EXPECT_EQ(d.positions, c.frames);
          if (c.clean) {
            EXPECT_EQ(d.skipped.Total(), 0u);
          }
          EXPECT_EQ(TagList(d.container), c.tags);
          EXPECT_EQ(d.container.warnings.size(), c.warnings);
          EXPECT_EQ(d.container.kind, c.kind);
          EXPECT_EQ(d.container.refusal, "");
        }
      }
    }
  }
}

// The decoder reads the fed bytes where they are during the call, and keeps
// what it still needs before the call returns: bytes overwritten after each
// Feed or IndexFeed change nothing, in the frames decoded or in the index.
// The chunk sizes put the call boundaries inside frames, tags and chunks.
std::string IndexOf(Decoder& decoder) {
  std::string s = std::to_string(decoder.IndexedSamples());
  for (uint64_t k = 0; k < 16 && decoder.IndexedSamples(); ++k) {
    const Location l = decoder.Locate(decoder.IndexedSamples() * k / 16);
    s += " " + std::to_string(l.offset) + ":" + std::to_string(l.discard);
  }
  return s;
}

TEST(Container, FedBytesAreNotReadAfterTheCall) {
  for (const Case& c : Cases()) {
    for (const size_t chunk : {size_t{7}, size_t{1000}, size_t{4096}, c.input.size()}) {
      SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
      Bytes lent(chunk);
      // Each chunk from the same buffer, overwritten with sync bytes once
      // the call has returned.
      auto feedAll = [&](auto&& feed) {
        for (size_t at = 0; at < c.input.size(); at += chunk) {
          const size_t n = std::min(chunk, c.input.size() - at);
          std::copy_n(c.input.begin() + static_cast<std::ptrdiff_t>(at), n, lent.begin());
          feed(std::span<const uint8_t>(lent.data(), n));
          std::fill(lent.begin(), lent.end(), uint8_t{0xFF});
        }
      };
      Decoder decoder;
      Decoded d;
      quorvel::Frame frame;
      auto drain = [&] {
        for (Decoder::Next next; (next = decoder.Pull(frame)) != Decoder::Next::NeedInput && next != Decoder::Next::End;) {
          if (!frame.decoded()) continue;
          d.positions.push_back(frame.position);
          d.pcm.insert(d.pcm.end(), frame.bytes.begin(), frame.bytes.end());
        }
      };
      feedAll([&](std::span<const uint8_t> bytes) {
        decoder.Feed(bytes);
        drain();
      });
      decoder.Finish();
      drain();
      const Decoded expected = DecodeInput(c.input, Accuracy::Full, false, chunk);
      EXPECT_EQ(d.positions, expected.positions);
      EXPECT_TRUE(d.pcm == expected.pcm);
      EXPECT_EQ(TagList(decoder.container()), c.tags);

      Decoder indexed, untouched;
      feedAll([&](std::span<const uint8_t> bytes) { indexed.IndexFeed(bytes); });
      indexed.IndexFinish();
      untouched.IndexFeed(std::span<const uint8_t>(c.input.data(), c.input.size()));
      untouched.IndexFinish();
      EXPECT_EQ(IndexOf(indexed), IndexOf(untouched));
    }
  }
}

TEST(Container, TheBroadcastTextIsReported) {
  const Bytes bwf =
      Wave({FmtChunk(0x50), BextChunk("Morning news", "Quorvel test", "2026-12-09"), {"data", Stream(3)}});
  const Decoded d = DecodeInput(bwf, Accuracy::Full, true);
  EXPECT_EQ(d.frames, 3u);
  EXPECT_TRUE(d.container.broadcast);
  EXPECT_EQ(d.container.formatTag, 0x50);
  EXPECT_EQ(d.container.description, "Morning news");
  EXPECT_EQ(d.container.originator, "Quorvel test");
  EXPECT_EQ(d.container.originationDate, "2026-12-09");
}

// A seek inside a WAVE file's data chunk: the decoder keeps the layout, so
// the chunks after the audio stay out of the frame search after a Restart,
// whether it saw the file's start (with its size known or not) or only the
// index scan did (the CLI indexes the whole file, then seeks), in which case
// it takes the scan's view of the layout and still reports the container.
TEST(Container, ASeekKeepsTheWaveLayout) {
  const Bytes s = Stream(6);
  const Bytes bwf = Wave({FmtChunk(0x50), {"data", s}, {"LIST", SyncLike(40)}});
  const uint64_t data = 12 + 48 + 8;
  const std::vector<size_t> starts = WalkFrames(s);
  const uint64_t seek = data + starts[3];
  enum class Before { Start, StartWithSize, Index };
  for (const Before before : {Before::Start, Before::StartWithSize, Before::Index}) {
    SCOPED_TRACE(static_cast<int>(before));
    Decoder decoder;
    if (before == Before::Index) {
      decoder.IndexFeed(std::span<const uint8_t>(bwf.data(), bwf.size()));
      decoder.IndexFinish();
    } else {
      if (before == Before::StartWithSize) decoder.SetInputSize(bwf.size(), bwf);
      decoder.Feed(bwf.data(), 200);
    }
    decoder.Restart(seek);
    decoder.Feed(bwf.data() + seek, bwf.size() - seek);
    decoder.Finish();
    std::vector<uint64_t> positions;
    quorvel::Frame frame;
    for (Decoder::Next next; (next = decoder.Pull(frame)) != Decoder::Next::End;) {
      ASSERT_NE(next, Decoder::Next::NeedInput);
      EXPECT_TRUE(frame.decoded()) << frame.position;
      positions.push_back(frame.position);
    }
    EXPECT_EQ(positions, (std::vector<uint64_t>{data + starts[3], data + starts[4], data + starts[5]}));
    EXPECT_EQ(decoder.container().kind, "RIFF/WAVE");
  }
}

struct Refused {
  const char* name;
  Bytes input;
  const char* refusal;
};

TEST(Container, InputsWithNothingToDecodeAreNamed) {
  const Refused cases[] = {
      {"pcm wave", Wave({FmtChunk(1), {"data", Stream(2)}}), "already PCM audio (RIFF/WAVE, format 1), nothing to decode"},
      {"other format", Wave({FmtChunk(0x11), {"data", Stream(2)}}), "not MPEG audio (RIFF/WAVE, format 0x0011)"},
      {"no data chunk", Wave({FmtChunk(0x50)}), "a RIFF/WAVE file with no MPEG audio (no data chunk)"},
  };
  for (const Refused& c : cases) {
    for (const bool known : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (known ? ", size known" : ", size unknown"));
      const Decoded d = DecodeInput(c.input, Accuracy::Full, known);
      EXPECT_EQ(d.frames, 0u);
      EXPECT_EQ(d.skipped.Total(), 0u);  // not one byte reached the frame search
      EXPECT_EQ(d.container.refusal, c.refusal);
    }
  }
}

// Tags that end the input early: a tag with no audio, and cuts of a tagged
// file at every length, which must neither crash nor invent frames.
TEST(Container, CutsOfATaggedFileDecodeOnlyWholeFrames) {
  const Bytes s = Stream(3);
  const Bytes input = Cat({Id3v2(3, PrivFrame(SyncLike(4))), s, Id3v1()});
  const uint64_t audio = input.size() - s.size() - 128;
  for (size_t cut = 0; cut <= input.size(); cut += 5) {
    const Bytes part(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(cut));
    for (const bool known : {false, true}) {
      SCOPED_TRACE("cut at " + std::to_string(cut) + (known ? ", size known" : ", size unknown"));
      const Decoded d = DecodeInput(part, Accuracy::Full, known, 64);
      for (const uint64_t p : d.positions) EXPECT_GE(p, audio);
      EXPECT_LE(d.frames, 3u);
    }
  }
}

}  // namespace
}  // namespace quorvel::test
