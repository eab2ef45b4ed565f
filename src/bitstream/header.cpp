// Frame header parsing and frame lengths.
#include "bitstream/crc16.h"
#include "bitstream/frame.h"

namespace quorvel {

// Generated from the bitrate_index tables of ISO/IEC 11172-3 and ISO/IEC
// 13818-3 (kbit/s there; bit/s here).
const std::array<std::array<uint32_t, 15>, 5> BitrateTable = {{
    {0, 32000, 64000, 96000, 128000, 160000, 192000, 224000, 256000, 288000, 320000, 352000, 384000, 416000, 448000},
    {0, 32000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 160000, 192000, 224000, 256000, 320000, 384000},
    {0, 32000, 40000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 160000, 192000, 224000, 256000, 320000},
    {0, 32000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 144000, 160000, 176000, 192000, 224000, 256000},
    {0, 8000, 16000, 24000, 32000, 40000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 144000, 160000},
}};

const std::array<uint32_t, 4> SampleRateTable = {44100, 48000, 32000, 0};

int ParseHeader(FrameState& frame, InputCursor& cursor) {
  BitReader& r = cursor.reader;
  auto reject = [&cursor] {
    cursor.status = StatusBadHeader;
    return -1;
  };
  frame.flags = 0;
  frame.freeBase = 0;
  frame.hasNominalCrc = false;
  SkipBits(r, 11);
  if (ReadBits(r, 1) == 0) frame.flags |= FlagMpeg25;
  if (ReadBits(r, 1) == 0) {
    frame.flags |= FlagLsf;
  } else if (frame.flags & FlagMpeg25) {
    return reject();  // the MPEG-2.5 bit is only valid with the LSF ID bit
  }
  const uint32_t layerCode = ReadBits(r, 2);
  if (layerCode == 0) return reject();  // reserved layer
  frame.layer = 4 - layerCode;
  if (ReadBits(r, 1) == 0) {
    frame.flags |= FlagProtected;
    frame.runningCrc = Crc16(r, 16, 0xFFFF);  // header bits 16..31
  }
  const uint32_t bitrateIndex = ReadBits(r, 4);
  const uint32_t row = (frame.flags & FlagLsf) ? 3 + (frame.layer >> 1) : frame.layer - 1;
  // Index 15 is forbidden; index 0 (free format) gives 0 and is rejected by FindFrame.
  frame.bitrate = bitrateIndex < 15 ? BitrateTable[row][bitrateIndex] : 0;
  if (bitrateIndex == 0) frame.flags |= FlagFreeFormat;
  const uint32_t rateIndex = ReadBits(r, 2);
  if (rateIndex == 3) return reject();  // reserved: the frame length would divide by 0
  frame.sampleRate = SampleRateTable[rateIndex];
  if (frame.flags & FlagLsf) frame.sampleRate >>= 1;
  if (frame.flags & FlagMpeg25) frame.sampleRate >>= 1;
  if (ReadBits(r, 1)) frame.flags |= FlagExtraSlot;
  ReadBits(r, 1);  // private bit
  frame.modeCode = 3 - static_cast<int32_t>(ReadBits(r, 2));
  frame.modeExtension = ReadBits(r, 2);
  ReadBits(r, 4);  // copyright, original, emphasis
  if (frame.flags & FlagProtected) frame.storedCrc = static_cast<uint16_t>(ReadBits(r, 16));
  return 0;
}

uint32_t FrameLength(const FrameState& frame) {
  const uint32_t extra = (frame.flags & FlagExtraSlot) ? 1 : 0;
  if (frame.freeBase) return frame.freeBase + (frame.layer == 1 ? 4 * extra : extra);
  if (frame.layer == 1) return (12 * frame.bitrate / frame.sampleRate + extra) * 4;
  if (frame.layer == 3 && (frame.flags & FlagLsf)) return 72 * frame.bitrate / frame.sampleRate + extra;
  return 144 * frame.bitrate / frame.sampleRate + extra;
}

}  // namespace quorvel
