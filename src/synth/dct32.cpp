// The transform T_N splits N inputs into N/2 sums and N/2 cosine-weighted
// differences, transforms both halves, and rebuilds the odd results from the
// half-size transform of the differences with y[2m+1] = 2 o[m] - y[2m-1].
// The recursion is expanded by the compiler from the template below.
#include "synth/dct32.h"

namespace quorvel {
namespace {

template <int N>
inline void Transform(const int32_t* x, int32_t* y) {
  if constexpr (N == 1) {
    y[0] = x[0];
  } else {
    constexpr int H = N / 2;
    const int32_t* c = DctCosTable<N>();
    int32_t g[H], h[H], e[H], o[H];
    for (int n = 0; n < H; ++n) {
      g[n] = WrapAdd(x[n], x[N - 1 - n]);
      h[n] = WrapMul(RoundShift12(WrapSub(x[n], x[N - 1 - n])), c[n]);
    }
    Transform<H>(g, e);
    Transform<H>(h, o);
    for (int m = 0; m < H; ++m) y[2 * m] = e[m];
    y[1] = o[0];
    for (int m = 1; m < H; ++m) y[2 * m + 1] = WrapSub(WrapAdd(o[m], o[m]), y[2 * m - 1]);
  }
}

}  // namespace

void Dct32Values(const Q28* slotSamples, int32_t out[32]) {
  int32_t y[32];
  Transform<32>(slotSamples, y);
  for (int m = 0; m < 32; ++m) out[m] = RoundShift12(y[m]);
}

void Dct32LanesPlain(const Q28* slots, int count, int32_t* rows, int stride) {
  for (int j = 0; j < count; ++j) {
    int32_t x[32];
    Dct32Values(slots + 32 * j, x);
    for (int m = 0; m < 32; ++m) rows[m * stride + j] = x[m];
  }
}

}  // namespace quorvel
