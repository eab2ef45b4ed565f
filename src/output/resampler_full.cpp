#include "output/resampler_full.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <cstring>
#include <numeric>

#include "output/resampler.h"

namespace quorvel {
namespace {

constexpr int kQ30Shift = 30;

// The prototype at table index |q| (h is even; indices past its end are 0).
int64_t PrototypeAt(int64_t q) {
  const int64_t a = q < 0 ? -q : q;
  return a < kPrototypeTaps ? kPrototypeQ30[static_cast<size_t>(a)] : 0;
}

// Round-to-nearest (halves up) quotient of a signed numerator by a positive
// denominator, by floor division.
int64_t RoundedDivide(int64_t numerator, int64_t denominator) {
  const int64_t shifted = numerator * 2 + denominator;
  const int64_t twice = denominator * 2;
  int64_t q = shifted / twice;
  if ((shifted % twice) < 0) --q;  // floor
  return q;
}

// A row's sum (Q58) rounded half up to Q28 and saturated.
Q28 RoundToQ28(int64_t sum) {
  const int64_t v = (sum + (int64_t{1} << (kQ30Shift - 1))) >> kQ30Shift;
  return static_cast<Q28>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

ResampleRatio RatioOf(int32_t from, int32_t to) {
  ResampleRatio r;
  if (from == to || RateIndex(from) < 0 || RateIndex(to) < 0) return r;
  const uint32_t g = std::gcd(static_cast<uint32_t>(from), static_cast<uint32_t>(to));
  r.up = static_cast<uint32_t>(to) / g;
  r.down = static_cast<uint32_t>(from) / g;
  const uint32_t widest = std::max(r.up, r.down);
  // H = ceil(T max(L, M) / L): the prototype reaches T periods of the lower
  // rate, which are max(L, M) / L input samples each.
  r.half = (kPrototypeHalfLength * widest + r.up - 1) / r.up;
  return r;
}

uint32_t MaxCoefficientCount() {
  uint32_t most = 0;
  for (const int32_t from : ResampleRateTable) {
    for (const int32_t to : ResampleRateTable) {
      const ResampleRatio r = RatioOf(from, to);
      most = std::max(most, r.up * r.Taps());
    }
  }
  return most;
}

uint32_t MaxTapCount() {
  uint32_t most = 0;
  for (const int32_t from : ResampleRateTable) {
    for (const int32_t to : ResampleRateTable) most = std::max(most, RatioOf(from, to).Taps());
  }
  return most;
}

int32_t PolyphaseCoefficient(const ResampleRatio& r, uint32_t p, uint32_t i) {
  const int64_t k = static_cast<int64_t>(i) - static_cast<int64_t>(r.half) + 1;
  const int64_t d = std::max(r.up, r.down);
  // |k L - p| / max(L, M) periods of the lower rate, in table steps q + u / d.
  const int64_t a = k * r.up - p;
  const int64_t scaled = (a < 0 ? -a : a) * kPrototypePoints;
  const int64_t q = scaled / d;
  const int64_t u = scaled % d;
  if (q >= int64_t{kPrototypeHalfLength} * kPrototypePoints) return 0;
  int64_t value;
  if (u == 0) {
    value = PrototypeAt(q);
  } else {
    // Lagrange weights of the points q - 1 .. q + 2 at the fraction x = u / d
    // (Q30), products rounded back to Q30 as they go; every factor is below
    // 2^31 in magnitude, so every product stays below 2^62.
    constexpr int64_t one = int64_t{1} << kQ30Shift;
    const int64_t x = RoundedDivide(u * one, d);
    auto mul = [](int64_t a, int64_t b) { return (a * b + (int64_t{1} << (kQ30Shift - 1))) >> kQ30Shift; };
    const int64_t xm1 = x - one, xm2 = x - 2 * one, xp1 = x + one;
    const int64_t weights[4] = {
        RoundedDivide(-mul(mul(x, xm1), xm2), 6),
        RoundedDivide(mul(mul(xp1, xm1), xm2), 2),
        RoundedDivide(-mul(mul(xp1, x), xm2), 2),
        RoundedDivide(mul(mul(xp1, x), xm1), 6),
    };
    int64_t sum = 0;  // |weight| < 2^30, |point| < 2^30: four products below 2^62
    for (int j = 0; j < 4; ++j) sum += weights[j] * PrototypeAt(q - 1 + j);
    value = (sum + (int64_t{1} << (kQ30Shift - 1))) >> kQ30Shift;
  }
  if (r.down > r.up) value = RoundedDivide(value * r.up, r.down);
  return static_cast<int32_t>(value);
}

namespace {

// The coefficients of the pair of rates (both among the nine, different),
// [L * 2H], made on first use and shared by every converter for the rest of
// the process: a table takes up to half a million instructions to make, and
// a seek restarts its converter. Threads that meet an empty slot at once each
// make the table; one keeps its own, the others take it and drop theirs.
const int32_t* SharedCoefficients(int32_t from, int32_t to) {
  static std::atomic<const int32_t*> tables[9][9];
  std::atomic<const int32_t*>& slot = tables[RateIndex(from)][RateIndex(to)];
  if (const int32_t* made = slot.load(std::memory_order_acquire)) return made;
  const ResampleRatio r = RatioOf(from, to);
  const uint32_t taps = r.Taps();
  auto table = std::make_unique<int32_t[]>(static_cast<size_t>(r.up) * taps);
  for (uint32_t p = 0; p < r.up; ++p) {
    for (uint32_t i = 0; i < taps; ++i) table[p * taps + i] = PolyphaseCoefficient(r, p, i);
  }
  const int32_t* expected = nullptr;
  if (slot.compare_exchange_strong(expected, table.get(), std::memory_order_acq_rel)) return table.release();
  return expected;
}

}  // namespace

FullResampler::FullResampler() {
  const uint32_t taps = MaxTapCount();
  for (auto& h : history_) h.resize(taps - 1 + kMaxBlock + taps / 2);
}

bool FullResampler::Setup(int32_t from, int32_t to) {
  if (RateIndex(from) < 0 || RateIndex(to) < 0) return false;
  from_ = from;
  to_ = to;
  ratio_ = RatioOf(from, to);
  coefficients_ = ratio_.Taps() ? SharedCoefficients(from, to) : nullptr;
  Reset();
  return true;
}

void FullResampler::Reset() { Restart(0); }

uint64_t FullResampler::Restart(uint64_t position) {
  const uint64_t L = ratio_.up, M = ratio_.down;
  const uint64_t first = (position * L + M - 1) / M;  // ceil(position L / M)
  const uint64_t whole = first * M / L;               // >= position, < position + M / L + 1
  // The silent past: H - 1 samples before input sample `position`, which
  // lands at index H - 1, and the samples up to the first output's.
  const uint32_t lead = ratio_.half ? ratio_.half - 1 : 0;
  filled_ = lead;
  for (auto& h : history_) std::fill(h.begin(), h.begin() + lead, 0);
  next_ = lead + static_cast<uint32_t>(whole - position);
  phase_ = static_cast<uint32_t>(first * M % L);
  produced_ = 0;
  return first;
}

uint32_t FullResampler::Emit(uint32_t limit, Q28* out0, Q28* out1) {
  const uint32_t taps = ratio_.Taps();
  const uint32_t L = ratio_.up, M = ratio_.down;
  uint32_t count = 0;
  while (next_ < limit && next_ + ratio_.half < filled_) {
    const int32_t* row = coefficients_ + static_cast<size_t>(phase_) * taps;
    const uint32_t first = next_ + 1 - ratio_.half;
    const Q28* x0 = history_[0].data() + first;
    const Q28* x1 = history_[1].data() + first;
    int64_t sum0 = 0, sum1 = 0;
    if (out1) {  // both channels in one pass over the row
      for (uint32_t i = 0; i < taps; ++i) {
        const int64_t c = row[i];
        sum0 += c * x0[i];
        sum1 += c * x1[i];
      }
    } else {
      for (uint32_t i = 0; i < taps; ++i) sum0 += static_cast<int64_t>(row[i]) * x0[i];
    }
    out0[count] = RoundToQ28(sum0);
    if (out1) out1[count] = RoundToQ28(sum1);
    ++count;
    phase_ += M;
    next_ += phase_ / L;
    phase_ %= L;
  }
  produced_ += count;
  return count;
}

void FullResampler::Compact() {
  // The next output reads from next_ - H + 1 on; what lies before is done.
  const uint32_t drop = std::min(next_ + 1 - ratio_.half, filled_);
  if (drop == 0) return;
  for (auto& h : history_) std::memmove(h.data(), h.data() + drop, (filled_ - drop) * sizeof(Q28));
  filled_ -= drop;
  next_ -= drop;
}

uint32_t FullResampler::Process(const Q28* channel0, const Q28* channel1, uint32_t n, Q28* out0, Q28* out1) {
  n = std::min(n, kMaxBlock);
  if (ratio_.half == 0) {  // equal rates: the samples themselves
    std::memcpy(out0, channel0, n * sizeof(Q28));
    if (out1) {
      if (channel1) {
        std::memcpy(out1, channel1, n * sizeof(Q28));
      } else {
        std::fill(out1, out1 + n, 0);
      }
    }
    produced_ += n;
    return n;
  }
  std::memcpy(history_[0].data() + filled_, channel0, n * sizeof(Q28));
  if (channel1) {
    std::memcpy(history_[1].data() + filled_, channel1, n * sizeof(Q28));
  } else {
    std::fill(history_[1].begin() + filled_, history_[1].begin() + filled_ + n, 0);
  }
  filled_ += n;
  const uint32_t count = Emit(UINT32_MAX, out0, out1);
  Compact();
  return count;
}

uint32_t FullResampler::Flush(Q28* out0, Q28* out1) {
  if (ratio_.half == 0) return 0;
  const uint32_t end = filled_;  // past the last input sample
  for (auto& h : history_) std::fill(h.begin() + filled_, h.begin() + filled_ + ratio_.half, 0);
  filled_ += ratio_.half;
  const uint32_t count = Emit(end, out0, out1);
  Compact();
  return count;
}

}  // namespace quorvel
