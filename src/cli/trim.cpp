#include "trim.h"

#include <algorithm>
#include <vector>

#include "input.h"
#include "options.h"

namespace quorvel::cli {
namespace {

constexpr uint64_t kNanosPerSecond = 1000000000;
// Longer than any stream (about 31 years), and small enough that the
// nanoseconds fit 64 bits.
constexpr uint64_t kMaxSeconds = 1000000000;

bool AllDigits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// A run of at most 18 digits as a number.
std::optional<uint64_t> Digits(const std::string& s) {
  if (!AllDigits(s) || s.size() > 18) return std::nullopt;
  return std::stoull(s);
}

}  // namespace

uint64_t TimeSpec::At(uint32_t rate) const {
  if (samples) return count;
  const uint64_t whole = count / kNanosPerSecond, nanos = count % kNanosPerSecond;
  return whole * rate + (nanos * rate + kNanosPerSecond / 2) / kNanosPerSecond;
}

TimeSpec ParseTime(const std::string& option, const std::string& text) {
  auto bad = [&](const std::string& why) {
    return UsageError(option + " " + (text.empty() ? "''" : text) + ": " + why);
  };
  const char* form = "not a time: give seconds (12.5), [[h:]m:]s[.fraction] (1:02:03.5) or samples (123456s)";
  TimeSpec t;
  t.text = text;
  if (!text.empty() && text[0] == '-') throw bad("negative times are not allowed");
  if (!text.empty() && text.back() == 's') {
    const auto n = Digits(text.substr(0, text.size() - 1));
    if (!n) throw bad(form);
    t.samples = true;
    t.count = *n;
    return t;
  }
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1) {
    parts.push_back(text.substr(from, colon - from));
  }
  parts.push_back(text.substr(from));
  if (parts.size() > 3) throw bad(form);
  std::string secondsText = parts.back(), fraction;
  if (const size_t dot = secondsText.find('.'); dot != std::string::npos) {
    fraction = secondsText.substr(dot + 1);
    secondsText = secondsText.substr(0, dot);
    if (!AllDigits(fraction)) throw bad(form);
    if (fraction.size() > 9) throw bad("more than nine digits after the point");
  }
  uint64_t seconds = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const auto n = Digits(i + 1 == parts.size() ? secondsText : parts[i]);
    if (!n) throw bad(form);
    // After a colon, minutes and seconds count below 60.
    if (i > 0 && *n >= 60) throw bad(i + 1 == parts.size() ? "seconds after a colon must be below 60"
                                                            : "minutes after a colon must be below 60");
    seconds = seconds * 60 + std::min(*n, kMaxSeconds + 1);  // both at most kMaxSeconds + 1 before: no overflow
    if (seconds > kMaxSeconds) throw bad("too long");
  }
  uint64_t nanos = 0;
  if (!fraction.empty()) {
    nanos = std::stoull(fraction);
    for (size_t i = fraction.size(); i < 9; ++i) nanos *= 10;
  }
  t.count = seconds * kNanosPerSecond + nanos;
  return t;
}

SampleRange Resolve(const TrimSpec& trim, uint32_t rate) {
  SampleRange r;
  if (trim.start) r.begin = trim.start->At(rate);
  if (trim.end) {
    r.end = trim.end->At(rate);
    if (r.end <= r.begin) {
      throw Failure("--end " + trim.end->text + " is not after --start " + (trim.start ? trim.start->text : "0"));
    }
  }
  if (trim.duration) {
    const uint64_t length = trim.duration->At(rate);
    if (length == 0) throw Failure("--duration " + trim.duration->text + " is no sample long at " +
                                   std::to_string(rate) + " Hz");
    r.end = r.begin + length;
  }
  return r;
}

}  // namespace quorvel::cli
