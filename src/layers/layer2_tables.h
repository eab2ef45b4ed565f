// Layer II allocation and quantisation tables.
//
// The five allocation tables of ISO/IEC 11172-3 (3-B.2a to 3-B.2d) and ISO/IEC
// 13818-3 (B.1) are held in three levels: per table the subband limit and an
// allocation class per subband; per class the width of the allocation code and
// a row; per row the quantisation class of each allocation code 1..15.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/frame.h"
#include "layers/scalefactors.h"

namespace quorvel {

struct Layer2Table {
  int32_t sblimit;                  // subbands sblimit..31 carry nothing
  std::array<uint8_t, 32> classOf;  // AllocClass number per subband
};

struct AllocClassEntry {
  uint16_t nbal;      // width of the allocation code
  uint16_t quantRow;  // QuantRow number
};

struct QuantClassEntry {
  uint16_t levels;      // quantisation steps
  uint8_t sampleBits;   // grouped: bits of one sample; 0: ungrouped
  uint8_t codewordBits; // bits read: a grouped codeword, or one ungrouped sample
  Q28 C;                // requantisation factor 2^nb / levels
  Q28 D;                // requantisation offset
};

namespace detail {

constexpr std::array<uint8_t, 32> ClassBytes(std::initializer_list<std::array<int, 3>> runs) {
  std::array<uint8_t, 32> bytes{};
  for (const auto& run : runs) {
    for (int sb = run[0]; sb <= run[1]; ++sb) bytes[sb] = static_cast<uint8_t>(run[2]);
  }
  return bytes;
}

// Classes 0..16 in the order of ISO/IEC 11172-3 Table 3-B.4.
constexpr QuantClassEntry MakeQuantClass(int number) {
  struct Shape {
    uint16_t levels;
    uint8_t sampleBits;
    uint8_t codewordBits;
  };
  constexpr Shape kFirst[5] = {{3, 2, 5}, {5, 3, 7}, {7, 0, 3}, {9, 4, 10}, {15, 0, 4}};
  const Shape shape = number < 5 ? kFirst[number]
                                 : Shape{static_cast<uint16_t>((1u << number) - 1), 0, static_cast<uint8_t>(number)};
  const int nb = shape.sampleBits ? shape.sampleBits : shape.codewordBits;
  QuantClassEntry q{};
  q.levels = shape.levels;
  q.sampleBits = shape.sampleBits;
  q.codewordBits = shape.codewordBits;
  q.C = RoundedQuotient(1ull << (28 + nb), shape.levels);
  q.D = shape.sampleBits ? 0x08000000 : (1 << (29 - nb));
  return q;
}

constexpr std::array<QuantClassEntry, 17> MakeQuantClasses() {
  std::array<QuantClassEntry, 17> classes{};
  for (int i = 0; i < 17; ++i) classes[i] = MakeQuantClass(i);
  return classes;
}

}  // namespace detail

inline constexpr std::array<Layer2Table, 5> Layer2AllocTable = {{
    {27, detail::ClassBytes({{0, 2, 7}, {3, 10, 6}, {11, 22, 3}, {23, 26, 0}})},  // 3-B.2a
    {30, detail::ClassBytes({{0, 2, 7}, {3, 10, 6}, {11, 22, 3}, {23, 29, 0}})},  // 3-B.2b
    {8, detail::ClassBytes({{0, 1, 5}, {2, 7, 2}})},                              // 3-B.2c
    {12, detail::ClassBytes({{0, 1, 5}, {2, 11, 2}})},                            // 3-B.2d
    {30, detail::ClassBytes({{0, 3, 4}, {4, 10, 2}, {11, 29, 1}})},               // 13818-3 B.1
}};

inline constexpr std::array<AllocClassEntry, 8> AllocClass = {{
    {2, 0}, {2, 3}, {3, 3}, {3, 1}, {4, 2}, {4, 3}, {4, 4}, {4, 5},
}};

// Entry a - 1: the quantisation class of allocation code a.
inline constexpr std::array<std::array<uint8_t, 15>, 6> QuantRow = {{
    {0, 1, 16},
    {0, 1, 2, 3, 4, 5, 16},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14},
    {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16},
    {0, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
}};

inline constexpr std::array<QuantClassEntry, 17> QuantClass = detail::MakeQuantClasses();

// Picks the allocation table (0..4) from version, bitrate, mode and rate.
int SelectLayer2Table(const FrameState& frame);

// The quantisation class of allocation code a (>= 1) in subband sb of table t.
inline const QuantClassEntry& QuantClassFor(int table, int sb, uint32_t code) {
  const AllocClassEntry& ac = AllocClass[Layer2AllocTable[table].classOf[sb]];
  return QuantClass[QuantRow[ac.quantRow][code - 1]];
}

// The codes and the plan (DecodeLayer2Codes), or the compatible samples.
int DecodeLayer2Codes(InputCursor& cursor, FrameState& frame);
int DecodeLayer2(InputCursor& cursor, FrameState& frame);

}  // namespace quorvel
