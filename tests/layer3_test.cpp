// The Layer III decoder on frames built by hand: damage in the side
// information and missing reservoir bytes are reported with their status,
// main data reaching back into earlier frames decodes as if it were the
// frame's own, the CRC covers the side information, and a concealed frame
// after a frame too loud for the filterbank's range moves that frame's tail on.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "bit_writer.h"
#include "layers/layer3.h"
#include "layers/layer_decoders.h"
#include "quorvel/decoder.hpp"

namespace quorvel::test {
namespace {

// One granule's side information (single channel, MPEG-1).
struct Granule {
  uint32_t part23Length = 0;
  uint32_t bigValues = 0;
  uint32_t globalGain = 210;
  uint32_t windowSwitching = 0;
  uint32_t blockType = 0;
  uint32_t tableSelect[3] = {1, 1, 1};
};

struct Layer3Frame {
  uint32_t mainDataBegin = 0;
  Granule granule[2];
  std::vector<uint8_t> mainData;  // at most 123 bytes (144 - 4 - 17)
  bool protect = false;
  bool crcOk = true;
};

// 32 kHz, single channel, 32 kbit/s: 144 bytes; a CRC word takes two of the
// main data's bytes.
std::vector<uint8_t> Build(const Layer3Frame& f) {
  HeaderFields h;
  h.layerCode = 1;
  h.bitrateIndex = 1;
  h.rateIndex = 2;
  h.mode = 3;
  h.protectionBit = f.protect ? 0 : 1;
  BitWriter header;
  PutHeader(header, h);
  BitWriter side;
  side.Put(f.mainDataBegin, 9).Put(0, 5).Put(0, 4);
  for (const Granule& g : f.granule) {
    side.Put(g.part23Length, 12).Put(g.bigValues, 9).Put(g.globalGain, 8).Put(0, 4).Put(g.windowSwitching, 1);
    if (g.windowSwitching) {
      side.Put(g.blockType, 2).Put(0, 1).Put(g.tableSelect[0], 5).Put(g.tableSelect[1], 5).Put(0, 9);
    } else {
      side.Put(g.tableSelect[0], 5).Put(g.tableSelect[1], 5).Put(g.tableSelect[2], 5).Put(0, 4).Put(0, 3);
    }
    side.Put(0, 3);  // preflag, scalefac_scale, count1table_select
  }
  EXPECT_EQ(side.Bytes().size(), 17u);
  BitWriter w = header;
  if (f.protect) {
    const uint16_t crc = FrameCrc(header.Bytes(), side.Bytes(), 17 * 8);
    w.Put(f.crcOk ? crc : crc ^ 1u, 16);
  }
  for (uint8_t b : side.Bytes()) w.Put(b, 8);
  for (uint8_t b : f.mainData) w.Put(b, 8);
  EXPECT_LE(w.Bytes().size(), 144u);
  return w.PadTo(144).Bytes();
}

struct Result {
  std::vector<int32_t> status;  // 0 or the failure's status, per frame
  std::vector<std::vector<Q28>> samples;
};

Result Decode(const std::vector<std::vector<uint8_t>>& frames) {
  std::vector<uint8_t> stream;
  for (const auto& f : frames) stream.insert(stream.end(), f.begin(), f.end());
  stream.resize(stream.size() + 8, 0);
  auto state = std::make_unique<Layer3State>();
  ResetLayer3(*state);
  auto frame = std::make_unique<FrameState>();
  InputCursor cursor;
  ResetCursor(cursor);
  SetBuffer(cursor, stream.data(), static_cast<uint32_t>(stream.size()));
  Result r;
  for (size_t i = 0; i < frames.size(); ++i) {
    const int failed = DecodeFrameFull(*frame, cursor, *state);
    r.status.push_back(failed ? cursor.status : 0);
    r.samples.emplace_back(frame->samples[0].begin(), frame->samples[0].end());
    if (failed) cursor.synchronised = 0;
  }
  return r;
}

// Main data of one granule: big_values 1 in table 1, the pair (1, 0) with a
// plus sign: code 01, sign 0. 3 bits.
constexpr uint8_t kOneLineByte = 0x40;  // 010.....

Granule OneLine() {
  Granule g;
  g.part23Length = 3;
  g.bigValues = 1;
  return g;
}

TEST(Layer3, DamagedSideInformationIsReported) {
  struct Case {
    const char* name;
    Granule g;
    int32_t status;
  };
  Granule table4 = OneLine(), table14 = OneLine(), tooMany = OneLine(), type0 = OneLine(), tooLong = OneLine();
  table4.tableSelect[0] = 4;
  table14.tableSelect[0] = 14;
  tooMany.bigValues = 289;
  type0.windowSwitching = 1;
  type0.blockType = 0;
  tooLong.part23Length = 123 * 8 + 1;
  Granule unusedTable4;  // table 4 named for a region without lines: nothing is read from it
  unusedTable4.tableSelect[2] = 4;
  const Case cases[] = {
      {"a line of table 1", OneLine(), 0},
      {"table_select 4", table4, StatusBadSideInfo},
      {"table_select 14", table14, StatusBadSideInfo},
      {"big_values 289", tooMany, StatusBadSideInfo},
      {"window switching with block type 0", type0, StatusBadSideInfo},
      {"part2_3_length beyond the main data", tooLong, StatusBadSideInfo},
      {"table 4 for an empty region", unusedTable4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layer3Frame f;
    f.granule[0] = c.g;
    f.mainData = {kOneLineByte};
    const Result r = Decode({Build(f)});
    EXPECT_EQ(r.status[0], c.status);
  }
}

TEST(Layer3, ReservoirBytesMustHaveBeenSeen) {
  Layer3Frame first, reaching;
  reaching.mainDataBegin = 10;
  // The first frame of a stream cannot reach back; after a frame of 123
  // bytes of main data, 10 bytes back are there.
  EXPECT_EQ(Decode({Build(reaching)}).status, (std::vector<int32_t>{StatusMissingReservoir}));
  EXPECT_EQ(Decode({Build(first), Build(reaching)}).status, (std::vector<int32_t>{0, 0}));
  reaching.mainDataBegin = 124;
  EXPECT_EQ(Decode({Build(first), Build(reaching)}).status, (std::vector<int32_t>{0, StatusMissingReservoir}));
  // A frame of another layer in between empties the reservoir.
  HeaderFields layer1;
  layer1.layerCode = 3;
  layer1.bitrateIndex = 1;
  layer1.rateIndex = 2;
  layer1.mode = 3;
  BitWriter l1;
  PutHeader(l1, layer1);
  reaching.mainDataBegin = 10;
  EXPECT_EQ(Decode({Build(first), l1.PadTo(48).Bytes(), Build(reaching)}).status,
            (std::vector<int32_t>{0, 0, StatusMissingReservoir}));
}

TEST(Layer3, MainDataFromEarlierFramesDecodesAlike) {
  // The same granule: in the frame's own main data, or in the last byte of
  // the frame before.
  Layer3Frame own, carrier, reaching;
  own.granule[0] = OneLine();
  own.mainData = {kOneLineByte};
  carrier.mainData.assign(123, 0);
  carrier.mainData[122] = kOneLineByte;
  reaching.mainDataBegin = 1;
  reaching.granule[0] = OneLine();
  const Result a = Decode({Build(Layer3Frame{}), Build(own)});
  const Result b = Decode({Build(carrier), Build(reaching)});
  ASSERT_EQ(a.status, (std::vector<int32_t>{0, 0}));
  ASSERT_EQ(b.status, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(a.samples[1], b.samples[1]);
  EXPECT_TRUE(std::any_of(a.samples[1].begin(), a.samples[1].end(), [](Q28 v) { return v != 0; }));
}

TEST(Layer3, CrcCoversTheSideInformation) {
  Layer3Frame f;
  f.protect = true;
  f.granule[0] = OneLine();
  f.mainData = {kOneLineByte};
  EXPECT_EQ(Decode({Build(f)}).status[0], 0);
  f.crcOk = false;
  EXPECT_EQ(Decode({Build(f)}).status[0], StatusCrcError);
}

// Samples beyond what the filterbank takes run through a second synthesis;
// its tail must pass during a concealed frame as the first one's does, and
// not play later over what follows.
TEST(Layer3, ConcealedFrameAfterALoudOneLeavesSilenceSilent) {
  Layer3Frame loud, silent, damaged;
  loud.granule[0] = OneLine();
  loud.granule[0].globalGain = 226;  // the line at 2^4: subband samples beyond 2
  loud.mainData = {kOneLineByte};
  damaged.granule[0] = OneLine();
  damaged.granule[0].tableSelect[0] = 4;
  damaged.mainData = {kOneLineByte};
  // The loud frame's second granule is silent, so nothing of it overlaps
  // into the next frame: after it only the synthesis tails remain.
  const Result direct = Decode({Build(loud)});
  ASSERT_EQ(direct.status[0], 0);
  const auto [low, high] = std::minmax_element(direct.samples[0].begin(), direct.samples[0].end());
  EXPECT_GT(std::max(*high, -*low), 2 * (Q28{1} << 28));

  std::vector<uint8_t> stream;
  for (const auto& f : {Build(loud), Build(damaged), Build(silent), Build(silent)}) {
    stream.insert(stream.end(), f.begin(), f.end());
  }
  Decoder decoder;
  decoder.Feed(stream);
  decoder.Finish();
  Frame frame;
  std::vector<SkipReason> reasons;
  std::vector<int16_t> after;  // the PCM of the frames after the concealed one
  for (Decoder::Next next; (next = decoder.Pull(frame)) != Decoder::Next::End;) {
    reasons.push_back(frame.skipped);
    if (reasons.size() > 2) after.insert(after.end(), frame.pcm.begin(), frame.pcm.end());
  }
  ASSERT_EQ(reasons, (std::vector<SkipReason>{SkipReason::None, SkipReason::BadSideInfo, SkipReason::None,
                                               SkipReason::None}));
  ASSERT_EQ(after.size(), 2u * 1152);
  EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](int16_t v) { return v == 0; }));
}

// A single-channel MPEG-2.5 frame at 8 kHz, 8 kbit/s (72 bytes: 9 of side
// information, 59 of main data), one granule coded with table 1 in every
// region and no scalefactor bits: a long block of `pairs` pairs (1, 1), or
// a mixed short block of `zeroPairs` pairs (0, 0) and one (1, 0). Silent
// with no pairs.
std::vector<uint8_t> Build8kHz(bool mixed, uint32_t pairs, uint32_t zeroPairs = 0) {
  HeaderFields h;
  h.mpeg25Bit = 0;
  h.idBit = 0;
  h.layerCode = 1;
  h.bitrateIndex = 1;
  h.rateIndex = 2;
  h.mode = 3;
  BitWriter main;
  if (mixed) {
    for (uint32_t i = 0; i < zeroPairs; ++i) main.Put(1, 1);  // (0, 0): 1
    main.Put(0b01, 2).Put(0, 1);                              // (1, 0): 01, plus
  } else {
    for (uint32_t i = 0; i < pairs; ++i) main.Put(0b000, 3).Put(0, 2);  // (1, 1): 000, two plus signs
  }
  const uint32_t bits = mixed ? zeroPairs + 3 : 5 * pairs;
  const uint32_t bigValues = mixed ? zeroPairs + 1 : pairs;
  BitWriter w;
  PutHeader(w, h);
  w.Put(0, 8).Put(0, 1);  // main_data_begin, private bit
  w.Put(bigValues ? bits : 0, 12).Put(bigValues, 9).Put(170, 8).Put(0, 9);
  if (mixed) {
    w.Put(1, 1).Put(2, 2).Put(1, 1).Put(1, 5).Put(1, 5).Put(0, 9);  // short, mixed; tables; subblock gains
  } else {
    w.Put(0, 1).Put(1, 5).Put(1, 5).Put(1, 5).Put(0, 4).Put(0, 3);  // tables; region counts
  }
  w.Put(0, 2);  // scalefac_scale, count1table_select
  EXPECT_EQ(w.Bytes().size(), 13u);
  for (uint8_t b : main.PadTo(main.Bytes().size()).Bytes()) w.Put(b, 8);
  EXPECT_LE(w.Bytes().size(), 72u);
  return w.PadTo(72).Bytes();
}

// At 8 kHz the short part of a mixed block begins at line 36 while its
// first band's scalefactor band lies further up; its bands must still follow
// each other from there, every line of them written. The granule after it
// is silent, so its subband samples are the mixed granule's second half
// alone, and must not depend on what the granule before it held.
TEST(Layer3, MixedBlocksAt8kHzDependOnTheirOwnLinesOnly) {
  const auto mixed = Build8kHz(true, 0, 50);  // its line at 100
  const auto silent = Build8kHz(false, 0);
  std::vector<std::vector<Q28>> tails;
  for (const auto& before : {silent, Build8kHz(false, 43)}) {  // lines 0..85 all 1, or none
    const Result r = Decode({before, mixed, silent});
    ASSERT_EQ(r.status, (std::vector<int32_t>{0, 0, 0}));
    tails.push_back(r.samples[2]);
  }
  EXPECT_TRUE(std::any_of(tails[0].begin(), tails[0].end(), [](Q28 v) { return v != 0; }));
  EXPECT_EQ(tails[0], tails[1]);
}

}  // namespace
}  // namespace quorvel::test
