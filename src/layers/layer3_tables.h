// The Layer III tables (layer3_tables.cpp, written by
// scripts/gen_layer3_tables.py): the Huffman codes as lookup tables, the band
// edges of the nine rates, and the computed factors of requantisation,
// stereo processing, anti-aliasing and the IMDCT.
#pragma once

#include <cstdint>

namespace quorvel {

// A Huffman table: its first level in kHuffmanLookup, that level's width in
// bits, the linbits of the table, and whether the table may be used (tables
// 4 and 14 are not; table 0 codes nothing).
struct HuffmanTableInfo {
  uint16_t start;
  uint8_t width;
  uint8_t linbits;
  uint8_t usable;
};

// One code of the text the tables were made from, for the tests.
struct HuffmanCode {
  uint8_t table, x, y, length;
  uint32_t code;
};
struct Count1Code {
  uint8_t table;  // 0: A, 1: B
  uint8_t vwxy;
  uint8_t length;
  uint32_t code;
};

// Lookup entries: a leaf is (length << 8) | (x << 4) | y (pairs) or
// (length << 4) | vwxy (quadruples); bit 31 set points to a further level:
// bits 0..15 its index, bits 16..19 its width, bits 24..27 the bits the
// pointing level consumed.
constexpr uint32_t kLookupPointer = 0x80000000u;
extern const uint32_t kHuffmanLookup[];
extern const HuffmanTableInfo kHuffmanTables[32];
extern const HuffmanTableInfo kCount1TableA;
extern const HuffmanTableInfo kCount1TableB;
constexpr int kHuffmanCodeCount = 4 + 2 * 9 + 2 * 16 + 3 * 36 + 3 * 64 + 4 * 256;  // tables 1..13, 15, 16, 24
extern const HuffmanCode kHuffmanCodes[];
extern const Count1Code kCount1Codes[32];

// Whole codes with their sign bits in one lookup of the next bits: a pair
// from 11 bits, kPairFast[kPairFastStart[table] + bits]: 0, or (bits of code
// and signs, 1..11) | x << 4 | y << 9 with x and y signed in 5 bits (escapes
// of tables with linbits are left to the lookup above); a quadruple from 10
// bits (table A) or 8 (table B): (bits of code and signs) | v << 4 | w << 6 |
// x << 8 | y << 10, each signed in 2 bits.
constexpr int kPairFastBits = 11;
extern const uint16_t kPairFast[];
extern const uint16_t kPairFastStart[32];
constexpr int kQuadFastBitsA = 10;
constexpr int kQuadFastBitsB = 8;
extern const uint16_t kQuadFastA[1 << kQuadFastBitsA];
extern const uint16_t kQuadFastB[1 << kQuadFastBitsB];

// Band edges in frequency lines by rate index: 44.1, 48, 32 kHz (MPEG-1),
// 22.05, 24, 16 kHz (LSF), 11.025, 12, 8 kHz (MPEG-2.5).
extern const uint16_t kSfbLong[9][23];
extern const uint16_t kSfbShort[9][14];
extern const uint8_t kPretab[22];
extern const uint8_t kSlen[2][16];        // MPEG-1 scalefac_compress -> slen1, slen2
extern const uint8_t kNrOfSfb[6][3][4];   // LSF partitions: [row][long, short, mixed][partition]

// x^(4/3) = kPow43Mantissa[x] * 2^(kPow43Exponent[x] - 30), x = 0..8206.
constexpr int kPow43Limit = 8206;
extern const uint32_t kPow43Mantissa[8207];
extern const int8_t kPow43Exponent[8207];
extern const int64_t kQuarterPowerQ30[4];  // 2^(b/4), b = 0..3

extern const int64_t kAntialiasCsQ31[8];
extern const int64_t kAntialiasCaQ31[8];

// The long IMDCT's cosines, Q28: rows i = 0..8, then 18..26 (the others
// follow by symmetry), k = 0..17; its windows [0 normal, 1 start, 2 stop][i]
// in Q31; the short IMDCT's cosines times the short window, Q28 [i][k].
extern const int32_t kImdctCosQ28[18][18];
extern const int64_t kImdctWindowQ31[3][36];
extern const int32_t kImdctShortQ28[12][6];

extern const int64_t kIntensityLeftQ31[7];
extern const int64_t kIntensityRightQ31[7];
extern const int64_t kLsfIntensityQ31[2][32];

}  // namespace quorvel
