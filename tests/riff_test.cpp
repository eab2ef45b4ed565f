// RIFF/WAVE and RF64 layouts: the format and the audio range of files built
// here chunk by chunk, the recorders' unfinished sizes, heads that end early,
// and garbage sizes that must neither wrap nor let a trailing chunk into the
// audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "container/riff.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
  for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(Bytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutId(Bytes& b, const std::string& id) {
  for (char c : id) b.push_back(static_cast<uint8_t>(c));
}
void PutText(Bytes& b, const std::string& s, size_t width) {
  for (size_t i = 0; i < width; ++i) b.push_back(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
}

// A chunk: its payload, and a size field that may lie about it.
struct Part {
  std::string id;
  Bytes payload;
  std::optional<uint32_t> size = std::nullopt;
  bool pad = true;  // write the pad byte after an odd payload
};

struct Built {
  Bytes bytes;
  uint64_t dataPayload = 0;  // where the first data chunk's payload starts
  uint64_t afterData = 0;    // where the chunk after it starts (0: none, or data's size lies)
};

Built Wave(const std::vector<Part>& parts, const char* magic = "RIFF") {
  Built out;
  Bytes& b = out.bytes;
  PutId(b, magic);
  Put32(b, 0);
  PutId(b, "WAVE");
  bool inData = false;
  for (const Part& p : parts) {
    if (inData) {
      if (!parts[&p - &parts[0] - 1].size) out.afterData = b.size();
      inData = false;
    }
    PutId(b, p.id);
    Put32(b, p.size.value_or(static_cast<uint32_t>(p.payload.size())));
    if (p.id == "data" && out.dataPayload == 0) {
      out.dataPayload = b.size();
      inData = true;
    }
    b.insert(b.end(), p.payload.begin(), p.payload.end());
    if (p.payload.size() % 2 == 1 && p.pad) b.push_back(0);
  }
  const uint32_t riffSize = std::string(magic) == "RF64" ? 0xFFFFFFFF : static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
  return out;
}

// An MPEG1WAVEFORMAT-sized fmt payload (40 bytes) or a PCM one (16 bytes).
Part Fmt(uint16_t tag) {
  Bytes f;
  Put16(f, tag);
  Put16(f, 2);
  Put32(f, 44100);
  Put32(f, tag == kWaveFormatPcm ? 176400 : 24000);
  Put16(f, tag == kWaveFormatPcm ? 4 : 1);
  Put16(f, tag == kWaveFormatPcm ? 16 : 0);
  if (tag != kWaveFormatPcm) f.resize(40, 0);
  return {"fmt ", f};
}

// WAVE_FORMAT_EXTENSIBLE whose subformat GUID starts with `subTag`; `base`
// false spoils the rest of the GUID. length cuts the payload.
Part Extensible(uint16_t subTag, bool base = true, size_t length = 40) {
  Bytes f;
  Put16(f, kWaveFormatExtensible);
  Put16(f, 2);
  Put32(f, 48000);
  Put32(f, 24000);
  Put16(f, 1);
  Put16(f, 0);
  Put16(f, 22);   // cbSize
  Put16(f, 0);    // valid bits
  Put32(f, 3);    // channel mask
  Put16(f, subTag);
  f.insert(f.end(), {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
  if (!base) f.back() = 0x72;
  f.resize(length);
  return {"fmt ", f};
}

Part Bext(const std::string& description, const std::string& originator, const std::string& reference,
          const std::string& date, const std::string& time) {
  Bytes f;
  PutText(f, description, 256);
  PutText(f, originator, 32);
  PutText(f, reference, 32);
  PutText(f, date, 10);
  PutText(f, time, 8);
  f.resize(602, 0);  // time reference, version, UMID, loudness, reserved
  return {"bext", f};
}

Part Ds64(uint64_t riffSize, uint64_t dataSize, uint64_t samples) {
  Bytes f;
  Put64(f, riffSize);
  Put64(f, dataSize);
  Put64(f, samples);
  Put32(f, 0);  // table length
  return {"ds64", f};
}

// Audio-like bytes: frame headers everywhere, so that a range that reaches
// into them is as wrong as one that reaches into a trailing chunk.
Bytes Audio(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = (i % 4 == 0) ? 0xFF : (i % 4 == 1) ? 0xFD : static_cast<uint8_t>(i);
  return b;
}

// A trailing chunk stuffed with sync patterns: if it leaked into the audio the
// scanner would find frames in it.
Part Trailing(const std::string& id, size_t n) { return {id, Audio(n)}; }

Part Data(size_t n, std::optional<uint32_t> size = std::nullopt) { return {"data", Audio(n), size}; }

Part List() {
  Bytes f = {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T'};
  Put32(f, 5);
  f.insert(f.end(), {'Q', 'v', 'l', '1', 0});
  return {"LIST", f};  // 17 bytes: odd, padded
}

constexpr uint64_t kPipe = 0;  // file size not known
constexpr uint64_t kWhole = 1; // the built file's size

struct Case {
  const char* name;
  Built file;
  uint64_t fileSize;  // kPipe, kWhole, or a size to claim
  WaveStatus status;
  uint16_t formatTag = 0;
  uint64_t dataSize = 0;
  DataExtent extent = DataExtent::Declared;
  const char* chunks = "";  // ids walked, '|'-separated
  uint64_t needBytes = 0;
};

std::string Ids(const WaveLayout& l) {
  std::string s;
  for (const WaveChunk& c : l.chunks) {
    if (!s.empty()) s.push_back('|');
    s.append(c.id.data(), c.id.size());
  }
  return s;
}

// The first n bytes of a file, as a host reading a pipe has them.
Built Head(Built file, size_t n) {
  file.bytes.resize(n);
  return file;
}

uint64_t SizeOf(const Case& c) { return c.fileSize == kWhole ? c.file.bytes.size() : c.fileSize; }

TEST(Riff, Layouts) {
  const Case cases[] = {
      {"Layer II", Wave({Fmt(kWaveFormatMpeg), Data(100)}), kWhole, WaveStatus::Ok, 0x50, 100,
       DataExtent::Declared, "fmt |data"},
      {"chunks before and after data", Wave({{"JUNK", Bytes(28)}, Bext("d", "o", "r", "2024-01-02", "03:04:05"),
                                             Fmt(kWaveFormatMpeg), {"fact", {1, 2, 3, 4}}, List(), Data(101),
                                             List(), Trailing("JUNK", 64)}),
       kWhole, WaveStatus::Ok, 0x50, 101, DataExtent::Declared, "JUNK|bext|fmt |fact|LIST|data|LIST|JUNK"},
      {"data size 0 while recording", Wave({Fmt(0x50), Data(500, 0)}), kWhole, WaveStatus::Ok, 0x50, 500,
       DataExtent::ZeroToEnd, "fmt |data"},
      {"data size 0 then a chunk: empty", Wave({Fmt(0x50), Data(0), List()}), kWhole, WaveStatus::Ok, 0x50, 0,
       DataExtent::Declared, "fmt |data|LIST"},
      {"data size 0 at the end of the file", Wave({Fmt(0x50), Data(0)}), kWhole, WaveStatus::Ok, 0x50, 0,
       DataExtent::ZeroToEnd, "fmt |data"},
      {"data size 0, pipe ends at the payload", Wave({Fmt(0x50), Data(0)}), kPipe, WaveStatus::NeedMore, 0x50, 0,
       DataExtent::Declared, "fmt |data", 12 + 48 + 8 + 8},
      {"data size unset", Wave({Fmt(0x50), Data(300, 0xFFFFFFFF)}), kWhole, WaveStatus::Ok, 0x50, 300,
       DataExtent::UnsetToEnd, "fmt |data"},
      {"data size unset, pipe", Wave({Fmt(0x50), Data(300, 0xFFFFFFFF)}), kPipe, WaveStatus::Ok, 0x50,
       kUnknownSize, DataExtent::UnsetToEnd, "fmt |data"},
      {"data past the end", Wave({Fmt(0x50), Data(300, 10000)}), kWhole, WaveStatus::Ok, 0x50, 300,
       DataExtent::PastEndToEnd, "fmt |data"},
      {"data past the end of a claimed size", Wave({Fmt(0x50), Data(300, 10000)}), 400, WaveStatus::Ok, 0x50,
       400 - 68, DataExtent::PastEndToEnd, "fmt |data"},
      {"data size beyond 2^32 sums, pipe", Wave({Fmt(0x50), Data(30, 0xFFFFFFFE), Trailing("JUNK", 8)}), kPipe,
       WaveStatus::Ok, 0x50, 0xFFFFFFFE, DataExtent::Declared, "fmt |data"},
      {"RF64", Wave({Ds64(1000, 200, 100), Fmt(0x50), Data(200, 0xFFFFFFFF), List()}, "RF64"), kWhole,
       WaveStatus::Ok, 0x50, 200, DataExtent::Ds64, "ds64|fmt |data|LIST"},
      {"RF64 32-bit data size kept", Wave({Ds64(1000, 0, 0), Fmt(0x50), Data(50)}, "RF64"), kWhole,
       WaveStatus::Ok, 0x50, 50, DataExtent::Declared, "ds64|fmt |data"},
      {"RF64 ds64 data size 0", Wave({Ds64(1000, 0, 0), Fmt(0x50), Data(50, 0xFFFFFFFF)}, "RF64"), kWhole,
       WaveStatus::Ok, 0x50, 50, DataExtent::UnsetToEnd, "ds64|fmt |data"},
      {"RF64 ds64 data size past the end", Wave({Ds64(0, uint64_t{1} << 63, 0), Fmt(0x50), Data(50, 0xFFFFFFFF)},
                                               "RF64"),
       kWhole, WaveStatus::Ok, 0x50, 50, DataExtent::PastEndToEnd, "ds64|fmt |data"},
      {"RF64 ds64 data size 2^64-1, pipe", Wave({Ds64(0, UINT64_MAX, 0), Fmt(0x50), Data(50, 0xFFFFFFFF)},
                                               "RF64"),
       kPipe, WaveStatus::Ok, 0x50, kUnknownSize, DataExtent::PastEndToEnd, "ds64|fmt |data"},
      {"RF64 ds64 odd data size near 2^64, pipe", Wave({Ds64(0, UINT64_MAX - 130, 0), Fmt(0x50),
                                                        Data(50, 0xFFFFFFFF), List()}, "RF64"),
       kPipe, WaveStatus::Ok, 0x50, UINT64_MAX - 130, DataExtent::Ds64, "ds64|fmt |data"},
      {"RF64 without ds64", Wave({Fmt(0x50), Data(50)}, "RF64"), kWhole, WaveStatus::NoDs64, 0, 0,
       DataExtent::Declared, "fmt "},
      {"extensible MPEG", Wave({Extensible(0x50), Data(10)}), kWhole, WaveStatus::Ok, 0x50, 10,
       DataExtent::Declared, "fmt |data"},
      {"extensible Layer III", Wave({Extensible(0x55), Data(10)}), kWhole, WaveStatus::Ok, 0x55, 10,
       DataExtent::Declared, "fmt |data"},
      {"extensible PCM", Wave({Extensible(1), Data(10)}), kWhole, WaveStatus::Ok, 1, 10, DataExtent::Declared,
       "fmt |data"},
      {"extensible foreign GUID", Wave({Extensible(0x50, false), Data(10)}), kWhole, WaveStatus::Ok, 0xFFFE, 10,
       DataExtent::Declared, "fmt |data"},
      {"extensible too short", Wave({Extensible(0x50, true, 24), Data(10)}), kWhole, WaveStatus::BadFmt, 0xFFFE,
       0, DataExtent::Declared, "fmt "},
      {"fmt too short", Wave({{"fmt ", Bytes(12)}, Data(10)}), kWhole, WaveStatus::BadFmt, 0, 0,
       DataExtent::Declared, "fmt "},
      {"Layer III", Wave({Fmt(kWaveFormatMpegLayer3), Data(10)}), kWhole, WaveStatus::Ok, 0x55, 10,
       DataExtent::Declared, "fmt |data"},
      {"PCM", Wave({Fmt(kWaveFormatPcm), Data(16)}), kWhole, WaveStatus::Ok, 1, 16, DataExtent::Declared,
       "fmt |data"},
      {"no fmt", Wave({List(), Data(10)}), kWhole, WaveStatus::NoFmt, 0, 10, DataExtent::Declared, "LIST|data"},
      {"fmt after data", Wave({Data(10), Fmt(0x50)}), kWhole, WaveStatus::NoFmt, 0, 10, DataExtent::Declared,
       "data|fmt "},
      {"no data", Wave({Fmt(0x50), List(), {"JUNK", Bytes(9), std::nullopt, false}}), kWhole, WaveStatus::NoData,
       0x50, 0, DataExtent::Declared, "fmt |LIST|JUNK"},
      {"chunk runs past the end", Wave({Fmt(0x50), {"LIST", Bytes(20), 1000}}), kWhole, WaveStatus::Truncated,
       0x50, 0, DataExtent::Declared, "fmt |LIST"},
      {"file ends in a chunk header", Wave({Fmt(0x50), {"LI", {}}}), kWhole, WaveStatus::Truncated, 0x50, 0,
       DataExtent::Declared, "fmt "},
      {"fmt runs past the end", Wave({{"fmt ", Bytes(10), 40}}), kWhole, WaveStatus::Truncated, 0, 0,
       DataExtent::Declared, "fmt "},
      {"huge chunk size, pipe", Wave({Fmt(0x50), {"JUNK", Bytes(8), 0xFFFFFFF0}, Data(10)}), kPipe,
       WaveStatus::DataTooFar, 0x50, 0, DataExtent::Declared, "fmt |JUNK"},
      {"huge chunk size, file", Wave({Fmt(0x50), {"JUNK", Bytes(8), 0xFFFFFFF0}, Data(10)}), kWhole,
       WaveStatus::Truncated, 0x50, 0, DataExtent::Declared, "fmt |JUNK"},
      // 12 + 8 + 0xFFFFFFF4 is 8 in 32 bits: a wrapping walk would read "WAVE" and loop.
      {"chunk size wrapping 32-bit sums", Wave({{"JUNK", Bytes(8), 0xFFFFFFF4}, Fmt(0x50), Data(10)}),
       uint64_t{1} << 40, WaveStatus::DataTooFar, 0, 0, DataExtent::Declared, "JUNK"},
      {"data beyond 1 MiB", Wave({Fmt(0x50), {"JUNK", Bytes(1 << 20)}, Data(10)}), kWhole, WaveStatus::DataTooFar,
       0x50, 0, DataExtent::Declared, "fmt |JUNK"},
      {"not RIFF: MPEG", {Audio(64)}, kWhole, WaveStatus::NotWave},
      {"not RIFF: ID3", {{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 0, 0}}, kWhole, WaveStatus::NotWave},
      {"not RIFF: AVI", {{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '}}, kWhole, WaveStatus::NotWave},
      {"head of 3 bytes", {{'R', 'I', 'F'}}, kPipe, WaveStatus::NeedMore, 0, 0, DataExtent::Declared, "", 12},
      {"empty head", {}, kPipe, WaveStatus::NeedMore, 0, 0, DataExtent::Declared, "", 12},
      {"file of 8 bytes", {{'R', 'I', 'F', 'F', 0, 0, 0, 0}}, kWhole, WaveStatus::Truncated},
      {"file of 2 bytes", {{'R', 'I'}}, kWhole, WaveStatus::NotWave},
      {"head ends in fmt, pipe", Head(Wave({Fmt(0x50), Data(10)}), 30), kPipe, WaveStatus::NeedMore, 0, 0,
       DataExtent::Declared, "fmt ", 12 + 8 + 40},
      {"head ends in fmt, file", Head(Wave({Fmt(0x50), Data(10)}), 30), 78, WaveStatus::NeedMore, 0, 0,
       DataExtent::Declared, "fmt ", 12 + 8 + 40},
      {"head ends before the data header", Head(Wave({Fmt(0x50), List(), Data(10)}), 90), kPipe,
       WaveStatus::NeedMore, 0x50, 0, DataExtent::Declared, "fmt |LIST", 12 + 48 + 26 + 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WaveLayout l = ReadWaveLayout(c.file.bytes, SizeOf(c));
    EXPECT_EQ(l.status, c.status) << WaveStatusText(l.status);
    EXPECT_EQ(l.formatTag, c.formatTag);
    EXPECT_EQ(Ids(l), std::string(c.chunks, std::char_traits<char>::length(c.chunks)));
    EXPECT_EQ(l.needBytes, c.needBytes);
    if (c.status != WaveStatus::Ok && c.status != WaveStatus::NoFmt) continue;
    EXPECT_EQ(l.dataOffset, c.file.dataPayload);
    EXPECT_EQ(l.dataSize, c.dataSize);
    EXPECT_EQ(static_cast<int>(l.dataExtent), static_cast<int>(c.extent));
    // The audio never reaches the chunk after data.
    if (c.file.afterData != 0 && l.dataSize != kUnknownSize) {
      EXPECT_LE(l.dataOffset + l.dataSize, c.file.afterData);
    }
    for (const WaveChunk& chunk : l.chunks) {
      if (chunk.offset > l.dataOffset && l.dataSize != kUnknownSize) {
        EXPECT_LE(l.dataOffset + l.dataSize, chunk.offset);
      }
    }
  }
}

struct BextCase {
  const char* name;
  Part bext;
  bool afterData;
  BroadcastText expected;
};

TEST(Riff, BroadcastText) {
  Bytes messy(256, 0);
  const std::string text = "  Take 3\x01\tline\xC3\xA9 ";
  std::copy(text.begin(), text.end(), messy.begin());
  messy[text.size() + 1] = 'X';  // after the NUL: not part of the text
  messy.resize(602, 0);
  Part shortBext = Bext("Interview", "Field recorder", "REF-77", "2024-05-06", "07:08:09");
  shortBext.payload.resize(292);  // ends inside the originator reference
  const BextCase cases[] = {
      {"before data", Bext("Interview", "Field recorder", "REF-77", "2024-05-06", "07:08:09"), false,
       {true, "Interview", "Field recorder", "REF-77", "2024-05-06", "07:08:09"}},
      {"after data", Bext("Late", "Rec", "R", "2023-12-31", "23:59:59"), true,
       {true, "Late", "Rec", "R", "2023-12-31", "23:59:59"}},
      {"fields filling their width", Bext(std::string(256, 'd'), std::string(32, 'o'), std::string(32, 'r'),
                                          "2024-05-06", "07:08:09"),
       false, {true, std::string(256, 'd'), std::string(32, 'o'), std::string(32, 'r'), "2024-05-06", "07:08:09"}},
      {"control and non-ASCII bytes, text after NUL", {"bext", messy}, false, {true, "Take 3line", "", "", "", ""}},
      {"short chunk", shortBext, false, {true, "Interview", "Field recorder", "REF-", "", ""}},
  };
  for (const BextCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Built file = c.afterData ? Wave({Fmt(0x50), Data(20), c.bext}) : Wave({c.bext, Fmt(0x50), Data(20)});
    const WaveLayout l = ReadWaveLayout(file.bytes, file.bytes.size());
    ASSERT_EQ(l.status, WaveStatus::Ok);
    EXPECT_EQ(l.bext.present, c.expected.present);
    EXPECT_EQ(l.bext.description, c.expected.description);
    EXPECT_EQ(l.bext.originator, c.expected.originator);
    EXPECT_EQ(l.bext.originatorReference, c.expected.originatorReference);
    EXPECT_EQ(l.bext.originationDate, c.expected.originationDate);
    EXPECT_EQ(l.bext.originationTime, c.expected.originationTime);
  }
  const Built none = Wave({Fmt(0x50), Data(20)});
  EXPECT_FALSE(ReadWaveLayout(none.bytes, none.bytes.size()).bext.present);
}

// A host reading a pipe: gives what it has, reads up to needBytes, asks again;
// at the end of the input it calls with the size. Every file must come out
// as it does when read whole, whatever the first read's length.
TEST(Riff, PipeHostConverges) {
  const Built files[] = {
      Wave({{"JUNK", Bytes(28)}, Bext("d", "o", "r", "2024-01-02", "03:04:05"), Fmt(0x50), List(), Data(101),
            List()}),
      Wave({Ds64(1000, 200, 100), Fmt(0x50), Data(200, 0xFFFFFFFF), List()}, "RF64"),
      Wave({Fmt(0x50), Data(0), List()}),
      Wave({Fmt(0x50), Data(64, 0)}),
      Wave({Fmt(0x50), List()}),
      Wave({Fmt(0x50), {"JUNK", Bytes(8), 0xFFFFFFF0}, Data(10)}),
  };
  for (const Built& file : files) {
    const WaveLayout whole = ReadWaveLayout(file.bytes, file.bytes.size());
    for (size_t first : {size_t{0}, size_t{5}, size_t{12}, size_t{40}, size_t{100}}) {
      SCOPED_TRACE(testing::Message() << "file of " << file.bytes.size() << " bytes, first read " << first);
      size_t have = std::min(first, file.bytes.size());
      WaveLayout l;
      for (int calls = 0; calls < 100; ++calls) {
        const bool atEnd = have == file.bytes.size();
        l = ReadWaveLayout(std::span(file.bytes).first(have), atEnd ? file.bytes.size() : kUnknownSize);
        if (l.status != WaveStatus::NeedMore) break;
        ASSERT_GT(l.needBytes, have) << "asks for bytes it has";
        ASSERT_LE(l.needBytes, kWaveHeadLimit);
        have = std::min<size_t>(l.needBytes, file.bytes.size());
      }
      // A pipe never learns that a chunk size runs past its end before 1 MiB.
      if (whole.status == WaveStatus::Truncated && l.status == WaveStatus::DataTooFar) continue;
      EXPECT_EQ(l.status, whole.status);
      EXPECT_EQ(l.formatTag, whole.formatTag);
      EXPECT_EQ(l.dataOffset, whole.dataOffset);
      if (whole.dataExtent == DataExtent::Declared || whole.dataExtent == DataExtent::Ds64) {
        EXPECT_EQ(l.dataSize, whole.dataSize);
      }
      EXPECT_EQ(l.bext.description, whole.bext.description);
    }
  }
}

TEST(Riff, MessagesForTheHost) {
  const Built pcm = Wave({Fmt(kWaveFormatPcm), Data(16)});
  const WaveLayout l = ReadWaveLayout(pcm.bytes, pcm.bytes.size());
  ASSERT_TRUE(IsPcmFormat(l.formatTag));
  EXPECT_EQ(AlreadyPcmMessage(l), "already PCM audio (RIFF/WAVE, format 1), nothing to decode");
  const Built rf64 = Wave({Ds64(0, 16, 4), Extensible(kWaveFormatPcm), Data(16, 0xFFFFFFFF)}, "RF64");
  EXPECT_EQ(AlreadyPcmMessage(ReadWaveLayout(rf64.bytes, 0)),
            "already PCM audio (RF64/WAVE, format 1), nothing to decode");
  EXPECT_FALSE(IsMpegFormat(kWaveFormatPcm));
  EXPECT_TRUE(IsMpegFormat(kWaveFormatMpeg));
  EXPECT_TRUE(IsMpegFormat(kWaveFormatMpegLayer3));
  const std::pair<WaveStatus, std::string> reasons[] = {
      {WaveStatus::NotWave, "not RIFF"},    {WaveStatus::Truncated, "truncated"},
      {WaveStatus::NoFmt, "no fmt chunk"},  {WaveStatus::NoData, "no data chunk"},
  };
  for (const auto& [status, text] : reasons) EXPECT_EQ(WaveStatusText(status), text);
}

}  // namespace
}  // namespace quorvel
