// Reading and requantising sample codes one at a time, as the layers define
// it: the references for the layer decoders, which read codes in bulk and
// requantise whole rows at once.
#pragma once

#include <cstdint>

#include "bitstream/bit_reader.h"
#include "layers/layer2_tables.h"

namespace quorvel::reference {

// Reads one Layer I sample code of nb bits (2 <= nb <= 15) and requantises it,
// unscaled: 2^nb / (2^nb - 1) * (fraction + 2^(1 - nb)).
inline Q28 ReadLayer1Sample(BitReader& reader, int nb) {
  const uint32_t code = ReadBits(reader, nb);
  const int32_t v = SignExtend(code ^ (1u << (nb - 1)), nb);
  const Q28 x = WrapAdd(WrapShl(v, 29 - nb), kOneQ28 >> (nb - 1));
  return FixMul(RoundedQuotient(1ull << (28 + nb), (1ull << nb) - 1), x);
}

// Reads three consecutive Layer II samples of one subband and channel and
// requantises them (unscaled) into out[0..2], earliest slot first.
inline void ReadLayer2Triple(BitReader& reader, const QuantClassEntry& q, Q28 out[3]) {
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

}  // namespace quorvel::reference
