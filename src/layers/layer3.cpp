// Layer III decoding (see layer3.h for the formats).
#include "layers/layer3.h"

#include <algorithm>
#include <cstring>

#include "bitstream/crc16.h"
#include "layers/layer3_front.h"
#include "layers/layer3_hybrid.h"
#include "layers/layer3_tables.h"

namespace quorvel {
namespace {

struct GranuleInfo {
  uint32_t part23Length = 0;
  uint32_t bigValues = 0;
  int32_t globalGain = 0;
  uint32_t scalefacCompress = 0;
  uint32_t windowSwitching = 0;
  uint32_t blockType = 0;
  uint32_t mixed = 0;
  uint32_t tableSelect[3] = {};
  uint32_t subblockGain[3] = {};
  uint32_t region0Count = 0;
  uint32_t region1Count = 0;
  uint32_t preflag = 0;
  uint32_t scalefacScale = 0;
  uint32_t count1Table = 0;
};

struct SideInfo {
  uint32_t mainDataBegin = 0;
  uint32_t scfsi[2][4] = {};
  GranuleInfo granule[2][2];  // [granule][channel]
};

// Scalefactors of one channel, and (LSF) the largest value each band's
// scalefactor could take, which marks an intensity band as not coded.
struct Scalefactors {
  uint8_t l[22] = {};
  uint8_t s[13][3] = {};
  uint8_t maxL[22] = {};
  uint8_t maxS[13] = {};
};

bool IsShort(const GranuleInfo& g) { return g.windowSwitching && g.blockType == 2; }

// Reads the side information; false for values no encoder may write.
bool ReadSideInfo(BitReader& r, bool lsf, int channels, SideInfo& si) {
  bool legal = true;
  si.mainDataBegin = ReadBits(r, lsf ? 8 : 9);
  ReadBits(r, lsf ? channels : (channels == 1 ? 5 : 3));  // private bits
  if (!lsf) {
    for (int ch = 0; ch < channels; ++ch) {
      for (int band = 0; band < 4; ++band) si.scfsi[ch][band] = ReadBits(r, 1);
    }
  }
  const int granules = lsf ? 1 : 2;
  for (int gr = 0; gr < granules; ++gr) {
    for (int ch = 0; ch < channels; ++ch) {
      GranuleInfo& g = si.granule[gr][ch];
      g.part23Length = ReadBits(r, 12);
      g.bigValues = ReadBits(r, 9);
      if (g.bigValues > 288) legal = false;
      g.globalGain = static_cast<int32_t>(ReadBits(r, 8));
      g.scalefacCompress = ReadBits(r, lsf ? 9 : 4);
      g.windowSwitching = ReadBits(r, 1);
      if (g.windowSwitching) {
        g.blockType = ReadBits(r, 2);
        g.mixed = ReadBits(r, 1);
        if (g.blockType == 0) legal = false;
        for (int i = 0; i < 2; ++i) g.tableSelect[i] = ReadBits(r, 5);
        g.tableSelect[2] = 0;
        for (int i = 0; i < 3; ++i) g.subblockGain[i] = ReadBits(r, 3);
        g.region0Count = (g.blockType == 2 && !g.mixed) ? 8 : 7;
        g.region1Count = 20 - g.region0Count;
      } else {
        g.blockType = 0;
        g.mixed = 0;
        for (int i = 0; i < 3; ++i) g.tableSelect[i] = ReadBits(r, 5);
        g.region0Count = ReadBits(r, 4);
        g.region1Count = ReadBits(r, 3);
      }
      g.preflag = lsf ? 0 : ReadBits(r, 1);
      g.scalefacScale = ReadBits(r, 1);
      g.count1Table = ReadBits(r, 1);
    }
  }
  return legal;
}

// The main data as one run of bytes, read most significant bit first, with
// zeros behind its end for the lookahead of one Huffman code and its extras.
struct MainReader {
  const uint8_t* data;
  uint32_t pos;  // bits from data
};

inline uint32_t Peek(const MainReader& r, int n) {  // 1 <= n <= 32
  const uint64_t word = LoadBigEndian64(r.data + (r.pos >> 3)) << (r.pos & 7);
  return static_cast<uint32_t>(word >> (64 - n));
}

inline uint32_t Read(MainReader& r, int n) {
  if (n == 0) return 0;
  const uint32_t v = Peek(r, n);
  r.pos += static_cast<uint32_t>(n);
  return v;
}

// One code of a lookup table: the leaf entry, with the reader past it.
inline uint32_t DecodeCode(MainReader& r, const HuffmanTableInfo& table) {
  uint32_t e = kHuffmanLookup[table.start + Peek(r, table.width)];
  while (e & kLookupPointer) {
    r.pos += (e >> 24) & 15;
    e = kHuffmanLookup[(e & 0xFFFF) + Peek(r, static_cast<int>((e >> 16) & 15))];
  }
  return e;
}

int RateIndex(const FrameState& frame) {
  switch (frame.sampleRate) {
    case 44100: return 0;
    case 48000: return 1;
    case 32000: return 2;
    case 22050: return 3;
    case 24000: return 4;
    case 16000: return 5;
    case 11025: return 6;
    case 12000: return 7;
    default: return 8;
  }
}

void ReadScalefactorsMpeg1(MainReader& r, const GranuleInfo& g, const uint32_t* scfsi, int gr, Scalefactors& sf) {
  const int slen1 = kSlen[0][g.scalefacCompress];
  const int slen2 = kSlen[1][g.scalefacCompress];
  if (IsShort(g)) {
    int sfb = 0;
    if (g.mixed) {
      for (; sfb < 8; ++sfb) sf.l[sfb] = static_cast<uint8_t>(Read(r, slen1));
      sfb = 3;
    }
    for (; sfb < 12; ++sfb) {
      const int bits = sfb < 6 ? slen1 : slen2;
      for (int w = 0; w < 3; ++w) sf.s[sfb][w] = static_cast<uint8_t>(Read(r, bits));
    }
    for (int w = 0; w < 3; ++w) sf.s[12][w] = 0;
  } else {
    static constexpr int kGroup[5] = {0, 6, 11, 16, 21};
    for (int group = 0; group < 4; ++group) {
      if (gr == 1 && scfsi[group]) continue;  // the first granule's values stand
      const int bits = group < 2 ? slen1 : slen2;
      if (bits == 0) {
        std::fill(sf.l + kGroup[group], sf.l + kGroup[group + 1], uint8_t{0});
        continue;
      }
      // A group takes at most 6 x 4 bits: one window holds it.
      uint64_t w = LoadBigEndian64(r.data + (r.pos >> 3)) << (r.pos & 7);
      for (int sfb = kGroup[group]; sfb < kGroup[group + 1]; ++sfb, w <<= bits) {
        sf.l[sfb] = static_cast<uint8_t>(w >> (64 - bits));
      }
      r.pos += static_cast<uint32_t>(bits * (kGroup[group + 1] - kGroup[group]));
    }
    sf.l[21] = 0;
  }
  std::fill(std::begin(sf.maxL), std::end(sf.maxL), uint8_t{7});
  std::fill(std::begin(sf.maxS), std::end(sf.maxS), uint8_t{7});
}

void ReadScalefactorsLsf(MainReader& r, const GranuleInfo& g, bool intensityRight, Scalefactors& sf,
                         uint32_t& intensityScale, uint32_t& preflag) {
  uint32_t slen[4] = {};
  int row = 0;
  uint32_t c = g.scalefacCompress;
  preflag = 0;
  if (intensityRight) {
    intensityScale = c & 1;
    c >>= 1;
    if (c < 180) {
      slen[0] = c / 36, slen[1] = (c % 36) / 6, slen[2] = c % 6;
      row = 3;
    } else if (c < 244) {
      c -= 180;
      slen[0] = (c % 64) >> 4, slen[1] = (c % 16) >> 2, slen[2] = c % 4;
      row = 4;
    } else {
      c -= 244;
      slen[0] = c / 3, slen[1] = c % 3;
      row = 5;
    }
  } else if (c < 400) {
    slen[0] = (c >> 4) / 5, slen[1] = (c >> 4) % 5, slen[2] = (c % 16) >> 2, slen[3] = c % 4;
    row = 0;
  } else if (c < 500) {
    c -= 400;
    slen[0] = (c >> 2) / 5, slen[1] = (c >> 2) % 5, slen[2] = c % 4;
    row = 1;
  } else {
    c -= 500;
    slen[0] = c / 3, slen[1] = c % 3;
    row = 2;
    preflag = 1;
  }
  const int column = IsShort(g) ? (g.mixed ? 2 : 1) : 0;
  sf = Scalefactors{};
  int longBand = 0, shortIndex = 0;  // short values go by (band, window) from the first short band
  const int firstShort = (column == 2) ? 3 : 0;
  for (int part = 0; part < 4; ++part) {
    const int count = kNrOfSfb[row][column][part];
    const int bits = static_cast<int>(slen[part]);
    const uint8_t largest = static_cast<uint8_t>((1u << bits) - 1);
    for (int i = 0; i < count; ++i) {
      const uint8_t v = static_cast<uint8_t>(Read(r, bits));
      if (column == 0 || (column == 2 && part == 0)) {
        if (longBand < 22) {
          sf.l[longBand] = v;
          sf.maxL[longBand] = largest;
        }
        ++longBand;
      } else {
        const int sfb = firstShort + shortIndex / 3;
        if (sfb < 13) {
          sf.s[sfb][shortIndex % 3] = v;
          sf.maxS[sfb] = largest;
        }
        ++shortIndex;
      }
    }
  }
  // Bands without scalefactors take position 0 and can never be "not coded".
  for (int b = longBand; b < 22; ++b) sf.maxL[b] = 0xFF;
  for (int b = firstShort + (shortIndex + 2) / 3; b < 13; ++b) sf.maxS[b] = 0xFF;
}

// The main data from bit `pos` on as one most-significant-first word: at
// least its first 57 bits are the stream's (the reservoir's zero padding
// keeps the load within the buffer as long as pos is at most the end).
inline uint64_t WindowAt(const uint8_t* data, uint32_t pos) {
  return LoadBigEndian64(data + (pos >> 3)) << (pos & 7);
}

// The longest pair code the fast lookup leaves to the multi-level one.
constexpr uint32_t kLongestPairCode = 19;

// The two values of a fast pair entry's bits 4..13 (x and y, signed in 5
// bits each), so that a pair is stored with one copy.
struct PairValues {
  int32_t v[1024][2];
};
constexpr PairValues kPairValues = [] {
  PairValues t{};
  for (uint32_t fields = 0; fields < 1024; ++fields) {
    for (uint32_t k = 0; k < 2; ++k) {
      const uint32_t f = (fields >> (5 * k)) & 31;
      t.v[fields][k] = f >= 16 ? static_cast<int32_t>(f) - 32 : static_cast<int32_t>(f);
    }
  }
  return t;
}();

// One big-value pair that the fast lookup does not hold, from the window
// `w`, which the caller guarantees holds the whole pair: the longest code,
// two escapes of `linbits` and two sign bits. Moves w and `used` past the
// pair.
template <bool kLinbits>
inline void DecodeSlowPair(const uint32_t* first, int width, int linbits, uint64_t& w, uint32_t& used,
                           int32_t* out) {
  uint32_t e = first[w >> (64 - width)];
  while (e & kLookupPointer) {  // codes longer than the first level
    const uint32_t step = (e >> 24) & 15;
    w <<= step;
    used += step;
    e = kHuffmanLookup[(e & 0xFFFF) + static_cast<uint32_t>(w >> (64 - ((e >> 16) & 15)))];
  }
  const uint32_t length = (e >> 8) & 31;
  w <<= length;
  used += length;
  int32_t x = static_cast<int32_t>((e >> 4) & 15);
  int32_t y = static_cast<int32_t>(e & 15);
  if constexpr (kLinbits) {
    if (x == 15) {
      x += static_cast<int32_t>(w >> (64 - linbits));
      w <<= linbits;
      used += static_cast<uint32_t>(linbits);
    }
  }
  // A sign bit follows each non-zero value: 1 for negative.
  uint32_t nonzero = x != 0;
  int32_t negative = -static_cast<int32_t>(static_cast<uint32_t>(w >> 63) & nonzero);
  w <<= nonzero;
  used += nonzero;
  out[0] = (x ^ negative) - negative;
  if constexpr (kLinbits) {
    if (y == 15) {
      y += static_cast<int32_t>(w >> (64 - linbits));
      w <<= linbits;
      used += static_cast<uint32_t>(linbits);
    }
  }
  nonzero = y != 0;
  negative = -static_cast<int32_t>(static_cast<uint32_t>(w >> 63) & nonzero);
  w <<= nonzero;
  used += nonzero;
  out[1] = (y ^ negative) - negative;
}

// Up to `count` pairs (at most five) that the fast lookup holds, from the
// window `w`; returns how many, fewer when the next pair is not held. Moves
// w and `used` past them.
inline int FastPairs(const uint16_t* fast, int count, uint64_t& w, uint32_t& used, int32_t* out) {
  for (int k = 0; k < count; ++k) {
    const uint32_t f = fast[w >> (64 - kPairFastBits)];
    if (f == 0) return k;
    const uint32_t length = f & 15;
    w <<= length;
    used += length;
    std::memcpy(out + 2 * k, kPairValues.v[f >> 4], sizeof kPairValues.v[0]);
  }
  return count;
}

// Pairs of lines [i, limit) with `table` from bit `pos`. Stops early, false,
// once the data has run beyond `end`; any pair read past it is damage, which
// the caller sees from pos as well.
//
// Each window holds 57 bits of the stream. A fast pair (code and signs)
// takes at most kPairFastBits of them, so five fit any window and need no
// test of the room left; a pair the fast lookup does not hold is decoded
// in the same window only while its longest form still fits, else from the
// next one.
template <bool kLinbits>
bool DecodePairs(const uint8_t* data, uint32_t& pos, uint32_t end, uint32_t tableNumber, int32_t* is, int i, int limit) {
  constexpr uint32_t kWindowBits = 57;
  constexpr int kFastPerWindow = kWindowBits / kPairFastBits;
  const HuffmanTableInfo& table = kHuffmanTables[tableNumber];
  const uint16_t* fast = kPairFast + kPairFastStart[tableNumber];
  const uint32_t* first = kHuffmanLookup + table.start;
  const int width = table.width;
  const int linbits = kLinbits ? table.linbits : 0;
  const uint32_t slowRoom = kWindowBits - (kLongestPairCode + 2 + 2 * static_cast<uint32_t>(linbits));
  uint32_t p = pos;
  while (i < limit) {
    if (p > end) return false;
    uint64_t w = WindowAt(data, p);
    uint32_t used = 0;
    // A constant count while five pairs remain, so that the pairs need no
    // test of the limit.
    const int k = limit - i >= 2 * kFastPerWindow ? FastPairs(fast, kFastPerWindow, w, used, is + i)
                                                  : FastPairs(fast, (limit - i + 1) / 2, w, used, is + i);
    i += 2 * k;
    if (k < kFastPerWindow && i < limit && used <= slowRoom) {
      DecodeSlowPair<kLinbits>(first, width, linbits, w, used, is + i);
      i += 2;
    }
    p += used;
  }
  pos = p;
  return true;
}

// The four values of a quadruple entry's bits 4..11 (2-bit signed fields),
// so that a quadruple is stored with one copy.
struct QuadValues {
  int32_t v[256][4];
};
constexpr QuadValues kQuadValues = [] {
  QuadValues t{};
  for (uint32_t fields = 0; fields < 256; ++fields) {
    for (uint32_t k = 0; k < 4; ++k) {
      const uint32_t f = (fields >> (2 * k)) & 3;
      t.v[fields][k] = f == 3 ? -1 : static_cast<int32_t>(f);  // 2 does not occur
    }
  }
  return t;
}();

// The count1 region from line i: quadruples while bits remain before
// `end`, with count1 table `table` (0: A, 1: B); returns the line after the
// last one. A quadruple's code and signs take at most 10 bits, so a window
// of 57 bits holds five of them.
int DecodeCount1(const uint8_t* data, uint32_t& pos, uint32_t end, uint32_t table, int32_t* is, int i) {
  constexpr int kQuadsPerWindow = 5;
  const uint16_t* quadFast = table ? kQuadFastB : kQuadFastA;
  const int quadBits = table ? kQuadFastBitsB : kQuadFastBitsA;
  uint32_t p = pos;
  int room = (576 - i) / 4;  // quadruples left before the last line
  while (room > 0 && p < end) {
    uint64_t w = WindowAt(data, p);
    const int n = std::min(room, kQuadsPerWindow);
    for (int k = 0; k < n; ++k) {
      const uint32_t e = quadFast[w >> (64 - quadBits)];
      const uint32_t length = e & 15;
      w <<= length;
      p += length;
      if (p >= end) {
        // A quadruple that ends exactly at the end is the last one; one
        // that runs past it is not part of the data.
        if (p == end) {
          std::memcpy(is + i, kQuadValues.v[(e >> 4) & 255], sizeof kQuadValues.v[0]);
          i += 4;
        }
        pos = p;
        return i;
      }
      std::memcpy(is + i, kQuadValues.v[(e >> 4) & 255], sizeof kQuadValues.v[0]);
      i += 4;
    }
    room -= n;
  }
  pos = p;
  return i;
}

// Huffman decoding of one granule and channel up to `end` (bits); values in
// is[0..576), returns the count of lines up to the last non-zero one.
int DecodeSpectrum(MainReader& r, uint32_t end, const GranuleInfo& g, int rate, int32_t* is, bool& damaged) {
  const uint16_t* longEdges = kSfbLong[rate];
  const int bigEnd = static_cast<int>(std::min<uint32_t>(g.bigValues * 2, 576));
  int region1, region2;
  if (g.windowSwitching) {
    region1 = (g.blockType == 2 && !g.mixed) ? 36 : longEdges[8];
    region2 = 576;
  } else {
    region1 = longEdges[std::min<uint32_t>(g.region0Count + 1, 22)];
    region2 = longEdges[std::min<uint32_t>(g.region0Count + g.region1Count + 2, 22)];
  }
  region1 = std::min(region1, bigEnd);
  region2 = std::min(region2, bigEnd);
  int i = 0;
  for (int region = 0; region < 3; ++region) {
    const int limit = region == 0 ? region1 : region == 1 ? region2 : bigEnd;
    if (i >= limit) continue;
    const HuffmanTableInfo& table = kHuffmanTables[g.tableSelect[region]];
    if (!table.usable) {
      damaged = true;
      return 0;
    }
    if (table.width == 0) {  // table 0: all zero
      std::memset(is + i, 0, static_cast<size_t>(limit - i) * sizeof *is);
      i = limit;
      continue;
    }
    const uint32_t number = g.tableSelect[region];
    const bool ok = table.linbits ? DecodePairs<true>(r.data, r.pos, end, number, is, i, limit)
                                  : DecodePairs<false>(r.data, r.pos, end, number, is, i, limit);
    if (!ok) {
      damaged = true;
      return 0;
    }
    i += (limit - i + 1) & ~1;  // whole pairs (the band edges are even)
  }
  if (r.pos > end) {
    damaged = true;
    return 0;
  }
  i = DecodeCount1(r.data, r.pos, end, g.count1Table, is, i);
  int nonzero = i;
  std::memset(is + i, 0, static_cast<size_t>(576 - i) * sizeof *is);
  while (nonzero > 0 && is[nonzero - 1] == 0) --nonzero;  // later stages stop here
  return nonzero;
}

constexpr uint8_t kNoPretab[22] = {};

// The bands of one granule and channel up to line `nonzero`, in Huffman
// order, with the exponent of each; returns their count.
int RequantBands(const GranuleInfo& g, const Scalefactors& sf, uint32_t preflag, int rate, int nonzero,
                 RequantBand* bands) {
  const int shift = 1 + static_cast<int>(g.scalefacScale);
  const int32_t base = g.globalGain - 210;
  const uint16_t* longEdges = kSfbLong[rate];
  const uint16_t* shortEdges = kSfbShort[rate];
  int count = 0;
  int line = 0;
  // Bands are cut at `nonzero`; the kernel clears the lines above it.
  const auto add = [&](int end, int32_t q) {
    bands[count++] = RequantBand{line, std::min(end, nonzero), q};
    line = end;
  };
  const bool isShort = IsShort(g);
  if (!isShort) {  // long blocks: every band that starts below `nonzero`
    const uint8_t* pretab = preflag ? kPretab : kNoPretab;
    for (; count < 22 && longEdges[count] < nonzero; ++count) {
      const int sfb = count;
      bands[sfb] = RequantBand{longEdges[sfb], longEdges[sfb + 1], base - ((sf.l[sfb] + pretab[sfb]) << shift)};
    }
    if (count > 0) bands[count - 1].end = std::min<int32_t>(bands[count - 1].end, nonzero);
    return count;
  }
  int firstShort = 0;
  if (g.mixed) {
    const uint8_t* pretab = preflag ? kPretab : kNoPretab;
    for (int sfb = 0; sfb < 22 && line < nonzero && longEdges[sfb + 1] <= 36; ++sfb) {  // the long part
      add(longEdges[sfb + 1], base - ((sf.l[sfb] + pretab[sfb]) << shift));
    }
    firstShort = 3;
    while (firstShort < 13 && shortEdges[firstShort] * 3 < 36) ++firstShort;
  }
  for (int sfb = firstShort; sfb < 13 && line < nonzero; ++sfb) {
    const int width = shortEdges[sfb + 1] - shortEdges[sfb];
    for (int w = 0; w < 3 && line < nonzero; ++w) {
      add(line + width, base - 8 * static_cast<int32_t>(g.subblockGain[w]) - (sf.s[sfb][w] << shift));
    }
  }
  return count;
}

// The spectrum of one granule and channel in Huffman order, Q28.
void RequantiseSpectrum(const GranuleInfo& g, const Scalefactors& sf, uint32_t preflag, int rate, const int32_t* is,
                        int nonzero, const Layer3FrontKernels& kernels, Q28* xr) {
  RequantBand bands[kMaxRequantBands];
  const int count = RequantBands(g, sf, preflag, rate, nonzero, bands);
  kernels.requantiseGranule(is, bands, count, xr);
}

inline Q28 Saturate(int64_t v) {
  return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

inline Q28 MulQ31Round(Q28 x, int64_t c) { return Saturate((int64_t{x} * c + (int64_t{1} << 30)) >> 31); }

struct StereoParams {
  void (*midSide)(Q28* left, Q28* right, int count) = MidSidePlain;
  bool ms = false;
  bool intensity = false;
  bool lsf = false;
  uint32_t intensityScale = 0;
};

// One band of lines [from, to) (stride 1) in Huffman order: intensity stereo
// at position `pos` (with `largest` marking "not coded"), else mid/side when on.
void StereoBand(Q28* left, Q28* right, int from, int to, bool intensityBand, int pos, int largest,
                const StereoParams& p) {
  if (intensityBand && pos < largest) {
    if (!p.lsf) {
      const int64_t kl = kIntensityLeftQ31[pos], kr = kIntensityRightQ31[pos];
      for (int i = from; i < to; ++i) {
        const Q28 v = left[i];
        left[i] = MulQ31Round(v, kl);
        right[i] = MulQ31Round(v, kr);
      }
    } else {
      const int64_t k = kLsfIntensityQ31[p.intensityScale][(pos + 1) >> 1];
      for (int i = from; i < to; ++i) {
        const Q28 v = left[i];
        if (pos == 0) {
          right[i] = v;
        } else if (pos & 1) {
          left[i] = MulQ31Round(v, k);
          right[i] = v;
        } else {
          right[i] = MulQ31Round(v, k);
        }
      }
    }
    return;
  }
  if (p.ms && from < to) p.midSide(left + from, right + from, to - from);
}

// Mid/side and intensity stereo over both channels' spectra in Huffman order.
// Lines from `active` on are zero in both channels and stay so.
void ProcessStereo(const GranuleInfo& g, const Scalefactors& sfRight, const int32_t* isRight, int rate,
                   const StereoParams& p, int active, Q28* left, Q28* right) {
  const uint16_t* longEdges = kSfbLong[rate];
  const uint16_t* shortEdges = kSfbShort[rate];
  if (!IsShort(g) && !p.intensity) {  // mid/side alone: one run over the lines
    StereoBand(left, right, 0, active, false, 0, 0, p);
    return;
  }
  if (!IsShort(g)) {
    int start = 22;  // first intensity band
    if (p.intensity) {
      int last = -1;
      for (int i = active - 1; i >= 0; --i) {
        if (isRight[i]) {
          last = i;
          break;
        }
      }
      start = 0;
      while (start < 22 && longEdges[start] <= last) ++start;
    }
    for (int sfb = 0; sfb < 22 && longEdges[sfb] < active; ++sfb) {
      const int b = sfb == 21 ? 20 : sfb;
      StereoBand(left, right, longEdges[sfb], std::min<int>(longEdges[sfb + 1], active), sfb >= start, sfRight.l[b],
                 sfRight.maxL[b], p);
    }
    return;
  }
  // Short blocks (a mixed block's long part first): per window, the bands
  // above the last one with a non-zero right value are intensity-coded.
  int firstShort = 0;
  bool shortPartZero = true;
  int startShort[3] = {13, 13, 13};
  if (g.mixed) {
    firstShort = 3;
    while (firstShort < 13 && shortEdges[firstShort] * 3 < 36) ++firstShort;
  }
  {
    int line = 3 * shortEdges[firstShort];
    int lastBand[3] = {-1, -1, -1};
    for (int sfb = firstShort; sfb < 13; ++sfb) {
      const int width = shortEdges[sfb + 1] - shortEdges[sfb];
      for (int w = 0; w < 3; ++w) {
        for (int j = 0; j < width; ++j, ++line) {
          if (isRight[line]) lastBand[w] = sfb;
        }
      }
    }
    for (int w = 0; w < 3; ++w) {
      if (lastBand[w] >= 0) shortPartZero = false;
      startShort[w] = p.intensity ? std::max(lastBand[w] + 1, firstShort) : 13;
    }
  }
  if (g.mixed) {
    int start = 22;
    if (p.intensity && shortPartZero) {
      int last = -1;
      for (int i = 35; i >= 0; --i) {
        if (isRight[i]) {
          last = i;
          break;
        }
      }
      start = 0;
      while (start < 22 && longEdges[start] <= last) ++start;
    }
    for (int sfb = 0; sfb < 22 && longEdges[sfb + 1] <= 36; ++sfb) {
      StereoBand(left, right, longEdges[sfb], longEdges[sfb + 1], sfb >= start, sfRight.l[sfb], sfRight.maxL[sfb],
                 p);
    }
  }
  int line = 3 * shortEdges[firstShort];
  for (int sfb = firstShort; sfb < 13; ++sfb) {
    const int width = shortEdges[sfb + 1] - shortEdges[sfb];
    const int b = sfb == 12 ? 11 : sfb;
    for (int w = 0; w < 3; ++w, line += width) {
      StereoBand(left, right, line, line + width, sfb >= startShort[w], sfRight.s[b][w], sfRight.maxS[b], p);
    }
  }
}

// Short bands from Huffman order (band, window, line) to the order of the
// IMDCT (subband, window, line).
void ReorderShort(const GranuleInfo& g, int rate, Q28* xr) {
  const uint16_t* shortEdges = kSfbShort[rate];
  int firstShort = 0;
  if (g.mixed) {
    firstShort = 3;
    while (firstShort < 13 && shortEdges[firstShort] * 3 < 36) ++firstShort;
  }
  const int from = 3 * shortEdges[firstShort];
  Q28 tmp[576];
  int line = from;
  for (int sfb = firstShort; sfb < 13; ++sfb) {
    const int width = shortEdges[sfb + 1] - shortEdges[sfb];
    for (int w = 0; w < 3; ++w) {
      // Line f of the window goes to subband f / 6, position f % 6.
      Q28* subband = tmp + (shortEdges[sfb] / 6) * 18 + w * 6;
      int k = shortEdges[sfb] % 6;
      for (int j = 0; j < width; ++j, ++line) {
        subband[k] = xr[line];
        if (++k == 6) {
          k = 0;
          subband += 18;
        }
      }
    }
  }
  std::memcpy(xr + from, tmp + from, (576 - from) * sizeof(Q28));
}

int Fail(Layer3State& state, InputCursor& cursor, Status status) {
  std::memset(state.overlap, 0, sizeof state.overlap);
  cursor.status = status;
  return -1;
}

}  // namespace

uint32_t DecodePairCode(const uint8_t* data, uint32_t& pos, int table) {
  MainReader r{data, pos};
  const uint32_t e = DecodeCode(r, kHuffmanTables[table]);
  pos = r.pos + ((e >> 8) & 31);
  return e & 0xFF;
}

uint32_t DecodeQuadCode(const uint8_t* data, uint32_t& pos, int table) {
  MainReader r{data, pos};
  const uint32_t e = DecodeCode(r, table ? kCount1TableB : kCount1TableA);
  pos = r.pos + ((e >> 4) & 15);
  return e & 15;
}

bool DecodeBigValues(const uint8_t* data, uint32_t& pos, uint32_t end, int table, int count, int32_t* out) {
  if (table < 1 || table > 31 || !kHuffmanTables[table].usable) return false;
  const auto number = static_cast<uint32_t>(table);
  return kHuffmanTables[table].linbits ? DecodePairs<true>(data, pos, end, number, out, 0, count)
                                       : DecodePairs<false>(data, pos, end, number, out, 0, count);
}

int DecodeQuadruples(const uint8_t* data, uint32_t& pos, uint32_t end, int table, int from, int32_t* out) {
  return DecodeCount1(data, pos, end, table ? 1 : 0, out, from);
}

void ResetLayer3(Layer3State& state) { std::memset(&state, 0, sizeof state); }

int DecodeLayer3(Layer3State& state, FrameState& frame, InputCursor& cursor) {
  const bool lsf = (frame.flags & FlagLsf) != 0;
  const int channels = ChannelCount(frame);
  const uint32_t sideBytes = lsf ? (channels == 1 ? 9 : 17) : (channels == 1 ? 17 : 32);
  const uint32_t headerBytes = (frame.flags & FlagProtected) ? 6 : 4;
  const uint32_t length = FrameLength(frame);
  if (length < headerBytes + sideBytes || length - headerBytes - sideBytes > kReservoirCapacity - kReservoirKeep) {
    ClearReservoir(state);
    return Fail(state, cursor, StatusBadSideInfo);
  }
  uint16_t crc = 0;
  if (frame.flags & FlagProtected) crc = Crc16(cursor.reader, sideBytes * 8, frame.runningCrc);
  SideInfo si;
  const bool legal = ReadSideInfo(cursor.reader, lsf, channels, si);

  // The frame's main data joins the reservoir, whatever becomes of the frame.
  const uint32_t mainBytes = length - headerBytes - sideBytes;
  const uint32_t before = state.reservoirSize;
  const uint8_t* body = cursor.buffer + cursor.frameStart + headerBytes + sideBytes;  // FindFrame checked length
  std::memcpy(state.reservoir + before, body, mainBytes);
  const uint32_t total = before + mainBytes;
  std::memset(state.reservoir + total, 0, kReservoirPadding);
  struct Keep {  // keeps the last kReservoirKeep bytes on every way out
    Layer3State& s;
    uint32_t total;
    ~Keep() {
      const uint32_t keep = std::min(total, kReservoirKeep);
      std::memmove(s.reservoir, s.reservoir + (total - keep), keep);
      s.reservoirSize = keep;
    }
  } keep{state, total};

  if ((frame.flags & FlagProtected) && crc != frame.storedCrc) return Fail(state, cursor, StatusCrcError);
  if (!legal) return Fail(state, cursor, StatusBadSideInfo);
  if (si.mainDataBegin > before) return Fail(state, cursor, StatusMissingReservoir);
  const uint32_t start = before - si.mainDataBegin;
  const int granules = lsf ? 1 : 2;
  uint64_t bits = 0;
  for (int gr = 0; gr < granules; ++gr) {
    for (int ch = 0; ch < channels; ++ch) bits += si.granule[gr][ch].part23Length;
  }
  if (bits > uint64_t{total - start} * 8) return Fail(state, cursor, StatusBadSideInfo);

  const int rate = RateIndex(frame);
  const bool joint = frame.modeCode == kModeJointStereo;
  const Layer3FrontKernels& kernels = Layer3FrontKernelsFor(ActiveKernelLevel());
  StereoParams stereo;
  stereo.midSide = kernels.midSide;
  stereo.ms = joint && (frame.modeExtension & 2);
  stereo.intensity = joint && (frame.modeExtension & 1);
  stereo.lsf = lsf;

  MainReader r{state.reservoir + start, 0};
  Scalefactors sf[2];
  alignas(32) int32_t is[2][576];
  alignas(32) Q28 xr[2][576];
  for (int gr = 0; gr < granules; ++gr) {
    int nonzero[2] = {0, 0};
    uint32_t preflag[2] = {0, 0};
    for (int ch = 0; ch < channels; ++ch) {
      const GranuleInfo& g = si.granule[gr][ch];
      const uint32_t end = r.pos + g.part23Length;
      if (lsf) {
        ReadScalefactorsLsf(r, g, stereo.intensity && ch == 1, sf[ch], stereo.intensityScale, preflag[ch]);
      } else {
        ReadScalefactorsMpeg1(r, g, si.scfsi[ch], gr, sf[ch]);
        preflag[ch] = g.preflag;
      }
      if (r.pos > end) return Fail(state, cursor, StatusBadSideInfo);
      bool damaged = false;
      nonzero[ch] = DecodeSpectrum(r, end, g, rate, is[ch], damaged);
      if (damaged) return Fail(state, cursor, StatusBadSideInfo);
      r.pos = end;
    }
    for (int ch = 0; ch < channels; ++ch) {
      RequantiseSpectrum(si.granule[gr][ch], sf[ch], preflag[ch], rate, is[ch], nonzero[ch], kernels, xr[ch]);
    }
    // Lines from active[ch] on are zero (in Huffman order); stereo
    // processing spreads each channel's lines to the other.
    int active[2] = {nonzero[0], nonzero[1]};
    if (channels == 2 && (stereo.ms || stereo.intensity)) {
      active[0] = active[1] = std::max(nonzero[0], nonzero[1]);
      ProcessStereo(si.granule[gr][1], sf[1], is[1], rate, stereo, active[0], xr[0], xr[1]);
    }
    for (int ch = 0; ch < channels; ++ch) {
      const GranuleInfo& g = si.granule[gr][ch];
      if (IsShort(g)) ReorderShort(g, rate, xr[ch]);
      HybridFilterbank(Layer3Block{g.windowSwitching, g.blockType, g.mixed}, xr[ch], IsShort(g) ? 576 : active[ch],
                       state.overlap[ch], &frame.samples[ch][gr * 18 * 32]);
    }
  }
  return 0;
}

}  // namespace quorvel
