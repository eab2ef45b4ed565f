// Layer II: allocation, scalefactor selection, scalefactors and 12 groups of
// three slots per channel.
//
// Both checks (CRC over allocation and scfsi, scalefactor 63) run before the
// first sample is written, so a rejected frame leaves the samples as they were.
#include <cstring>

#include "bitstream/crc16.h"
#include "layers/layer2_tables.h"
#include "layers/layer_decoders.h"
#include "layers/requant.h"

namespace quorvel {

int SelectLayer2Table(const FrameState& frame) {
  if (frame.flags & FlagLsf) return 4;
  const uint32_t perChannel = frame.modeCode == kModeSingleChannel ? frame.bitrate : frame.bitrate >> 1;
  if (perChannel == 32000 || perChannel == 48000) return frame.sampleRate == 32000 ? 3 : 2;
  if (perChannel == 56000 || perChannel == 64000 || perChannel == 80000) return 0;
  return frame.sampleRate == 48000 ? 0 : 1;
}

namespace {

// Per quantisation class, what the code loop needs: the read width, the bits
// of a whole triple, and for grouped classes the three sample codes of every
// codeword, packed 4 bits each, earliest slot lowest.
struct CodeClass {
  uint8_t bits;             // bits of one read: a codeword or one sample
  uint8_t tripleBits;       // bits of the three samples
  uint8_t twoBits;          // bits of two samples (ungrouped)
  uint32_t mask;            // 2^bits - 1
  const uint16_t* ungroup;  // grouped classes: codes by codeword; else null
};

template <int Levels, int CodewordBits>
constexpr std::array<uint16_t, (1u << CodewordBits)> MakeUngroupTable() {
  std::array<uint16_t, (1u << CodewordBits)> table{};
  for (uint32_t c = 0; c < table.size(); ++c) {
    uint32_t rest = c;
    uint32_t packed = 0;
    for (int k = 0; k < 3; ++k) {
      packed |= (rest % Levels) << (4 * k);
      rest /= Levels;
    }
    table[c] = static_cast<uint16_t>(packed);
  }
  return table;
}

constexpr auto kUngroup3 = MakeUngroupTable<3, 5>();
constexpr auto kUngroup5 = MakeUngroupTable<5, 7>();
constexpr auto kUngroup9 = MakeUngroupTable<9, 10>();

constexpr std::array<CodeClass, 17> kCodeClasses = [] {
  std::array<CodeClass, 17> classes{};
  for (int i = 0; i < 17; ++i) {
    const QuantClassEntry& q = QuantClass[i];
    classes[i] = {q.codewordBits, static_cast<uint8_t>(q.sampleBits ? q.codewordBits : 3 * q.codewordBits),
                  static_cast<uint8_t>(2 * q.codewordBits), (1u << q.codewordBits) - 1u, nullptr};
  }
  classes[0].ungroup = kUngroup3.data();
  classes[1].ungroup = kUngroup5.data();
  classes[3].ungroup = kUngroup9.data();
  return classes;
}();

// One read of the code loop: a transmitted subband of one channel, or of
// both channels above the bound (read into channel 0, copied afterwards).
struct ReadStep {
  int32_t classIndex;
  Q28* first;  // slot 0 of the subband
};

// Reads the three sample codes of one subband of a group for quantisation
// class `Class` and stores them at out[0], out[32] and out[64]. A template,
// so that every width is a constant of the code.
template <int Class>
inline void ReadCodes(BitCache& bits, Q28* out) {
  constexpr CodeClass q = kCodeClasses[Class];
  if (bits.bits < q.tripleBits) RefillCache(bits);
  if constexpr (q.ungroup != nullptr) {
    const uint32_t packed = q.ungroup[CacheRead(bits, q.bits)];
    out[0] = static_cast<Q28>(packed & 15u);
    out[32] = static_cast<Q28>((packed >> 4) & 15u);
    out[64] = static_cast<Q28>(packed >> 8);
  } else {
    const uint64_t three = CacheRead64(bits, q.tripleBits);
    out[0] = static_cast<Q28>(three >> q.twoBits);
    out[32] = static_cast<Q28>((three >> q.bits) & q.mask);
    out[64] = static_cast<Q28>(three & q.mask);
  }
}

// classIndex is 0..16; the mask tells the compiler so, which spares the
// jump table its range check.
inline void ReadCodesOfClass(int classIndex, BitCache& bits, Q28* out) {
  switch (classIndex & 31) {
    case 0: return ReadCodes<0>(bits, out);
    case 1: return ReadCodes<1>(bits, out);
    case 2: return ReadCodes<2>(bits, out);
    case 3: return ReadCodes<3>(bits, out);
    case 4: return ReadCodes<4>(bits, out);
    case 5: return ReadCodes<5>(bits, out);
    case 6: return ReadCodes<6>(bits, out);
    case 7: return ReadCodes<7>(bits, out);
    case 8: return ReadCodes<8>(bits, out);
    case 9: return ReadCodes<9>(bits, out);
    case 10: return ReadCodes<10>(bits, out);
    case 11: return ReadCodes<11>(bits, out);
    case 12: return ReadCodes<12>(bits, out);
    case 13: return ReadCodes<13>(bits, out);
    case 14: return ReadCodes<14>(bits, out);
    case 15: return ReadCodes<15>(bits, out);
    case 16: case 17: case 18: case 19: case 20: case 21: case 22: case 23:
    case 24: case 25: case 26: case 27: case 28: case 29: case 30: case 31: return ReadCodes<16>(bits, out);
  }
}

}  // namespace

int DecodeLayer2Codes(InputCursor& cursor, FrameState& frame) {
  BitReader& r = cursor.reader;
  const int nch = ChannelCount(frame);
  const int table = SelectLayer2Table(frame);
  const Layer2Table& layout = Layer2AllocTable[table];
  const int sblimit = layout.sblimit;
  int bound = frame.modeCode == kModeJointStereo ? 4 * (static_cast<int>(frame.modeExtension) + 1) : 32;
  if (bound > sblimit) bound = sblimit;

  const BitReader crcStart = r;
  BitCache bits = OpenCache(r);
  uint8_t allocCode[kMaxChannels][kSubbands] = {};
  uint8_t scfsi[kMaxChannels][kSubbands] = {};
  uint8_t scalefactorIndex[kMaxChannels][kSubbands][3] = {};

  for (int sb = 0; sb < sblimit; ++sb) {
    const int nbal = AllocClass[layout.classOf[sb]].nbal;
    if (sb < bound) {
      for (int ch = 0; ch < nch; ++ch) allocCode[ch][sb] = static_cast<uint8_t>(CacheReadChecked(bits, nbal));
    } else {
      allocCode[0][sb] = allocCode[1][sb] = static_cast<uint8_t>(CacheReadChecked(bits, nbal));
    }
  }
  for (int sb = 0; sb < sblimit; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (allocCode[ch][sb]) scfsi[ch][sb] = static_cast<uint8_t>(CacheReadChecked(bits, 2));
    }
  }
  if (frame.flags & FlagProtected) {
    BitReader here = r;
    CloseCache(bits, here);
    if (!CrcMatches(frame, crcStart, static_cast<uint32_t>(BitsBetween(crcStart, here)))) {
      CloseCache(bits, r);
      cursor.status = StatusCrcError;
      return -1;
    }
  }
  for (int sb = 0; sb < sblimit; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (!allocCode[ch][sb]) continue;
      uint8_t* part = scalefactorIndex[ch][sb];
      part[0] = static_cast<uint8_t>(CacheReadChecked(bits, 6));
      switch (scfsi[ch][sb]) {
        case 0:
          part[1] = static_cast<uint8_t>(CacheReadChecked(bits, 6));
          part[2] = static_cast<uint8_t>(CacheReadChecked(bits, 6));
          break;
        case 1:
          part[1] = part[0];
          part[2] = static_cast<uint8_t>(CacheReadChecked(bits, 6));
          break;
        case 2:
          part[1] = part[2] = part[0];
          break;
        default:
          part[2] = static_cast<uint8_t>(CacheReadChecked(bits, 6));
          part[1] = part[2];
          break;
      }
      if (part[0] == kForbiddenScalefactor || part[1] == kForbiddenScalefactor ||
          part[2] == kForbiddenScalefactor) {
        CloseCache(bits, r);
        cursor.status = StatusBadScalefactor;
        return -1;
      }
    }
  }

  // The reads of one group of three slots, in stream order, and the plan of
  // the requantisation (class 0 where nothing is transmitted).
  ReadStep steps[kMaxChannels * kSubbands];
  int stepCount = 0;
  RequantPlan& plan = frame.plan;
  plan.parts = 3;
  std::memcpy(plan.scalefactor, scalefactorIndex, sizeof plan.scalefactor);
  for (int sb = 0; sb < 32; ++sb) {
    const bool shared = sb >= bound;
    for (int ch = 0; ch < nch; ++ch) {
      const uint32_t code = allocCode[ch][sb];  // 0 from sblimit on
      if (code == 0) {
        plan.quantClass[ch][sb] = 0;
        continue;
      }
      const int classIndex = QuantRow[AllocClass[layout.classOf[sb]].quantRow][code - 1];
      plan.quantClass[ch][sb] = static_cast<uint8_t>(classIndex + 1);
      if (shared && ch == 1) continue;  // read once, for channel 0
      ReadStep& step = steps[stepCount++];
      step.classIndex = classIndex;
      step.first = &frame.samples[ch][sb];
    }
  }

  // The sample codes of all 36 slots, in place.
  for (int group = 0; group < 12; ++group) {
    const int base = group * 3 * 32;
    for (int i = 0; i < stepCount; ++i) {
      ReadCodesOfClass(steps[i].classIndex, bits, steps[i].first + base);
    }
  }
  CloseCache(bits, r);
  if (nch == 2) CopySharedCodes(frame, bound, sblimit, 36);
  return 0;
}

int DecodeLayer2(InputCursor& cursor, FrameState& frame) {
  if (DecodeLayer2Codes(cursor, frame) != 0) return -1;
  RequantCompatible(frame);
  return 0;
}

}  // namespace quorvel
