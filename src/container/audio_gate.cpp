// The gate's states, in the order a file meets them:
//   Start       RIFF/WAVE or RF64? then only the data chunk goes on
//   Leading     tags at the start, one after the other
//   Chain       a frame at pos_: held until the bytes after it are a header
//               (it passes on) or a tag (removed), else Lost
//   Lost        no frame at pos_: search for three chained headers or for a
//               tag that a header follows; the bytes before it pass on
//   DamagedTag  a tag claims more bytes than the input has: search for three
//               chained headers inside its range
//   Done        past the audio: everything is dropped
// Every step either moves on (returns true) or waits for input (false).
#include "container/audio_gate.h"

#include <algorithm>
#include <cstring>

#include "bitstream/frame.h"

namespace quorvel {
namespace {

// Bytes after a frame that must be held before the frame passes on: enough
// to recognise any tag header.
constexpr uint64_t kBreakBytes = kTagHeaderBytes;
// The longest frame the decoder accepts (MPEG-1 Layer II at 384 kbit/s and
// 32 kHz, padded, is 1729; Layer I at 448 kbit/s and 32 kHz is 672; the
// buffer bound is 2881).
constexpr uint64_t kLongestFrame = 2881;
// A chain of three headers lies within this many bytes of its start.
constexpr uint64_t kChainBytes = 2 * kLongestFrame + 4;
constexpr uint64_t kId3v1Bytes = 128;
constexpr uint64_t kId3v1EnhancedBytes = 227;
// LYRICSBEGIN ... six digits (at most 999999) LYRICS200.
constexpr uint64_t kLyricsMaxBytes = 999999 + 15;

bool Marker(const uint8_t* p, size_t n, const char* text) {
  const size_t m = std::strlen(text);
  return n >= m && std::memcmp(p, text, m) == 0;
}

// The sync pattern and fields no frame header may hold (reserved version,
// layer or rate, the forbidden bitrate index); free format passes.
bool HeaderAt(const uint8_t* p, size_t n) {
  if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  return ((p[1] >> 3) & 3) != 1 && ((p[1] >> 1) & 3) != 0 && (p[2] >> 4) != 15 && ((p[2] >> 2) & 3) != 3;
}

// The length of the frame whose header is at p, or 0 when it has none this
// gate can compute (free format, or not a header).
uint64_t FrameLengthAt(const uint8_t* p, size_t n) {
  if (!HeaderAt(p, n)) return 0;
  const uint32_t versionBits = (p[1] >> 3) & 3;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
  const uint32_t layer = 4 - ((p[1] >> 1) & 3);
  const uint32_t bitrateIndex = p[2] >> 4;
  if (bitrateIndex == 0) return 0;
  const bool lsf = versionBits != 3;
  const uint32_t row = lsf ? 3 + (layer >> 1) : layer - 1;
  const uint64_t bitrate = BitrateTable[row][bitrateIndex];
  uint64_t rate = SampleRateTable[(p[2] >> 2) & 3];
  if (lsf) rate >>= 1;
  if (versionBits == 0) rate >>= 1;
  const uint64_t padding = (p[2] >> 1) & 1;
  if (layer == 1) return (12 * bitrate / rate + padding) * 4;
  if (layer == 3 && lsf) return 72 * bitrate / rate + padding;
  return 144 * bitrate / rate + padding;
}

// The tag that starts at p (n bytes held, `toEnd` to the end of the input
// or kUnknownLength), where the chain of frames breaks: ID3v2 or an APEv2
// header by TagAt, ID3v1 and its enhanced block, Lyrics3v2 by the size at its
// end. *wait is set when the bytes held cannot tell yet and more will come.
std::optional<TagInfo> TagOfBreak(const uint8_t* p, size_t n, uint64_t at, uint64_t toEnd, bool final, bool* wait) {
  *wait = false;
  if (n == 0) return std::nullopt;
  // Not enough bytes to tell yet, while the bytes held agree with a marker.
  if (!final && n < kTagHeaderBytes) {
    static const char* const kMarkers[] = {"ID3", "APETAGEX", "TAG", "LYRICSBEGIN"};
    for (const char* m : kMarkers) {
      if (std::memcmp(p, m, std::min(n, std::strlen(m))) == 0) {
        *wait = true;
        return std::nullopt;
      }
    }
    return std::nullopt;
  }
  if (std::optional<TagInfo> tag = TagAt(std::span<const uint8_t>(p, n), at, toEnd)) return tag;
  if (Marker(p, n, "TAG+")) return TagInfo{TagType::Id3v1Enhanced, at, kId3v1EnhancedBytes, kId3v1EnhancedBytes > toEnd};
  if (Marker(p, n, "TAG")) return TagInfo{TagType::Id3v1, at, kId3v1Bytes, kId3v1Bytes > toEnd};
  if (Marker(p, n, "LYRICSBEGIN")) {
    // The size is only at the end: six digits counting from LYRICSBEGIN to
    // themselves, then LYRICS200.
    const size_t last = static_cast<size_t>(std::min<uint64_t>(n, kLyricsMaxBytes));
    for (size_t j = 11 + 6; j + 9 <= last; ++j) {
      if (std::memcmp(p + j, "LYRICS200", 9) != 0) continue;
      uint64_t counted = 0;
      bool digits = true;
      for (size_t k = j - 6; k < j; ++k) {
        digits = digits && p[k] >= '0' && p[k] <= '9';
        counted = counted * 10 + static_cast<uint64_t>(p[k] - '0');
      }
      if (digits && counted == j - 6) return TagInfo{TagType::Lyrics3v2, at, counted + 15, false};
    }
    if (!final && n < kLyricsMaxBytes) *wait = true;
  }
  return std::nullopt;
}

}  // namespace

void AudioGate::SetInputSize(uint64_t size, std::span<const uint8_t> tail) {
  inputSize_ = size;
  if (tail.size() > size) tail = tail.last(static_cast<size_t>(size));
  if (tail.empty()) return;
  const TrailingTags found = FindTrailingTags(tail, size - tail.size());
  for (const TagInfo& tag : found.tags) {
    AddTag(tag);
    if (tag.damaged) {
      report_.warnings.push_back(std::string("a damaged ") + TagTypeName(tag.type) + " tag at the end (offset " +
                                 std::to_string(tag.offset) + ") claims more bytes than lie before it");
    }
  }
  tagsAt_ = found.audioEnd;
  endScanned_ = true;
}

uint64_t AudioGate::NeededFrom() const {
  uint64_t needed = std::min<uint64_t>(pos_, HeldEnd());
  if (!released_.empty()) needed = std::min(needed, released_.front().begin);
  return needed;
}

void AudioGate::Push(std::span<const uint8_t> bytes) {
  Keep();
  // Drop what is decided once it is large and more than half the buffer
  // (but not the audio passed on and not yet drained, which is still read
  // from here).
  const uint64_t used = NeededFrom() - heldStart_;
  if (used >= kHoldLimit && used * 2 > held_.size()) {
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(used));
    heldStart_ += used;
  }
  held_.insert(held_.end(), bytes.begin(), bytes.end());
  ViewHeld();
  Run();
}

void AudioGate::Lend(std::span<const uint8_t> bytes, uint64_t at) {
  Keep();
  const uint64_t have = HeldEnd() - at;  // the first bytes, pushed already
  if (NeededFrom() < at) {
    Push(bytes.subspan(static_cast<size_t>(have)));
    return;
  }
  held_.clear();
  heldStart_ = at;
  bytes_ = bytes.data();
  size_ = bytes.size();
  lent_ = true;
  Run();
}

void AudioGate::Keep() {
  if (!lent_) return;
  const uint64_t from = NeededFrom();
  const uint8_t* p = bytes_ + (from - heldStart_);
  try {
    held_.assign(p, p + (HeldEnd() - from));
  } catch (...) {
    // Nothing may point into the lent bytes: what was held is lost.
    held_.clear();
    released_.clear();
    heldStart_ = pos_ = searchFrom_ = HeldEnd();
    ViewHeld();
    throw;
  }
  heldStart_ = from;
  ViewHeld();
}

void AudioGate::Finish() {
  if (finished_) return;
  finished_ = true;
  if (inputSize_ == kUnknownSize) inputSize_ = HeldEnd();
  Run();
}

void AudioGate::Restart(uint64_t position) {
  held_.clear();
  ViewHeld();
  heldStart_ = pos_ = searchFrom_ = position;
  finished_ = false;
  released_.clear();
  audioOut_ = position;
  segments_.assign(1, Segment{position, position});
  state_ = position == 0 ? State::Start : State::Chain;
}

void AudioGate::AdoptLayout(const AudioGate& scan) {
  dataEnd_ = std::min(dataEnd_, scan.dataEnd_);
  tagsAt_ = std::min(tagsAt_, scan.tagsAt_);
  if (inputSize_ == kUnknownSize) inputSize_ = scan.inputSize_;
  if (freeFormat_.key == 0) freeFormat_ = scan.freeFormat_;
  const uint64_t audioEnd = report_.audioEnd;
  report_ = scan.report();
  report_.audioEnd = audioEnd;
}

void AudioGate::Drain(std::vector<uint8_t>& out) {
  for (const Range& r : released_) {
    const uint8_t* p = bytes_ + (r.begin - heldStart_);
    out.insert(out.end(), p, p + (r.end - r.begin));
  }
  released_.clear();
}

std::span<const uint8_t> AudioGate::Released() const {
  if (released_.empty()) return {};
  const Range& r = released_.front();
  return {bytes_ + (r.begin - heldStart_), static_cast<size_t>(r.end - r.begin)};
}

void AudioGate::Take(uint64_t n) {
  while (n > 0 && !released_.empty()) {
    Range& r = released_.front();
    const uint64_t step = std::min(n, r.end - r.begin);
    r.begin += step;
    n -= step;
    if (r.begin == r.end) released_.erase(released_.begin());
  }
}

uint64_t AudioGate::FileOffset(uint64_t audio) const {
  // Mostly asked about the audio since the last jump.
  if (audio >= segments_.back().audio) return segments_.back().file + (audio - segments_.back().audio);
  auto it = std::upper_bound(segments_.begin(), segments_.end(), audio,
                             [](uint64_t a, const Segment& s) { return a < s.audio; });
  if (it == segments_.begin()) return audio;  // before the start position: counted as is
  --it;
  return it->file + (audio - it->audio);
}

bool AudioGate::AllHeld() const { return finished_ || HeldEnd() >= inputSize_; }

uint64_t AudioGate::Limit() const {
  uint64_t limit = std::min({dataEnd_, tagsAt_, inputSize_});
  if (finished_) limit = std::min(limit, HeldEnd());
  return limit;
}

void AudioGate::Release(uint64_t end) {
  end = std::min(end, HeldEnd());  // only bytes held can pass
  if (end <= pos_) return;
  if (FileOffset(audioOut_) != pos_) {
    if (segments_.back().audio == audioOut_) {
      segments_.back().file = pos_;
    } else {
      segments_.push_back(Segment{audioOut_, pos_});
    }
  }
  if (!released_.empty() && released_.back().end == pos_) {
    released_.back().end = end;
  } else {
    released_.push_back(Range{pos_, end});
  }
  audioOut_ += end - pos_;
  pos_ = end;
  report_.audioEnd = end;
}

void AudioGate::Drop(uint64_t end) {
  if (end > pos_) pos_ = end;
}

void AudioGate::AddTag(const TagInfo& tag) {
  for (const TagInfo& known : report_.tags) {
    if (known.offset == tag.offset && known.type == tag.type) return;  // met again after a Restart
  }
  report_.tags.push_back(tag);
  std::sort(report_.tags.begin(), report_.tags.end(),
            [](const TagInfo& a, const TagInfo& b) { return a.offset < b.offset; });
  if (!tag.damaged) report_.tagBytes += tag.size;
}

void AudioGate::Run() {
  for (;;) {
    bool moved = false;
    switch (state_) {
      case State::Start: moved = StepStart(); break;
      case State::Leading: moved = StepLeading(); break;
      case State::Chain: moved = StepChain(); break;
      case State::Lost: moved = StepLost(); break;
      case State::DamagedTag: moved = StepDamaged(); break;
      case State::Done: Drop(HeldEnd()); return;
    }
    if (!moved) return;
  }
}

bool AudioGate::StepStart() {
  const size_t held = HeldFrom(pos_);
  const WaveLayout layout = ReadWaveLayout(std::span<const uint8_t>(At(pos_), held), inputSize_);
  if (layout.status == WaveStatus::NeedMore && !finished_) return false;
  if (layout.status == WaveStatus::NotWave) {
    state_ = State::Leading;
    return true;
  }
  report_.wave = layout;
  if (layout.status != WaveStatus::Ok) {
    report_.refusal = std::string("a ") + (layout.kind == WaveKind::None ? "RIFF" : WaveKindName(layout.kind)) +
                      " file with no MPEG audio (" + WaveStatusText(layout.status) + ")";
    state_ = State::Done;
    return true;
  }
  if (IsPcmFormat(layout.formatTag)) {
    report_.refusal = AlreadyPcmMessage(layout);
    state_ = State::Done;
    return true;
  }
  if (!IsMpegFormat(layout.formatTag)) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", layout.formatTag);
    report_.refusal = std::string("not MPEG audio (") + WaveKindName(layout.kind) + ", format " + tag + ")";
    state_ = State::Done;
    return true;
  }
  if (layout.dataSize != kUnknownSize) dataEnd_ = layout.dataOffset + layout.dataSize;
  Drop(layout.dataOffset);
  report_.audioBegin = report_.audioEnd = layout.dataOffset;
  state_ = State::Leading;
  return true;
}

bool AudioGate::StepLeading() {
  const uint64_t limit = Limit();
  const size_t held = HeldFrom(pos_);
  if (held < kTagHeaderBytes && !finished_ && pos_ + held < limit) return false;
  const uint64_t toEnd = limit == UINT64_MAX ? kUnknownLength : limit - std::min(limit, pos_);
  const size_t usable = static_cast<size_t>(std::min<uint64_t>(held, toEnd));
  const std::optional<TagInfo> tag = TagAt(std::span<const uint8_t>(At(pos_), usable), pos_, toEnd);
  if (!tag) {
    report_.audioBegin = report_.audioEnd = pos_;
    state_ = State::Chain;
    return true;
  }
  // With the input's end unknown, the tag's bytes are held until its end has
  // arrived (or the input ended inside it, and it is damaged); with the end
  // known, a tag that fits is skipped without holding its bytes.
  if (!tag->damaged && held < tag->size && toEnd == kUnknownLength && !finished_) return false;
  TagInfo t = *tag;
  if (held < t.size && toEnd == kUnknownLength) t.damaged = true;  // finished: the input ends inside it
  AddTag(t);
  if (t.damaged) {
    damaged_ = t;
    searchFrom_ = t.offset + 1;
    state_ = State::DamagedTag;
    return true;
  }
  Drop(t.offset + t.size);
  return true;
}

bool AudioGate::StepChain() {
  const uint64_t limit = Limit();
  if (pos_ >= limit) {
    state_ = State::Done;
    return true;
  }
  const size_t usable = static_cast<size_t>(std::min<uint64_t>(HeldFrom(pos_), limit - pos_));
  // All the bytes there will ever be up to the limit are held.
  const bool final = finished_ || HeldEnd() >= limit;
  if (usable < kBreakBytes && !final) return false;
  bool wait = false;
  // Every tag begins with a letter: where a sync byte stands there is none.
  const std::optional<TagInfo> tag =
      usable > 0 && *At(pos_) == 0xFF ? std::nullopt
                        : TagOfBreak(At(pos_), usable, pos_, limit == UINT64_MAX ? kUnknownLength : limit - pos_, final, &wait);
  if (wait) return false;
  if (tag) {
    const bool endKnown = limit != UINT64_MAX;
    if (!tag->damaged && usable < tag->size && !final && !endKnown) return false;
    TagInfo t = *tag;
    if (usable < t.size && !endKnown) t.damaged = true;
    AddTag(t);
    if (t.damaged) {
      damaged_ = t;
      searchFrom_ = t.offset + 1;
      state_ = State::DamagedTag;
      return true;
    }
    Drop(t.offset + t.size);
    return true;
  }
  uint64_t length = ChainedLength(At(pos_), usable);
  if (length == 0 && FreeFormatKey(At(pos_), usable) != 0) {
    if (freeFormat_.key == 0) {
      const FreeFormatMeasure measure = MeasureFreeFormat(std::span<const uint8_t>(At(pos_), usable), final);
      if (measure.status == FreeFormatStatus::NeedMore) return false;
      if (measure.status == FreeFormatStatus::Found) freeFormat_ = measure.format;
    }
    length = FreeFormatFrameLength(freeFormat_, At(pos_), usable);
  }
  if (length == 0) {
    searchFrom_ = pos_ + 1;
    state_ = State::Lost;
    return true;
  }
  const uint64_t next = pos_ + length;
  if (next >= limit) {
    if (!final) return false;
    if (next > limit && AllHeld() && !endScanned_) {
      ScanEnd();  // a cut frame, or tags the chain ran into
      return true;
    }
    Release(limit);  // the last frame, whole or cut short
    state_ = State::Done;
    return true;
  }
  const size_t after = static_cast<size_t>(std::min<uint64_t>(HeldFrom(next), limit - next));
  if (after < kBreakBytes && !final) return false;
  bool tagWait = false;
  if (HeaderAt(At(next), after) ||
      TagOfBreak(At(next), after, next, limit == UINT64_MAX ? kUnknownLength : limit - next, final, &tagWait) ||
      tagWait) {
    Release(ChainRunEnd(next, limit, final));
    return true;
  }
  searchFrom_ = pos_ + 1;
  state_ = State::Lost;
  return true;
}

uint64_t AudioGate::ChainRunEnd(uint64_t at, uint64_t limit, bool final) {
  // The plainest case of the chain step, repeated: a header at `at` (so no
  // tag there), its length known, and a header right after it, all within
  // the limit and with the bytes to decide. Anything else is left to the
  // step, which then decides as it would have frame by frame.
  for (;;) {
    const size_t usable = static_cast<size_t>(std::min<uint64_t>(HeldFrom(at), limit - at));
    if ((usable < kBreakBytes && !final) || usable == 0 || *At(at) != 0xFF) return at;
    const uint64_t length = ChainedLength(At(at), usable);
    if (length == 0) return at;
    const uint64_t next = at + length;
    if (next >= limit) return at;
    const size_t after = static_cast<size_t>(std::min<uint64_t>(HeldFrom(next), limit - next));
    if ((after < kBreakBytes && !final) || !HeaderAt(At(next), after)) return at;
    at = next;
  }
}

uint64_t AudioGate::ChainedLength(const uint8_t* p, size_t n) {
  // A frame's length depends on its header's second and third bytes only
  // (but not on the private bit): kept for the last header seen, with and
  // without the padding slot.
  if (n < 4 || p[0] != 0xFF) return FrameLengthAt(p, n);
  const uint32_t key = 0x10000u | uint32_t{p[1]} << 8 | (p[2] & 0xFCu);
  if (key != lengthKey_) {
    lengthKey_ = key;
    lengthMemo_[0] = lengthMemo_[1] = 0;
  }
  uint64_t& length = lengthMemo_[p[2] >> 1 & 1];
  if (length == 0) length = FrameLengthAt(p, n);
  return length;
}

bool AudioGate::StepLost() {
  // At the end of the input the tags at its end are known from there, which
  // also finds those that cannot be recognised from their start (APE
  // without a header).
  if (AllHeld()) ScanEnd();
  const uint64_t limit = Limit();
  const uint64_t end = std::min(HeldEnd(), limit);
  const bool final = finished_ || HeldEnd() >= limit;
  if (pos_ >= end) {
    if (!final) return false;
    state_ = State::Done;
    return true;
  }
  const std::span<const uint8_t> bytes(At(pos_), static_cast<size_t>(end - pos_));
  uint64_t scanEnd = final ? end : (end > kChainBytes + kBreakBytes ? end - kChainBytes - kBreakBytes : 0);
  if (scanEnd > searchFrom_) {
    const std::optional<size_t> chain =
        FindFrameChain(bytes, static_cast<size_t>(searchFrom_ - pos_), static_cast<size_t>(scanEnd - pos_));
    uint64_t found = chain ? pos_ + *chain : UINT64_MAX;
    // A tag counts here only when it is whole and a header (or the end of the
    // input) follows it: its markers alone occur in any payload.
    for (uint64_t x = searchFrom_; x < std::min(found, scanEnd); ++x) {
      const uint8_t c = bytes[static_cast<size_t>(x - pos_)];
      if (c != 'I' && c != 'A' && c != 'T' && c != 'L') continue;
      bool wait = false;
      const size_t n = static_cast<size_t>(end - x);
      const std::optional<TagInfo> tag =
          TagOfBreak(At(x), n, x, limit == UINT64_MAX ? kUnknownLength : limit - x, final, &wait);
      if (wait) {
        scanEnd = x;  // decide once more bytes are held
        break;
      }
      if (!tag || tag->damaged) continue;
      if (tag->size > n) {
        if (final) continue;
        scanEnd = x;
        break;
      }
      const uint64_t after = x + tag->size;
      if ((after == end && final) || HeaderAt(At(after), HeldFrom(after))) {
        found = x;
        break;
      }
    }
    if (found < scanEnd) {
      Release(found);
      state_ = State::Chain;
      return true;
    }
    searchFrom_ = std::max(searchFrom_, scanEnd);
  }
  if (final) {
    FinishTail();
    return true;
  }
  if (searchFrom_ - pos_ > kHoldLimit) Release(searchFrom_);  // nothing to wait for in what was searched
  return false;
}

bool AudioGate::StepDamaged() {
  const uint64_t limit = Limit();
  const uint64_t damagedEnd = damaged_.offset + damaged_.size;
  const uint64_t heldEnd = HeldEnd();
  const uint64_t end = std::min({heldEnd, limit, damagedEnd});
  const bool final = finished_ || heldEnd >= std::min(limit, damagedEnd);
  // A chain found near the end of what is held could still be cut short.
  const uint64_t scanEnd = final ? end : (end > kChainBytes ? end - kChainBytes : 0);
  std::optional<size_t> chain;
  if (scanEnd > searchFrom_ && std::min(heldEnd, limit) > pos_) {
    const std::span<const uint8_t> bytes(At(pos_), static_cast<size_t>(std::min(heldEnd, limit) - pos_));
    chain = FindFrameChain(bytes, static_cast<size_t>(searchFrom_ - pos_), static_cast<size_t>(scanEnd - pos_));
    searchFrom_ = scanEnd;
  }
  const std::string what = std::string("a damaged ") + TagTypeName(damaged_.type) + " tag at offset " +
                           std::to_string(damaged_.offset) + " claims " + std::to_string(damaged_.size) +
                           " bytes, more than the input holds";
  if (chain) {
    const uint64_t resume = pos_ + *chain;
    report_.warnings.push_back(what + "; the audio resumes at offset " + std::to_string(resume));
    if (report_.audioEnd <= report_.audioBegin) report_.audioBegin = report_.audioEnd = resume;
    Drop(resume);
    state_ = State::Chain;
    return true;
  }
  if (!final) return false;
  report_.warnings.push_back(what + "; no audio found in its range");
  Drop(end);
  state_ = State::Done;
  return true;
}

void AudioGate::FinishTail() {
  ScanEnd();
  Release(Limit());
  state_ = State::Done;
}

void AudioGate::ScanEnd() {
  if (endScanned_) return;
  endScanned_ = true;
  const uint64_t end = Limit();
  if (pos_ >= end) return;
  const std::span<const uint8_t> bytes(At(pos_), static_cast<size_t>(end - pos_));
  const TrailingTags found = FindTrailingTags(bytes, pos_);
  for (const TagInfo& tag : found.tags) {
    AddTag(tag);
    if (tag.damaged) {
      report_.warnings.push_back(std::string("a damaged ") + TagTypeName(tag.type) + " tag at the end (offset " +
                                 std::to_string(tag.offset) + ") claims more bytes than lie before it");
    }
  }
  tagsAt_ = std::min(tagsAt_, found.audioEnd);
}

}  // namespace quorvel
