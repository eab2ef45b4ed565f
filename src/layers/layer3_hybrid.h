// The hybrid filterbank of Layer III: the anti-alias butterflies between
// subbands, the IMDCT (36 and 12 points) with its windows, overlap-add and
// frequency inversion, from the requantised spectrum of one granule and
// channel to its 18 slots of subband samples.
//
// Formats: the spectrum, the IMDCT's output and the overlap are Q28 in
// 32-bit integers; the anti-alias factors Q31, the IMDCT's cosines and
// windows Q28. The long IMDCT sums its exact Q56 products and rounds once
// to Q28 (in 64 bits), then takes the window in one more rounding; every
// level's kernels give the same bits (tests/kernels_test.cpp).
#pragma once

#include <cstdint>

#include "cpu.h"
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

// The overlap of one channel: the second halves of the previous granule's
// IMDCT outputs, [slot * 32 + subband], and a bound on the subbands that
// hold any: from `subbands` on the values are zero. All zeros is silence.
struct HybridOverlap {
  Q28 value[18 * 32];
  uint32_t subbands;
};

// The butterflies across subband boundaries 1..`boundaries` of xr[576] (the
// IMDCT's order) that touch a line below `active` (the lines from `active`
// on are zero), in place.
void HybridAntialias(Q28* xr, int boundaries, int active);

// The whole filterbank of one granule and channel: anti-aliasing (in place
// on xr), IMDCT, window, overlap-add and frequency inversion. xr[576] is in
// the IMDCT's order (short blocks reordered) and zero from line `active` on
// (576 where that is not known); out receives the 18 slots of 32 subband
// samples [slot * 32 + subband]. Subbands that are zero in xr and in the
// overlap cost no transform.
void HybridFilterbank(const Layer3Block& block, Q28* xr, int active, HybridOverlap& overlap, Q28* out);

// The 18-point transform z[m] = sum_k x[k] cos(pi / 72 (2m + 1)(2k + 1)) at
// the heart of the long IMDCT, Q28 in and out, for any 32-bit x: the exact
// sum of the Q56 products, rounded once. For the tests.
void Dct4Of18(const int32_t* x, int64_t* z);

// The long windows in Q28 [0 normal, 1 start, 2 stop][36].
extern const int64_t kImdctWindowQ28[3][36];

// The long IMDCT, window, overlap-add and frequency inversion of subbands
// [begin, end) of xr[576], all with long window `type`; overlap and out as
// in HybridFilterbank ([slot * 32 + subband]). The plain version of the
// kernel imdctLong.
void ImdctLongPlain(const Q28* xr, int begin, int end, int type, Q28* overlap, Q28* out);

// The three short IMDCTs, windows, overlap-add and frequency inversion of
// subbands [begin, end) of xr[576] (each subband's three windows of six
// lines in a row, as the reordering leaves them); overlap and out as in
// HybridFilterbank. The plain version of the kernel imdctShort.
void ImdctShortPlain(const Q28* xr, int begin, int end, Q28* overlap, Q28* out);

// The butterflies across subband boundaries 1..`boundaries` of xr[576], in
// place. The plain version of the kernel antialias.
void AntialiasPlain(Q28* xr, int boundaries);

// The kernels of the hybrid filterbank. Every version of a kernel gives the
// same bits for every input as the plain one (tests/kernels_test.cpp).
struct HybridKernels {
  void (*imdctLong)(const Q28* xr, int begin, int end, int type, Q28* overlap, Q28* out);
  void (*imdctShort)(const Q28* xr, int begin, int end, Q28* overlap, Q28* out);
  void (*antialias)(Q28* xr, int boundaries);
};

// The hybrid kernels of `level` (the plain ones where it is not supported).
const HybridKernels& HybridKernelsFor(KernelLevel level);

}  // namespace quorvel
