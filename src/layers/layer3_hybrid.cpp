// The hybrid filterbank of Layer III (see layer3_hybrid.h).
#include "layers/layer3_hybrid.h"

#include <algorithm>

#include "layers/layer3_tables.h"

namespace quorvel {
namespace {

inline Q28 Saturate(int64_t v) {
  return static_cast<Q28>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

}  // namespace

// The butterflies across subband boundaries 1..`boundaries` that touch a
// line below `active` (the lines from `active` on are zero).
void HybridAntialias(Q28* xr, int boundaries, int active) {
  boundaries = std::min(boundaries, (active + 7) / 18);
  for (int sb = 1; sb <= boundaries; ++sb) {
    Q28* x = xr + 18 * sb;
    for (int i = 0; i < 8; ++i) {
      const int64_t bu = x[-1 - i], bd = x[i];
      x[-1 - i] = Saturate((bu * kAntialiasCsQ31[i] - bd * kAntialiasCaQ31[i] + (int64_t{1} << 30)) >> 31);
      x[i] = Saturate((bd * kAntialiasCsQ31[i] + bu * kAntialiasCaQ31[i] + (int64_t{1} << 30)) >> 31);
    }
  }
}

namespace {

// d times a window value w in Q28, rounded: the caller keeps d * w within 64
// bits.
inline int64_t WindowQ28(int64_t d, int64_t w) { return (d * w + (int64_t{1} << 27)) >> 28; }

// The nine-point transform D[m] = sum_i v[i] cos(pi (2m + 1) i / 18), m =
// 0..8, of Q28 values |v| <= 2^33, Q28: D[8 - m] takes the even terms with
// the odd ones subtracted. Each half sums at most 3.5 x 2^61 in Q56 and is
// rounded on its own.
constexpr int64_t kDct9EvenQ28[4][4] = {{252246817, 205633489, 134217728, 46613328},
                                        {134217728, -134217728, -268435456, -134217728},
                                        {-46613328, -252246817, 134217728, 205633489},
                                        {-205633489, 46613328, 134217728, -252246817}};
constexpr int64_t kDct9OddQ28[4][4] = {{264357318, 232471924, 172546985, 91810333},
                                       {232471924, 0, -232471924, -232471924},
                                       {172546985, -232471924, -91810333, 264357318},
                                       {91810333, -232471924, 264357318, -172546985}};
// 1 / (2 cos(pi (2m + 1) / 36)) and 1 / (2 cos(pi (2m + 1) / 72)), Q28.
constexpr int64_t kHalfSecant36Q28[9] = {134730418, 138952417, 148092877, 163849592, 189812531,
                                         234001468, 317586200, 518577479, 1539975724};
constexpr int64_t kHalfSecant72Q28[18] = {134345595, 135375887, 137476469, 140731197, 145276222, 151314643,
                                          159140490, 169177744, 182045102, 198667367, 220476728, 249800532,
                                          290672726, 350727825, 446342333, 620116279, 1028281954, 3077020016};

inline int64_t RoundQ56(int64_t v) { return (v + (int64_t{1} << 27)) >> 28; }

void Dct9(const int64_t* v, int64_t* d) {
  for (int m = 0; m < 4; ++m) {
    const int64_t* ce = kDct9EvenQ28[m];
    const int64_t* co = kDct9OddQ28[m];
    const int64_t even = v[0] + RoundQ56(v[2] * ce[0] + v[4] * ce[1] + v[6] * ce[2] + v[8] * ce[3]);
    const int64_t odd = RoundQ56(v[1] * co[0] + v[3] * co[1] + v[5] * co[2] + v[7] * co[3]);
    d[m] = even + odd;
    d[8 - m] = even - odd;
  }
  d[4] = v[0] - v[2] + v[4] - v[6] + v[8];
}

// round(d * c / 2^28) for |d| < 2^40 and 0 < c < 2^32: the products of c with
// the bits of d above and below 2^28, each within 64 bits.
inline int64_t MulQ28Split(int64_t d, int64_t c) {
  const int64_t high = d >> 28;
  const int64_t low = d & ((int64_t{1} << 28) - 1);
  return high * c + ((low * c + (int64_t{1} << 27)) >> 28);
}

// 2 cos(pi (2m + 1) / 72) z[m]: the 18-point transform before its last
// division.
void Dct4Of18Unscaled(const int32_t* x, int64_t* u) {
  // 2 cos(a) z[m] = sum_j y[j] cos(pi (2m + 1) j / 36) with y[j] = x[j] +
  // x[j - 1]; its even j form a nine-point transform symmetric in m <-> 17 -
  // m, its odd j one antisymmetric, which by the same step is v[i] = y[2i +
  // 1] + y[2i - 1] through the nine-point transform over 2 cos(pi (2m + 1) /
  // 36). |x| <= 2^31: |y| <= 2^32, |v| <= 2^33, the sums below 2^40.
  int64_t even[9], v[9], e[9], o[9];
  even[0] = x[0];
  v[0] = int64_t{x[1]} + x[0];
  for (int i = 1; i < 9; ++i) {
    const int64_t below = int64_t{x[2 * i - 1]} + x[2 * i - 2];  // y[2i - 1]
    even[i] = int64_t{x[2 * i]} + x[2 * i - 1];                  // y[2i]
    v[i] = int64_t{x[2 * i + 1]} + x[2 * i] + below;
  }
  Dct9(even, e);
  Dct9(v, o);
  for (int m = 0; m < 9; ++m) {
    const int64_t odd = MulQ28Split(o[m], kHalfSecant36Q28[m]);
    u[m] = e[m] + odd;
    u[17 - m] = e[m] - odd;
  }
}

}  // namespace

void Dct4Of18(const int32_t* x, int64_t* z) {
  int64_t u[18];
  Dct4Of18Unscaled(x, u);
  for (int m = 0; m < 18; ++m) z[m] = MulQ28Split(u[m], kHalfSecant72Q28[m]);
}

// IMDCT, window, overlap-add and frequency inversion of one granule and
// channel; writes 18 slots of subband samples at `out` (stride 32), Q28.
// The long blocks go through the fast 18-point transform (Q28, below 2^36)
// and the windows in Q28; the short ones sum Q56 products and round once.
void HybridSynthesize(const Layer3Block& g, const Q28* xr, Q28* overlap, Q28* out) {
  // Subbands above the last non-zero line only release their overlap.
  int active = 576;
  while (active > 0 && xr[active - 1] == 0) --active;
  const int activeSubbands = (active + 17) / 18;
  for (int sb = activeSubbands; sb < 32; ++sb) {
    Q28* prev = overlap + 18 * sb;
    for (int i = 0; i < 18; ++i) {
      out[32 * i + sb] = (sb & 1) && (i & 1) ? WrapNeg(prev[i]) : prev[i];
      prev[i] = 0;
    }
  }
  // The long windows of this granule's blocks (type 0 for the long subbands
  // of a mixed block) in Q28. |z| < 11.76 x 2^31 (the most the cosines'
  // magnitudes sum to), so z times its window stays below 2^62.56.
  int64_t window[3][36];
  for (int type = 0; type < 3; ++type) {
    if (type != 0 && !g.windowSwitching) break;
    for (int i = 0; i < 36; ++i) window[type][i] = (kImdctWindowQ31[type][i] + 4) >> 3;
  }
  for (int sb = 0; sb < activeSubbands; ++sb) {
    const Q28* x = xr + 18 * sb;
    Q28* prev = overlap + 18 * sb;
    int64_t y[36];
    const bool shortBlock = g.IsShort() && !(g.mixed && sb < 2);
    if (!shortBlock) {
      const int type = (!g.windowSwitching || (g.mixed && sb < 2)) ? 0 : g.blockType == 1 ? 1 : g.blockType == 3 ? 2 : 0;
      // The 36 outputs are z[9..17], their mirror -z[17..9], -z[8..0] and
      // its mirror: y[i] = z[9 + i], y[17 - i] = -z[9 + i], y[18 + i] =
      // y[35 - i] = -z[8 - i] for i = 0..8.
      int64_t z[18];
      Dct4Of18(x, z);
      const int64_t* w = window[type];
      for (int i = 0; i < 9; ++i) {
        y[i] = WindowQ28(z[9 + i], w[i]);
        y[17 - i] = WindowQ28(-z[9 + i], w[17 - i]);
        y[18 + i] = WindowQ28(-z[8 - i], w[18 + i]);
        y[35 - i] = WindowQ28(-z[8 - i], w[35 - i]);
      }
    } else {
      int64_t q56[36] = {};
      for (int w = 0; w < 3; ++w) {
        int64_t in[6];
        for (int k = 0; k < 6; ++k) in[k] = x[6 * w + k];
        for (int i = 0; i < 12; ++i) {
          int64_t sum = 0;
          for (int k = 0; k < 6; ++k) sum += in[k] * kImdctShortQ28[i][k];
          q56[6 + 6 * w + i] += sum;
        }
      }
      for (int i = 0; i < 36; ++i) y[i] = RoundQ56(q56[i]);
    }
    const int64_t odd = (sb & 1) ? -1 : 1;  // frequency inversion
    for (int i = 0; i < 18; i += 2) {
      out[32 * i + sb] = Saturate(y[i] + prev[i]);
      out[32 * (i + 1) + sb] = Saturate(odd * (y[i + 1] + prev[i + 1]));
    }
    for (int i = 0; i < 18; ++i) prev[i] = Saturate(y[18 + i]);
  }
}

}  // namespace quorvel
