// Scalefactors shared by Layer I and Layer II.
#pragma once

#include <array>
#include <cstdint>

#include "fixed.h"

namespace quorvel {

// Entry i (0..62) is 2^29 * 2^(-i/3) rounded to nearest, in Q28: 2.0 down to
// 323. Entry 63 is forbidden in streams; the decoders reject it before use.
// Computed with 50-digit decimals (ISO/IEC 11172-3 Table 3-B.1 in Q28).
inline constexpr std::array<Q28, 64> ScalefactorTable = {
    536870912, 426114725, 338207482, 268435456, 213057363, 169103741, 134217728, 106528681,
    84551870,  67108864,  53264341,  42275935,  33554432,  26632170,  21137968,  16777216,
    13316085,  10568984,  8388608,   6658043,   5284492,   4194304,   3329021,   2642246,
    2097152,   1664511,   1321123,   1048576,   832255,    660561,    524288,    416128,
    330281,    262144,    208064,    165140,    131072,    104032,    82570,     65536,
    52016,     41285,     32768,     26008,     20643,     16384,     13004,     10321,
    8192,      6502,      5161,      4096,      3251,      2580,      2048,      1625,
    1290,      1024,      813,       645,       512,       406,       323,       0};

constexpr int kForbiddenScalefactor = 63;

}  // namespace quorvel
