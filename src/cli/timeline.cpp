#include "timeline.h"

#include <algorithm>

namespace quorvel::cli {
namespace {

// The header was sound, so the frame's place and length in the timeline are
// known; only its body was refused.
bool BodyRejected(SkipReason r) {
  return r == SkipReason::CrcError || r == SkipReason::BadScalefactor || r == SkipReason::BadAllocation;
}

}  // namespace

void Timeline::Take(const Frame& f) {
  if (f.decoded()) {
    Start(f);
    if (!oneFormat_ || f.channels == format_.channels) {
      Emit(f.bytes, f.channels);
    } else {
      Emit(Remix(f), format_.channels);
    }
  } else if (f.hasFormat && BodyRejected(f.skipped) && conceal_) {
    Start(f);
    uint64_t samples = f.samples;
    if (oneFormat_ && f.sampleRate != format_.rate) samples = samples * format_.rate / f.sampleRate;
    const int channels = oneFormat_ ? format_.channels : f.channels;
    scratch_.assign(samples * static_cast<uint64_t>(channels) * 2, 0);
    Emit(scratch_, channels);
  } else {
    return;
  }
  progress_.audioMicros += static_cast<uint64_t>(1e6 * f.samples / f.sampleRate);
}

void Timeline::Start(const Frame& f) {
  if (started_) return;
  format_ = {f.sampleRate, f.channels};
  if (!resolved_) range_ = Resolve(trim_, format_.rate);
  resolved_ = true;
  sink_.Begin(format_);
  started_ = true;
}

// Writes the part of `pcm` (the timeline's samples from position_ on) that
// lies within the slice.
void Timeline::Emit(std::span<const uint8_t> pcm, int channels) {
  const uint64_t width = static_cast<uint64_t>(channels) * 2;
  const uint64_t count = pcm.size() / width;
  const uint64_t from = std::clamp(range_.begin, position_, position_ + count) - position_;
  const uint64_t to = std::clamp(range_.end, position_, position_ + count) - position_;
  position_ += count;
  if (to <= from) return;
  pcm = pcm.subspan(from * width, (to - from) * width);
  sink_.Write(pcm);
  if (md5_) md5_->Update(pcm.data(), pcm.size());
}

// A single-channel frame goes to both channels; a two-channel frame is
// averaged into one.
std::span<const uint8_t> Timeline::Remix(const Frame& f) {
  scratch_.clear();
  auto put = [this](int v) {
    scratch_.push_back(static_cast<uint8_t>(v & 0xFF));
    scratch_.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  };
  for (uint32_t i = 0; i < f.samples; ++i) {
    if (f.channels == 1) {
      put(f.pcm[i]);
      put(f.pcm[i]);
    } else {
      put((f.pcm[2 * i] + f.pcm[2 * i + 1]) >> 1);
    }
  }
  return scratch_;
}

}  // namespace quorvel::cli
