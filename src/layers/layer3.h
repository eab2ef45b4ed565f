// Layer III decoding for the full-accuracy tier: side information, the bit
// reservoir across frames, scalefactors, Huffman decoding, requantisation,
// stereo processing, reordering, anti-aliasing and the IMDCT with overlap-add,
// up to subband samples (Q28) for the full tier's synthesis.
//
// Formats: the spectrum is Q28 in 32-bit integers (+-8, saturated: loud
// streams do reach beyond 4), the IMDCT's output and the overlap Q28; every
// product is taken in 64 bits and rounded once to nearest. x^(4/3) is a
// 31-bit mantissa with an exponent, 2^(b/4) is Q30, the IMDCT's windowed
// cosines Q28, the stereo and anti-alias factors Q31.
#pragma once

#include <cstdint>

#include "bitstream/frame.h"
#include "fixed.h"
#include "layers/layer3_hybrid.h"

namespace quorvel {

// The reservoir keeps the last 511 bytes of main data (the most that
// main_data_begin can reach back) behind which a frame's own main data (at
// most 1441 bytes) is appended, followed by zeros for the reader's lookahead.
constexpr uint32_t kReservoirKeep = 511;
constexpr uint32_t kReservoirCapacity = 2048;
constexpr uint32_t kReservoirPadding = 32;

struct Layer3State {
  uint8_t reservoir[kReservoirCapacity + kReservoirPadding];
  uint32_t reservoirSize;  // bytes of main data before the current frame's
  // The second halves of the IMDCT outputs, by channel.
  HybridOverlap overlap[kMaxChannels];
};

// Silence and an empty reservoir.
void ResetLayer3(Layer3State& state);

// Forgets the reservoir (after a gap in the stream): frames that reach back
// are concealed until the reservoir has filled again.
inline void ClearReservoir(Layer3State& state) { state.reservoirSize = 0; }

// Decodes the Layer III frame whose header `frame` holds, with cursor.reader
// just after the header (and its CRC word), into frame.samples: Q28 subband
// samples [channel][slot * 32 + subband], 36 slots for MPEG-1, 18 for LSF.
// The frame's main data joins the reservoir whatever happens. 0, or -1 with
// cursor.status: StatusCrcError, StatusBadSideInfo (illegal or inconsistent
// side information, or main data that runs beyond the frame) or
// StatusMissingReservoir (main data that lies before what the decoder has
// seen); after a failure the IMDCT overlap is silence.
int DecodeLayer3(Layer3State& state, FrameState& frame, InputCursor& cursor);

// One Huffman code of big-value table `table` (1..31; no linbits, no sign
// bits) read at bit `pos` of `data`, which must have 8 readable bytes beyond
// the code: (x << 4) | y, with pos moved past the code. For the tests.
uint32_t DecodePairCode(const uint8_t* data, uint32_t& pos, int table);
// The same for the count1 tables (0: A, 1: B): vwxy as four bits.
uint32_t DecodeQuadCode(const uint8_t* data, uint32_t& pos, int table);

// The big values of `count` lines (even) with table `table` (1..31, with its
// linbits and sign bits) from bit `pos` of `data`, which must have 8
// readable bytes beyond bit `end`, into out[0..count): false for tables 4
// and 14, or once the data runs beyond `end`. For the tests.
bool DecodeBigValues(const uint8_t* data, uint32_t& pos, uint32_t end, int table, int count, int32_t* out);
// The count1 quadruples (table 0: A, 1: B, with sign bits) from line `from`
// of out[576] while bits remain before `end`; returns the line after the
// last one (a quadruple that would end beyond `end` is not taken). For the
// tests.
int DecodeQuadruples(const uint8_t* data, uint32_t& pos, uint32_t end, int table, int from, int32_t* out);

}  // namespace quorvel
