// The gate between an input file and the frame decoder: it takes the file's
// bytes as they arrive and passes on only the audio, with the tags and RIFF
// chunks around it removed, so that no tag byte ever reaches the frame search
// (album art is full of FF Fx pairs that look like frame headers).
//
// The audio leaves the gate in file order and unchanged, so that a decoder fed
// a wrapped file sees exactly the bytes of the bare stream.
//
// How the wrappers are found:
// - RIFF/WAVE and RF64: the chunk walk of ReadWaveLayout; only the data
//   chunk's payload passes, and only for the MPEG format tags.
// - Tags at the start, one after the other, by their declared sizes.
// - Tags inside or at the end of the stream: the gate follows the chain of
//   frames (each header gives the next one's place) and holds every frame
//   until the bytes after it are known to be a header or a tag. A tag is
//   recognised only where the chain breaks, never inside a frame (the bytes
//   "ID3" occur in frame payloads). Where the chain breaks on anything else,
//   the gate passes the bytes on and searches for three chained headers or a
//   tag that is followed by a header.
// - Where the input's size is known and its last bytes are given, the tags at
//   the end are found from the end before anything is decoded.
//   A frame cut short right before a tag is the one case this misses when
//   the size is unknown: its declared end lies inside the tag, and if the
//   tag's payload holds a header there, the chain runs on into the payload.
// - A tag whose declared size runs past the end of the input is damaged: the
//   audio resumes at the first chain of three headers inside the range it
//   claims, and the gate warns.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bitstream/free_format.h"
#include "container/riff.h"
#include "container/tags.h"

namespace quorvel {

// What the gate learned about the input.
struct GateReport {
  WaveLayout wave;             // status NotWave for a bare stream
  std::vector<TagInfo> tags;   // in file order
  std::vector<std::string> warnings;
  // Not empty when the input holds nothing to decode that the gate can name:
  // "already PCM audio (RIFF/WAVE, format 1), nothing to decode".
  std::string refusal;
  uint64_t audioBegin = 0;  // file offset of the first byte that may be audio
  uint64_t audioEnd = 0;    // file offset after the last byte passed on (or dropped past the audio)
  uint64_t tagBytes = 0;    // bytes of the tags removed
};

class AudioGate {
 public:
  // Bytes held without a verdict before the gate passes them on anyway, so
  // that a long run of garbage never grows the memory.
  static constexpr size_t kHoldLimit = size_t{1} << 16;

  AudioGate() = default;

  // The input's total size and, optionally, its last bytes (any number).
  // Call before the first Push.
  void SetInputSize(uint64_t size, std::span<const uint8_t> tail);
  void Push(std::span<const uint8_t> bytes);
  // The bytes from file offset `at` on, some of which may have been pushed
  // already (at <= InputEnd() <= at + bytes.size()), read where they are
  // instead of copied in when nothing the gate still needs lies before `at`
  // (else the new ones are copied in, as Push does). The bytes are lent:
  // call Keep() before they go away, and push nothing before that.
  void Lend(std::span<const uint8_t> bytes, uint64_t at);
  // Ends a loan: copies in the bytes still needed (the undecided ones and
  // the audio not yet taken), so that nothing is read from the lent bytes
  // after this. Does nothing when none are lent.
  void Keep();
  // The file offset after the last byte pushed or lent.
  uint64_t InputEnd() const { return HeldEnd(); }
  // The file offset of the first byte the gate still needs (pushed bytes
  // before it are never read again).
  uint64_t NeededFrom() const;
  // The end of the input: everything held is decided.
  void Finish();
  // Starts over at file offset `position` (a seek), keeping what is known
  // about the file (its layout, its size and the tags at its end).
  void Restart(uint64_t position);
  // Takes what `scan`, a gate that has seen the whole input (the frame
  // index's), learned of its layout: the data chunk's end, the tags at the
  // end, the free-format length and the report. A decoder that resumes at a
  // seek position never sees the file's start, and would otherwise take the
  // chunks after the audio for frames.
  void AdoptLayout(const AudioGate& scan);

  // Moves the audio bytes passed so far to the end of `out`.
  void Drain(std::vector<uint8_t>& out);
  // A reader that reads the audio where the gate holds it, instead of
  // draining a copy: the audio passed on and not yet taken, while it is one
  // run of held bytes (ReleasedRuns() <= 1; nothing removed inside it), and
  // Take(n) once the first n bytes of it are read. The bytes stay where they
  // are until the next Push, Lend or Keep.
  size_t ReleasedRuns() const { return released_.size(); }
  std::span<const uint8_t> Released() const;
  void Take(uint64_t n);
  // The number of audio bytes passed on since the start (or the Restart),
  // counted from the start position.
  uint64_t AudioPosition() const { return audioOut_; }
  // File offset of the audio byte at `audio` (in AudioPosition's count).
  uint64_t FileOffset(uint64_t audio) const;

  const GateReport& report() const { return report_; }
  // The free-format length measured on the stream's first free-format frame
  // (key 0 until then), kept for the stream.
  const FreeFormat& freeFormat() const { return freeFormat_; }

 private:
  enum class State : uint8_t { Start, Leading, Chain, Lost, DamagedTag, Done };

  void Run();
  bool StepStart();
  bool StepLeading();
  bool StepChain();
  bool StepLost();
  bool StepDamaged();

  uint64_t HeldEnd() const { return heldStart_ + size_; }
  // Reads the bytes from held_ again, after held_ changed.
  void ViewHeld() {
    bytes_ = held_.data();
    size_ = held_.size();
    lent_ = false;
  }
  // Bytes held from file offset `at` on (0 when `at` is past them), and
  // where they are (nullptr when none).
  size_t HeldFrom(uint64_t at) const {
    const uint64_t end = HeldEnd();
    return at < heldStart_ || at >= end ? 0 : static_cast<size_t>(end - at);
  }
  const uint8_t* At(uint64_t at) const { return HeldFrom(at) ? bytes_ + (at - heldStart_) : nullptr; }
  // The file offset where the audio must stop: the known end of the input,
  // of the data chunk or the start of the trailing tags, else UINT64_MAX.
  uint64_t Limit() const;
  // Every byte of the input has arrived (Finish, or as many as its size).
  bool AllHeld() const;
  // The length of the frame whose header is at p (n bytes held there), 0
  // when it has none the gate can compute (free format, not a header).
  uint64_t ChainedLength(const uint8_t* p, size_t n);
  void Release(uint64_t end);  // passes [pos_, end) on
  // Where the chain step, run frame after frame from the frame at `at`
  // (which it has just passed on up to), would stop passing frames on
  // (`at` when at once): a clean run of frames is released in one step.
  uint64_t ChainRunEnd(uint64_t at, uint64_t limit, bool final);
  void Drop(uint64_t end);     // discards [pos_, end)
  void AddTag(const TagInfo& tag);
  // At the end of the input: the tags at its end among the held bytes.
  void ScanEnd();
  void FinishTail();  // ScanEnd, then everything up to the limit passes  // at the end: the trailing tags among the held bytes

  State state_ = State::Start;
  std::vector<uint8_t> held_;  // input bytes from heldStart_ on, when none are lent
  // The bytes from heldStart_ on, where they are read: held_'s, or the lent
  // ones during a loan.
  const uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
  bool lent_ = false;
  uint64_t heldStart_ = 0;
  uint64_t pos_ = 0;           // file offset of the first undecided byte
  uint64_t searchFrom_ = 0;    // Lost, DamagedTag: where the search goes on
  TagInfo damaged_;            // DamagedTag: the tag whose range is searched
  bool finished_ = false;
  bool endScanned_ = false;
  uint64_t inputSize_ = kUnknownSize;
  uint64_t tagsAt_ = UINT64_MAX;  // start of the trailing tags found from the end
  uint64_t dataEnd_ = UINT64_MAX; // end of a RIFF data chunk

  // The audio passed on and not yet drained: file ranges of held bytes, in
  // order (the bytes stay held until Drain copies them out, so that each
  // byte is copied once on its way through).
  struct Range {
    uint64_t begin;
    uint64_t end;
  };
  std::vector<Range> released_;
  uint32_t lengthKey_ = 0;  // ChainedLength's header bits (0: none yet) and lengths
  uint64_t lengthMemo_[2] = {0, 0};
  uint64_t audioOut_ = 0;
  // Where the audio jumps: audio count -> file offset, from that count on.
  struct Segment {
    uint64_t audio;
    uint64_t file;
  };
  std::vector<Segment> segments_{{0, 0}};
  GateReport report_;
  FreeFormat freeFormat_;
};

}  // namespace quorvel
