// Locating frames in the host's buffer.
//
// A new buffer is expected to begin exactly with a frame header, and that
// first frame is accepted without confirmation. Once the decoder has lost its
// place it searches byte by byte for the 11-bit sync pattern and accepts a
// candidate only when the next frame also begins with one. Every accepted
// frame must be followed by 8 bytes in the buffer, so that its successor's
// sync can be confirmed and a damaged body can over-read a little.
#include "bitstream/crc16.h"
#include "bitstream/frame.h"

namespace quorvel {
namespace {

constexpr uint32_t kLookahead = 8;

bool IsSyncAt(const InputCursor& c, uint32_t offset) {
  return offset + 1 < c.length && c.buffer[offset] == 0xFF && c.buffer[offset + 1] >= 0xE0;
}

int Fail(InputCursor& c, Status status) {
  c.status = status;
  c.synchronised = 0;
  return -1;
}

// The CRC register over header bits 16..31 with the bitrate index whose
// standard rate the measured free-format length gives, if there is one.
void StartNominalCrc(FrameState& frame, const uint8_t* header) {
  const uint32_t row = (frame.flags & FlagLsf) ? 3 + (frame.layer >> 1) : frame.layer - 1;
  for (uint32_t index = 1; index < 15; ++index) {
    if (BitrateTable[row][index] != frame.bitrate) continue;
    const uint8_t bits[2] = {static_cast<uint8_t>(index << 4 | (header[2] & 0x0F)), header[3]};
    BitReader r;
    StartReader(r, bits, 2, 0);
    frame.nominalCrc = Crc16(r, 16, 0xFFFF);
    frame.hasNominalCrc = true;
    return;
  }
}

}  // namespace

bool CrcMatches(FrameState& frame, const BitReader& from, uint32_t n) {
  frame.runningCrc = Crc16(from, n, frame.runningCrc);
  if (frame.runningCrc == frame.storedCrc) return true;
  if (!frame.hasNominalCrc) return false;
  frame.nominalCrc = Crc16(from, n, frame.nominalCrc);
  return frame.nominalCrc == frame.storedCrc;
}

void ResetCursor(InputCursor& cursor) {
  cursor = InputCursor{};
  StartReader(cursor.reader, nullptr, 0, 0);
}

void SetBuffer(InputCursor& cursor, const uint8_t* data, uint32_t length) {
  cursor.buffer = data;
  cursor.length = data ? length : 0;
  cursor.hasBuffer = 1;
  cursor.frameStart = 0;
  cursor.resume = 0;
  cursor.synchronised = 1;
  StartReader(cursor.reader, data, cursor.length, 0);
}

void ResetFrameState(FrameState& frame) { frame = FrameState{}; }

int ScanForSync(InputCursor& cursor) {
  uint32_t q = NextBytePosition(cursor.reader);
  while (q + 1 < cursor.length && !IsSyncAt(cursor, q)) ++q;
  if (q >= cursor.length || cursor.length - q < kLookahead) return -1;
  StartReader(cursor.reader, cursor.buffer, cursor.length, q);
  return 0;
}

int FindFrame(FrameState& frame, InputCursor& c) {
  if (!c.hasBuffer) return Fail(c, StatusNoInput);
  uint32_t p = c.resume;  // never beyond c.length
  if (c.synchronised) {
    if (c.length - p < kLookahead) {
      c.resume = p;
      return Fail(c, StatusNeedData);
    }
    if (!IsSyncAt(c, p)) {
      c.frameStart = p;
      c.resume = p + 1;
      return Fail(c, StatusBadHeader);
    }
  }
  for (;;) {
    if (!c.synchronised) {
      StartReader(c.reader, c.buffer, c.length, p);
      if (ScanForSync(c) != 0) {
        if (c.length - p >= kLookahead) c.resume = c.length - kLookahead;
        return Fail(c, StatusNeedData);
      }
      p = c.reader.current;
    }
    c.frameStart = p;
    c.resume = p + 1;
    StartReader(c.reader, c.buffer, c.length, p);
    if (ParseHeader(frame, c) != 0) return Fail(c, StatusBadHeader);
    // Free format (bitrate index 0) has a length only when the host measured
    // this stream's; the forbidden index 15 has none.
    if ((frame.flags & FlagFreeFormat) && c.freeFormat.key != 0) {
      if (FreeFormatFrameLength(c.freeFormat, c.buffer + p, c.length - p) != 0) {
        frame.bitrate = c.freeFormat.bitrate;
        frame.freeBase = c.freeFormat.base;
        if (frame.flags & FlagProtected) StartNominalCrc(frame, c.buffer + p);
      }
    }
    if (frame.bitrate == 0) return Fail(c, StatusBadHeader);
    const uint32_t length = FrameLength(frame);
    if (length + kLookahead > c.length - c.frameStart) {
      c.resume = c.frameStart;
      return Fail(c, StatusNeedData);
    }
    c.resume = c.frameStart + length;
    if (c.synchronised) return 0;
    if (IsSyncAt(c, c.frameStart + length)) {
      c.synchronised = 1;
      return 0;
    }
    // A false candidate: search on from the byte after it.
    p = c.frameStart + 1;
    c.resume = p;
  }
}

}  // namespace quorvel
