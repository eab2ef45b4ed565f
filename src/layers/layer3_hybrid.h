// The hybrid filterbank of Layer III: the anti-alias butterflies between
// subbands, the IMDCT (36 and 12 points) with its windows, overlap-add and
// frequency inversion, from the requantised spectrum of one granule and
// channel to its 18 slots of subband samples.
//
// Formats: the spectrum, the IMDCT's output and the overlap are Q28 in
// 32-bit integers; the anti-alias factors Q31, the IMDCT's windowed cosines
// Q28.
#pragma once

#include <cstdint>

#include "fixed.h"

namespace quorvel {

// The kind of block one granule and channel holds, as its side information
// gives it: window switching, block_type (1 start, 2 short, 3 stop) and the
// mixed flag.
struct Layer3Block {
  uint32_t windowSwitching = 0;
  uint32_t blockType = 0;
  uint32_t mixed = 0;
  bool IsShort() const { return windowSwitching && blockType == 2; }
};

// The butterflies across subband boundaries 1..`boundaries` of xr[576] (the
// IMDCT's order) that touch a line below `active` (the lines from `active`
// on are zero), in place.
void HybridAntialias(Q28* xr, int boundaries, int active);

// IMDCT, window, overlap-add and frequency inversion of one granule and
// channel: xr[576] in the IMDCT's order, overlap[576] the second halves of
// the previous granule's outputs (replaced by this granule's), out the 18
// slots of 32 subband samples [slot * 32 + subband].
void HybridSynthesize(const Layer3Block& block, const Q28* xr, Q28* overlap, Q28* out);

// The 18-point transform z[m] = sum_k x[k] cos(pi / 72 (2m + 1)(2k + 1)) at
// the heart of the long IMDCT, Q28 in and out, for any 32-bit x: through two
// nine-point transforms, within 64 (Q28) of the exact sum. For the tests too.
void Dct4Of18(const int32_t* x, int64_t* z);

}  // namespace quorvel
