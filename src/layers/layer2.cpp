// Layer II: allocation, scalefactor selection, scalefactors and 12 groups of
// three slots per channel.
//
// Both checks (CRC over allocation and scfsi, scalefactor 63) run before the
// first sample is written, so a rejected frame leaves the samples as they were.
#include "bitstream/crc16.h"
#include "layers/layer2_tables.h"

namespace quorvel {

int SelectLayer2Table(const FrameState& frame) {
  if (frame.flags & FlagLsf) return 4;
  const uint32_t perChannel = frame.modeCode == kModeSingleChannel ? frame.bitrate : frame.bitrate >> 1;
  if (perChannel == 32000 || perChannel == 48000) return frame.sampleRate == 32000 ? 3 : 2;
  if (perChannel == 56000 || perChannel == 64000 || perChannel == 80000) return 0;
  return frame.sampleRate == 48000 ? 0 : 1;
}

void ReadLayer2Triple(BitReader& reader, const QuantClassEntry& q, Q28 out[3]) {
  uint32_t codes[3];
  int nb;
  if (q.sampleBits) {
    // Three samples share one codeword, the earliest as the remainder. A
    // codeword of levels^3 or more is not rejected: each part is reduced.
    uint32_t c = ReadBits(reader, q.codewordBits);
    for (uint32_t& code : codes) {
      code = c % q.levels;
      c /= q.levels;
    }
    nb = q.sampleBits;
  } else {
    for (uint32_t& code : codes) code = ReadBits(reader, q.codewordBits);
    nb = q.codewordBits;
  }
  for (int k = 0; k < 3; ++k) {
    const int32_t v = SignExtend(codes[k] ^ (1u << (nb - 1)), nb);
    out[k] = FixMul(q.C, WrapAdd(q.D, WrapShl(v, 29 - nb)));
  }
}

int DecodeLayer2(InputCursor& cursor, FrameState& frame) {
  BitReader& r = cursor.reader;
  const int nch = ChannelCount(frame);
  const int table = SelectLayer2Table(frame);
  const Layer2Table& layout = Layer2AllocTable[table];
  const int sblimit = layout.sblimit;
  int bound = frame.modeCode == kModeJointStereo ? 4 * (static_cast<int>(frame.modeExtension) + 1) : 32;
  if (bound > sblimit) bound = sblimit;

  const BitReader crcStart = r;
  uint8_t allocCode[kMaxChannels][kSubbands] = {};
  uint8_t scfsi[kMaxChannels][kSubbands] = {};
  uint8_t scalefactorIndex[kMaxChannels][kSubbands][3] = {};

  for (int sb = 0; sb < sblimit; ++sb) {
    const int nbal = AllocClass[layout.classOf[sb]].nbal;
    if (sb < bound) {
      for (int ch = 0; ch < nch; ++ch) allocCode[ch][sb] = static_cast<uint8_t>(ReadBits(r, nbal));
    } else {
      allocCode[0][sb] = allocCode[1][sb] = static_cast<uint8_t>(ReadBits(r, nbal));
    }
  }
  for (int sb = 0; sb < sblimit; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (allocCode[ch][sb]) scfsi[ch][sb] = static_cast<uint8_t>(ReadBits(r, 2));
    }
  }
  if (frame.flags & FlagProtected) {
    frame.runningCrc = Crc16(crcStart, static_cast<uint32_t>(BitsBetween(crcStart, r)), frame.runningCrc);
    if (frame.runningCrc != frame.storedCrc) {
      cursor.status = StatusCrcError;
      return -1;
    }
  }
  for (int sb = 0; sb < sblimit; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (!allocCode[ch][sb]) continue;
      uint8_t* part = scalefactorIndex[ch][sb];
      part[0] = static_cast<uint8_t>(ReadBits(r, 6));
      switch (scfsi[ch][sb]) {
        case 0:
          part[1] = static_cast<uint8_t>(ReadBits(r, 6));
          part[2] = static_cast<uint8_t>(ReadBits(r, 6));
          break;
        case 1:
          part[1] = part[0];
          part[2] = static_cast<uint8_t>(ReadBits(r, 6));
          break;
        case 2:
          part[1] = part[2] = part[0];
          break;
        default:
          part[2] = static_cast<uint8_t>(ReadBits(r, 6));
          part[1] = part[2];
          break;
      }
      if (part[0] == kForbiddenScalefactor || part[1] == kForbiddenScalefactor ||
          part[2] == kForbiddenScalefactor) {
        cursor.status = StatusBadScalefactor;
        return -1;
      }
    }
  }

  for (int group = 0; group < 12; ++group) {
    const int part = group / 4;
    const int base = group * 3 * 32;
    Q28 triple[3];
    for (int sb = 0; sb < sblimit; ++sb) {
      const bool shared = sb >= bound;
      for (int ch = 0; ch < nch; ++ch) {
        const uint32_t code = allocCode[ch][sb];
        if (code == 0) {
          for (int k = 0; k < 3; ++k) frame.samples[ch][base + k * 32 + sb] = 0;
          continue;
        }
        if (!shared || ch == 0) ReadLayer2Triple(r, QuantClassFor(table, sb, code), triple);
        const Q28 scale = ScalefactorTable[scalefactorIndex[ch][sb][part]];
        for (int k = 0; k < 3; ++k) frame.samples[ch][base + k * 32 + sb] = FixMul(scale, triple[k]);
      }
    }
    for (int ch = 0; ch < nch; ++ch) {
      for (int k = 0; k < 3; ++k) {
        for (int sb = sblimit; sb < 32; ++sb) frame.samples[ch][base + k * 32 + sb] = 0;
      }
    }
  }
  return 0;
}

}  // namespace quorvel
