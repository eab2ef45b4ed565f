// The hybrid filterbank of Layer III (see layer3_hybrid.h).
#include "layers/layer3_hybrid.h"

#include <algorithm>
#include <cstring>

#include "layers/layer3_tables.h"

#if QUORVEL_HAVE_X86_KERNELS
#include "layers/layer3_hybrid_x86.h"
#endif

namespace quorvel {

// (kImdctWindowQ31 + 4) >> 3, which tests/layer3_imdct_test.cpp recomputes.
const int64_t kImdctWindowQ28[3][36] = {
    {11708990,  35037858,  58100067,  80720098,  102725802, 123949700, 144230265, 163413152, 181352366,
     197911378, 212964166, 226396167, 238105158, 248002024, 256011445, 262072464, 266138954, 268179965,
     268179965, 266138954, 262072464, 256011445, 248002024, 238105158, 226396167, 212964166, 197911378,
     181352366, 163413152, 144230265, 123949700, 102725802, 80720098,  58100067,  35037858,  11708990},
    {11708990,  35037858,  58100067,  80720098,  102725802, 123949700, 144230265, 163413152, 181352366,
     197911378, 212964166, 226396167, 238105158, 248002024, 256011445, 262072464, 266138954, 268179965,
     268435456, 268435456, 268435456, 268435456, 268435456, 268435456, 266138954, 248002024, 212964166,
     163413152, 102725802, 35037858,  0,         0,         0,         0,         0,         0},
    {0,         0,         0,         0,         0,         0,         35037858,  102725802, 163413152,
     212964166, 248002024, 266138954, 268435456, 268435456, 268435456, 268435456, 268435456, 268435456,
     268179965, 266138954, 262072464, 256011445, 248002024, 238105158, 226396167, 212964166, 197911378,
     181352366, 163413152, 144230265, 123949700, 102725802, 80720098,  58100067,  35037858,  11708990},
};

namespace {

inline Q28 Saturate(int64_t v) { return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v); }

constexpr int64_t kHalfQ28 = int64_t{1} << 27;

// The 18 distinct rows of the long IMDCT of x[18], Q28: r[i] is output i
// before its window (output 17 - i is -r[i]), r[9 + i] outputs 18 + i and
// 35 - i, i = 0..8. Each row sums its Q56 products exactly: the cosines'
// magnitudes sum to at most 11.76 x 2^28 per row, so for any 32-bit x the
// sum and every partial sum stay below 2^62.56; |r| < 2^34.56.
void ImdctRows(const Q28* x, int64_t* r) {
  for (int j = 0; j < 18; ++j) {
    const int32_t* c = kImdctCosQ28[j];
    int64_t sum = 0;
    for (int k = 0; k < 18; ++k) sum += int64_t{x[k]} * c[k];
    r[j] = (sum + kHalfQ28) >> 28;
  }
}

// A row times its window value w (Q28, 0 <= w <= 2^28), rounded: below
// 2^62.56 before the shift.
inline int64_t Window(int64_t r, int64_t w) { return (r * w + kHalfQ28) >> 28; }

// Overlap-add and frequency inversion of subband sb's 36 outputs y (|y| <
// 2^35): the first half plus the overlap, negated in the odd slots of an odd
// subband, saturated; the second half becomes the overlap.
void OverlapAdd(const int64_t* y, int sb, Q28* overlap, Q28* out) {
  const bool odd = sb & 1;
  for (int i = 0; i < 18; ++i) {
    Q28& prev = overlap[32 * i + sb];
    const int64_t sum = y[i] + prev;
    out[32 * i + sb] = Saturate(odd && (i & 1) ? -sum : sum);
    prev = Saturate(y[18 + i]);
  }
}

// Subbands [begin, end) whose spectrum is zero: the overlap alone, as the
// transform of zeros would give it, and silence behind.
void ReleaseOverlap(int begin, int end, Q28* overlap, Q28* out) {
  for (int i = 0; i < 18; ++i) {
    for (int sb = begin; sb < end; ++sb) {
      Q28& prev = overlap[32 * i + sb];
      out[32 * i + sb] = (sb & 1) && (i & 1) ? Saturate(-int64_t{prev}) : prev;
      prev = 0;
    }
  }
}

// The three 12-point IMDCTs of a short block's subband (x: three windows of
// six lines), windowed, at their places in the 36 outputs: Q56 sums of the
// windowed cosines, rounded once.
void ImdctShortSubband(const Q28* x, int sb, Q28* overlap, Q28* out) {
  int64_t q56[36] = {};
  for (int w = 0; w < 3; ++w) {
    for (int i = 0; i < 12; ++i) {
      int64_t sum = 0;
      for (int k = 0; k < 6; ++k) sum += int64_t{x[6 * w + k]} * kImdctShortQ28[i][k];
      q56[6 + 6 * w + i] += sum;
    }
  }
  int64_t y[36];
  for (int i = 0; i < 36; ++i) y[i] = (q56[i] + kHalfQ28) >> 28;
  OverlapAdd(y, sb, overlap, out);
}

}  // namespace

void ImdctLongPlain(const Q28* xr, int begin, int end, int type, Q28* overlap, Q28* out) {
  const int64_t* w = kImdctWindowQ28[type];
  for (int sb = begin; sb < end; ++sb) {
    int64_t r[18], y[36];
    ImdctRows(xr + 18 * sb, r);
    for (int i = 0; i < 9; ++i) {
      y[i] = Window(r[i], w[i]);
      y[17 - i] = -Window(r[i], w[17 - i]);
      y[18 + i] = Window(r[9 + i], w[18 + i]);
      y[35 - i] = Window(r[9 + i], w[35 - i]);
    }
    OverlapAdd(y, sb, overlap, out);
  }
}

void ImdctShortPlain(const Q28* xr, int begin, int end, Q28* overlap, Q28* out) {
  for (int sb = begin; sb < end; ++sb) ImdctShortSubband(xr + 18 * sb, sb, overlap, out);
}

const HybridKernels& HybridKernelsFor(KernelLevel level) {
  return KernelTableFor(level, HybridKernels{ImdctLongPlain, ImdctShortPlain, AntialiasPlain});
}

void Dct4Of18(const int32_t* x, int64_t* z) {
  int64_t r[18];
  ImdctRows(x, r);
  for (int i = 0; i < 9; ++i) {
    z[9 + i] = r[i];
    z[8 - i] = -r[9 + i];
  }
}

void AntialiasPlain(Q28* xr, int boundaries) {
  for (int sb = 1; sb <= boundaries; ++sb) {
    Q28* x = xr + 18 * sb;
    for (int i = 0; i < 8; ++i) {
      const int64_t bu = x[-1 - i], bd = x[i];
      x[-1 - i] = Saturate((bu * kAntialiasCsQ31[i] - bd * kAntialiasCaQ31[i] + (int64_t{1} << 30)) >> 31);
      x[i] = Saturate((bd * kAntialiasCsQ31[i] + bu * kAntialiasCaQ31[i] + (int64_t{1} << 30)) >> 31);
    }
  }
}

// The butterflies across subband boundaries 1..`boundaries` that touch a
// line below `active` (the lines from `active` on are zero).
void HybridAntialias(Q28* xr, int boundaries, int active) {
  AntialiasPlain(xr, std::min(boundaries, (active + 7) / 18));
}

namespace {

// Zeros in out[32 i + sb] for sb from `from` (rounded down to a multiple of
// eight) on, in whole groups of eight: what lies below `from` is written
// afterwards, so the rounding costs nothing and the rows take one or two
// stores each rather than a call of memset.
void ZeroTail(int from, Q28* out) {
  static constexpr Q28 kZeros[8] = {};
  for (int i = 0; i < 18; ++i) {
    for (int sb = from & ~7; sb < 32; sb += 8) std::memcpy(out + 32 * i + sb, kZeros, sizeof kZeros);
  }
}

}  // namespace

void HybridFilterbank(const Layer3Block& block, Q28* xr, int active, HybridOverlap& overlap, Q28* out) {
  active = std::clamp(active, 0, 576);
  while (active > 0 && xr[active - 1] == 0) --active;
  // The butterflies reach 8 lines into the subband above the last boundary
  // they cross; nothing else spreads.
  const bool shortBlock = block.IsShort();
  const int boundaries = std::min(shortBlock ? (block.mixed ? 1 : 0) : 31, (active + 7) / 18);
  const HybridKernels& kernels = HybridKernelsFor(ActiveKernelLevel());
  kernels.antialias(xr, boundaries);
  const int reach = std::max(active, boundaries > 0 ? 18 * boundaries + 8 : 0);
  const int activeSubbands = (reach + 17) / 18;
  const int held = static_cast<int>(std::min<uint32_t>(overlap.subbands, 32));
  // Whole groups of four for the vector kernels, from the first subband the
  // kernel transforms (a mixed block's two lowest are long): the transform
  // of a zero subband releases its overlap exactly as ReleaseOverlap does.
  const int first = shortBlock && block.mixed ? std::min(2, activeSubbands) : 0;
  const int transformed = std::min(32, first + ((activeSubbands - first + 3) & ~3));
  const int released = std::max(transformed, held);
  ZeroTail(released, out);
  if (!shortBlock) {
    const int type = !block.windowSwitching ? 0 : block.blockType == 1 ? 1 : block.blockType == 3 ? 2 : 0;
    // The mixed flag on a start or stop block gives its two lowest subbands
    // the normal window, as it does a short block's.
    const int normal = (type != 0 && block.mixed) ? 2 : 0;
    if (normal) ImdctLongPlain(xr, 0, normal, 0, overlap.value, out);
    kernels.imdctLong(xr, normal, transformed, type, overlap.value, out);
  } else {
    // A mixed block's two lowest subbands are long, with the normal window.
    if (first) ImdctLongPlain(xr, 0, first, 0, overlap.value, out);
    kernels.imdctShort(xr, first, transformed, overlap.value, out);
  }
  ReleaseOverlap(transformed, released, overlap.value, out);
  overlap.subbands = static_cast<uint32_t>(activeSubbands);
}

}  // namespace quorvel
