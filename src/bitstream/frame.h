// Frames in the host's buffer: the scan state, the parsed header, the status
// codes, and the operations that locate and parse a frame (the layer decoders,
// in layers/, decode its body).
//
// The cursor works in place on the host's buffer and keeps offsets into it,
// so that no pointer is ever formed outside the buffer.
#pragma once

#include <array>
#include <cstdint>

#include "bitstream/bit_reader.h"
#include "bitstream/free_format.h"
#include "fixed.h"

namespace quorvel {

// Status codes. The high byte is the class: 0 input, 1 header, 2 frame body.
enum Status : int32_t {
  StatusNeedData = 1,          // the buffer ends before a frame and 8 more bytes
  StatusNoInput = 2,           // no buffer has been given since ResetCursor
  StatusBadHeader = 0x101,     // no sync where expected, or an invalid header
  StatusUnsupportedLayer = 0x102, // a sound Layer III frame, located and passed over
  StatusCrcError = 0x201,      // protected bits do not match the stored CRC
  StatusBadAllocation = 0x211, // Layer I allocation code 15
  StatusBadScalefactor = 0x221 // scalefactor index 63
};

constexpr uint32_t FlagProtected = 0x10;   // a 16-bit CRC word follows the header
constexpr uint32_t FlagExtraSlot = 0x80;   // the frame is one slot longer
constexpr uint32_t FlagLsf = 0x1000;       // MPEG-2 LSF, and every MPEG-2.5 header
constexpr uint32_t FlagMpeg25 = 0x4000;    // MPEG-2.5 (quarter sample rates)
constexpr uint32_t FlagFreeFormat = 0x10000; // bitrate index 0: the length comes from the stream

// Mode codes: 3 - the header's mode field.
constexpr int32_t kModeSingleChannel = 0;
constexpr int32_t kModeDualChannel = 1;
constexpr int32_t kModeJointStereo = 2;
constexpr int32_t kModeStereo = 3;

constexpr int kMaxChannels = 2;
constexpr int kSubbands = 32;
constexpr int kMaxSlots = 36;
constexpr int kSamplesPerChannel = kSubbands * kMaxSlots;  // 1152

// Dequantised subband samples of one frame, [channel][slot * 32 + subband].
using SubbandSamples = std::array<std::array<Q28, kSamplesPerChannel>, kMaxChannels>;

// What requantisation needs once a layer decoder has stored the sample codes
// in frame.samples, so that both arithmetic tiers start from the same codes.
// A part is 12 slots under one scalefactor: Layer I has one, Layer II three.
// quantClass is 1 + the quantisation class of ISO/IEC 11172-3 Table 3-B.4
// with the same number of levels (a Layer I allocation of nb bits has
// 2^nb - 1 levels: class 0 for nb = 2, 2 for nb = 3, nb from 4 on), or 0 where
// nothing is transmitted; such a subband requantises to 0 whatever its codes.
struct RequantPlan {
  int32_t parts = 0;
  uint8_t quantClass[kMaxChannels][kSubbands] = {};
  uint8_t scalefactor[kMaxChannels][kSubbands][3] = {};  // [channel][subband][part]
};

struct FrameState {
  // The parsed header.
  uint32_t layer = 0;          // 1 Layer I, 2 Layer II, 3 Layer III
  int32_t modeCode = 0;        // 3 stereo, 2 joint stereo, 1 dual channel, 0 single
  uint32_t modeExtension = 0;  // 0..3
  uint32_t bitrate = 0;        // bit/s
  uint32_t sampleRate = 0;     // Hz, already halved (LSF) or quartered (MPEG-2.5)
  uint16_t runningCrc = 0;     // CRC register over the protected bits read so far
  uint16_t storedCrc = 0;      // CRC word that followed a protected header
  uint32_t flags = 0;          // Flag... bits
  uint32_t freeBase = 0;       // a free-format frame's length without padding; 0 otherwise
  uint16_t nominalCrc = 0;     // free format: the CRC register with the header's nominal bitrate index
  bool hasNominalCrc = false;
  // Written by the layer decoders.
  SubbandSamples samples{};
  RequantPlan plan{};
};

struct InputCursor {
  const uint8_t* buffer = nullptr;  // the host's current buffer
  uint32_t length = 0;              // its length in bytes
  int32_t hasBuffer = 0;            // 0 until a buffer is given after ResetCursor
  int32_t synchronised = 0;         // 1: the next header is expected exactly at resume
  uint32_t frameStart = 0;          // offset of the frame (or rejected place) located last
  uint32_t resume = 0;              // offset where the next search begins
  BitReader reader{};               // reads the current frame
  int32_t status = 0;               // code of the last failure; success leaves it alone
  // The stream's free-format length, set by a host that measured it; with
  // key 0 (the exported calls, the compatible tier) free format is refused.
  FreeFormat freeFormat{};
};

inline int ChannelCount(const FrameState& frame) {
  return frame.modeCode == kModeSingleChannel ? 1 : 2;
}

// Slots per frame: 12 for Layer I, 18 for an LSF Layer III frame, else 36.
inline int SlotsPerFrame(const FrameState& frame) {
  if (frame.layer == 1) return 12;
  if (frame.layer == 3 && (frame.flags & FlagLsf)) return 18;
  return 36;
}

// Bits per second, [row][bitrate index 0..14]. Rows: MPEG-1 Layer I, II, III;
// LSF Layer I; LSF Layers II and III (ISO/IEC 11172-3 and 13818-3). Index 0 is
// free format, accepted only when the host has measured the stream's length
// (InputCursor::freeFormat).
extern const std::array<std::array<uint32_t, 15>, 5> BitrateTable;
// Hz by sample-rate index; index 3 is reserved.
extern const std::array<uint32_t, 4> SampleRateTable;

void ResetCursor(InputCursor& cursor);
void SetBuffer(InputCursor& cursor, const uint8_t* data, uint32_t length);
void ResetFrameState(FrameState& frame);

// Parses the header at frameStart (and the CRC word of a protected header).
// 0, or -1 with StatusBadHeader.
int ParseHeader(FrameState& frame, InputCursor& cursor);
// Length in bytes of the frame whose header has been parsed.
uint32_t FrameLength(const FrameState& frame);
// Extends the frame's CRC register over the next n bits of `from` and tells
// whether the stored CRC word matches it. A free-format frame also matches
// when the word was computed with the standard bitrate index that its
// measured length stands for: some encoders compute the word before they
// write index 0.
bool CrcMatches(FrameState& frame, const BitReader& from, uint32_t n);
// Moves the reader to the next sync pattern that has 8 bytes after its start.
int ScanForSync(InputCursor& cursor);
// Locates the next frame and parses its header. 0, or -1 with status set.
int FindFrame(FrameState& frame, InputCursor& cursor);

}  // namespace quorvel
