// The frames of one stream as one timeline on a sink: damaged frames
// concealed by silence of their length, and (for WAV) one rate and channel
// count for the whole file.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "console.h"
#include "md5.h"
#include "quorvel/decoder.hpp"
#include "sinks.h"
#include "trim.h"

namespace quorvel::cli {

class Timeline {
 public:
  // oneFormat: every frame in the first frame's format (the decoder converts
  // the rate; the channels are remixed here). conceal: silence for a frame
  // whose body was rejected. md5, when given, hashes what the sink gets.
  Timeline(Sink& sink, bool oneFormat, bool conceal, Md5* md5, Progress& progress)
      : sink_(sink), oneFormat_(oneFormat), conceal_(conceal), md5_(md5), progress_(progress) {}

  void Take(const Frame& f);
  // Opens the sink with the frame's format, unless it is open already.
  void Start(const Frame& f);
  const PcmFormat& Format() const { return format_; }

  // Writes only the slice `trim` of the timeline; resolved against the rate
  // of the output's first frame (Start throws Failure for an empty slice).
  void SetTrim(const TrimSpec& trim) { trim_ = trim; }
  // After a seek: the slice as already resolved, and the timeline's position
  // of the first sample to come.
  void Resume(const SampleRange& range, uint64_t position) {
    range_ = range;
    resolved_ = true;
    position_ = position;
  }
  // Samples per channel of the whole timeline so far, and its slice.
  uint64_t Position() const { return position_; }
  const SampleRange& Range() const { return range_; }

 private:
  void Emit(std::span<const uint8_t> pcm, int channels);
  std::span<const uint8_t> Remix(const Frame& f);

  Sink& sink_;
  bool oneFormat_;
  bool conceal_;
  Md5* md5_;
  Progress& progress_;
  bool started_ = false;
  PcmFormat format_;
  std::vector<uint8_t> scratch_;
  TrimSpec trim_;
  SampleRange range_;
  uint64_t position_ = 0;  // samples per channel the timeline has reached
  bool resolved_ = false;  // range_ holds the slice
};

}  // namespace quorvel::cli
