// --start, --end and --duration: times on the output's timeline, and the
// slice of it that a decode writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::cli {

// A time as given: seconds (to the nanosecond) or a count of samples at the
// output rate.
struct TimeSpec {
  std::string text;      // as written, for messages
  bool samples = false;  // "123456s"
  uint64_t count = 0;    // samples, or nanoseconds
  // The sample index at `rate` Hz: the count itself, or the seconds times the
  // rate rounded to nearest.
  uint64_t At(uint32_t rate) const;
};

// Parses seconds ("90", "1.5"), "[[h:]m:]s[.fraction]" ("1:02:03.25",
// minutes and seconds below 60 after a colon, at most nine fraction digits)
// or samples ("123456s"). Throws UsageError naming `option` otherwise,
// negative values included.
TimeSpec ParseTime(const std::string& option, const std::string& text);

struct TrimSpec {
  std::optional<TimeSpec> start, end, duration;
  bool Any() const { return start || end || duration; }
};

// The slice [begin, end) of the output's samples per channel at `rate`.
// Throws Failure when it is empty (an end not after the start, a zero
// duration).
struct SampleRange {
  uint64_t begin = 0;
  uint64_t end = UINT64_MAX;
};
SampleRange Resolve(const TrimSpec& trim, uint32_t rate);

}  // namespace quorvel::cli
