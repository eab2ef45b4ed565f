// Test-only builders of what files wrap around a stream: tags of every kind
// (with payloads full of sync-like bytes, as album art is) and RIFF/WAVE and
// RF64 files, and a decode of a whole input through the C++ API.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "quorvel/decoder.hpp"

namespace quorvel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes Cat(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

inline Bytes Le16(uint32_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
inline Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
inline Bytes Le64(uint64_t v) { return Cat({Le32(static_cast<uint32_t>(v)), Le32(static_cast<uint32_t>(v >> 32))}); }
inline Bytes Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}
inline Bytes Synchsafe(uint32_t v) {
  return {static_cast<uint8_t>(v >> 21 & 0x7F), static_cast<uint8_t>(v >> 14 & 0x7F),
          static_cast<uint8_t>(v >> 7 & 0x7F), static_cast<uint8_t>(v & 0x7F)};
}

// Bytes that a frame search takes for headers: MPEG-1 Layer III and Layer II
// sync words with valid fields, and the start of a JPEG picture.
inline Bytes SyncLike(size_t repeats) {
  static const Bytes kPattern = {0xFF, 0xFB, 0x90, 0x64, 0x00, 0xFF, 0xFD, 0x90, 0x64, 0xFF, 0xD8, 0xFF, 0xE0, 0x00,
                                 0x10, 'J',  'F',  'I',  'F',  0x00, 0xFF, 0xFD, 0xA0, 0x04, 0xFF, 0xFC, 0x84, 0x00};
  Bytes out;
  for (size_t i = 0; i < repeats; ++i) out.insert(out.end(), kPattern.begin(), kPattern.end());
  return out;
}

// An ID3v2.3 PRIV frame (a plain 32-bit size in 2.3) holding `data`.
inline Bytes PrivFrame(const Bytes& data) {
  const Bytes body = Cat({Text("owner"), {0}, data});
  return Cat({Text("PRIV"), Be32(static_cast<uint32_t>(body.size())), {0, 0}, body});
}

// An ID3v2 tag (major 2, 3 or 4) around `body`; `footer` adds the 2.4 footer.
// `claim` replaces the declared size (a damaged tag).
inline Bytes Id3v2(uint8_t major, const Bytes& body, bool footer = false, int64_t claim = -1) {
  const uint32_t size = claim >= 0 ? static_cast<uint32_t>(claim) : static_cast<uint32_t>(body.size());
  const uint8_t flags = footer ? 0x10 : 0;
  Bytes tag = Cat({Text("ID3"), {major, 0, flags}, Synchsafe(size), body});
  if (footer) tag = Cat({tag, Text("3DI"), {major, 0, flags}, Synchsafe(size)});
  return tag;
}

inline Bytes Id3v1(const std::string& title = "Title") {
  Bytes tag = Cat({Text("TAG"), Text(title)});
  tag.resize(128, 0);
  tag[127] = 12;
  return tag;
}

inline Bytes Id3v1Enhanced() {
  Bytes tag = Text("TAG+");
  tag.resize(227, ' ');
  return tag;
}

inline Bytes ApeBlock(uint32_t version, uint32_t tagSize, uint32_t flags) {
  return Cat({Text("APETAGEX"), Le32(version), Le32(tagSize), Le32(1), Le32(flags), Bytes(8, 0)});
}

// An APE tag with one item holding `value`; version 2000 may have a header.
inline Bytes Ape(uint32_t version, bool header, const Bytes& value) {
  const Bytes item = Cat({Le32(static_cast<uint32_t>(value.size())), Le32(0), Text("Cover Art (front)"), {0}, value});
  const uint32_t tagSize = static_cast<uint32_t>(item.size() + 32);
  const uint32_t flags = header ? 0x80000000u : 0;
  Bytes tag = Cat({item, ApeBlock(version, tagSize, flags)});
  if (header) tag = Cat({ApeBlock(version, tagSize, flags | 0x20000000u), tag});
  return tag;
}

inline Bytes Lyrics3v2(const std::string& fields) {
  const Bytes counted = Cat({Text("LYRICSBEGIN"), Text(fields)});
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06d", static_cast<int>(counted.size()));
  return Cat({counted, Text(digits), Text("LYRICS200")});
}

struct Chunk {
  std::string id;
  Bytes payload;
  int64_t claim = -1;  // the declared size when >= 0
};

inline Chunk FmtChunk(uint16_t tag) {
  Bytes f = Cat({Le16(tag), Le16(2), Le32(44100), Le32(tag == 1 ? 176400 : 24000), Le16(tag == 1 ? 4 : 1),
                 Le16(tag == 1 ? 16 : 0)});
  if (tag != 1) f.resize(40, 0);
  return {"fmt ", f};
}

inline Chunk BextChunk(const std::string& description, const std::string& originator, const std::string& date) {
  Bytes f(602, 0);
  for (size_t i = 0; i < description.size() && i < 256; ++i) f[i] = static_cast<uint8_t>(description[i]);
  for (size_t i = 0; i < originator.size() && i < 32; ++i) f[256 + i] = static_cast<uint8_t>(originator[i]);
  for (size_t i = 0; i < date.size() && i < 10; ++i) f[320 + i] = static_cast<uint8_t>(date[i]);
  return {"bext", f};
}

// A LIST chunk with an odd payload (17 bytes, so a pad byte follows) whose
// text a frame search would like: FF FD.
inline Chunk ListChunk() {
  return {"LIST", Cat({Text("INFOISFT"), Le32(5), {0xFF, 0xFD, 0x90, 0x64, 0}})};
}

// A RIFF/WAVE file of `chunks` (each padded to an even size), or an RF64
// file when `rf64`, whose ds64 chunk gives the data chunk's size.
inline Bytes Wave(const std::vector<Chunk>& chunks, bool rf64 = false) {
  Bytes b = Cat({Text(rf64 ? "RF64" : "RIFF"), Le32(0), Text("WAVE")});
  if (rf64) {
    uint64_t dataSize = 0;
    for (const Chunk& c : chunks) {
      if (c.id == "data") dataSize = c.payload.size();
    }
    b = Cat({b, Text("ds64"), Le32(28), Le64(0), Le64(dataSize), Le64(0), Le32(0)});
  }
  for (const Chunk& c : chunks) {
    uint32_t size = c.claim >= 0 ? static_cast<uint32_t>(c.claim) : static_cast<uint32_t>(c.payload.size());
    if (rf64 && c.id == "data") size = 0xFFFFFFFF;
    b = Cat({b, Text(c.id), Le32(size), c.payload});
    if (c.payload.size() % 2) b.push_back(0);
  }
  const Bytes riffSize = Le32(rf64 ? 0xFFFFFFFF : static_cast<uint32_t>(b.size() - 8));
  std::copy(riffSize.begin(), riffSize.end(), b.begin() + 4);
  return b;
}

// A whole input through the C++ API.
struct Decoded {
  Bytes pcm;
  uint64_t frames = 0;
  std::vector<uint64_t> positions;  // of the decoded frames
  SkipCounts skipped;
  Container container;
};

// `known`: the Decoder is told the input's size and its last `tailBytes`
// first. `chunk`: the size of each Feed.
inline Decoded DecodeInput(const Bytes& input, Accuracy accuracy, bool known, size_t chunk = 4096,
                           size_t tailBytes = 65536) {
  Decoder decoder(Decoder::Options{.accuracy = accuracy});
  if (known) {
    const size_t tail = std::min<size_t>(input.size(), tailBytes);
    decoder.SetInputSize(input.size(), std::span<const uint8_t>(input.data() + input.size() - tail, tail));
  }
  Decoded d;
  quorvel::Frame frame;
  auto drain = [&] {
    for (;;) {
      const Decoder::Next next = decoder.Pull(frame);
      if (next == Decoder::Next::NeedInput || next == Decoder::Next::End) return;
      if (!frame.decoded()) continue;
      ++d.frames;
      d.positions.push_back(frame.position);
      d.pcm.insert(d.pcm.end(), frame.bytes.begin(), frame.bytes.end());
    }
  };
  for (size_t at = 0; at < input.size(); at += chunk) {
    decoder.Feed(input.data() + at, std::min(chunk, input.size() - at));
    drain();
  }
  decoder.Finish();
  drain();
  d.skipped = decoder.stats().skipped;
  d.container = decoder.container();
  return d;
}

}  // namespace quorvel::test
