#!/usr/bin/env python3
"""Writes the Layer III tables as C++ source.

  scripts/gen_layer3_tables.py LAYER3_TABLES_TXT > src/layers/layer3_tables.cpp

LAYER3_TABLES_TXT holds the standard's tables as text (its header says how
to read it): the Huffman codes of ISO/IEC 11172-3 Table B.7, the scalefactor
bands of the nine rates, pretab, slen1/slen2, the LSF nr_of_sfb partitions
and the anti-alias coefficients of Table B.9. From it this script writes:

  - every Huffman table as a multi-level lookup table (the first level looks
    at up to 8 bits, each further level at what the longest code under that
    prefix still needs, at most 8 bits), plus the code list itself, so that a
    test can check that every code decodes back to its pair;
  - the band edges, pretab, slen, nr_of_sfb and linbits as literal data;
  - computed tables, all rounded to nearest from 50-digit arithmetic:
    x^(4/3) for x = 0..8206 as a 31-bit mantissa and an exponent,
    2^(b/4) for b = 0..3 in Q30, the anti-alias cs/ca in Q31, the IMDCT
    cosines in Q28 and the block windows in Q31, and the intensity-stereo
    ratios in Q31.
"""
import sys

import mpmath

mpmath.mp.dps = 50

RATES = [44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000]
FIRST_LEVEL_BITS = 8
SUB_LEVEL_BITS = 8
PAIR_FAST_BITS = 11
QUAD_FAST_BITS = {"A": 10, "B": 8}


def read(path):
    tables = {"huffman": {}, "count1": {}, "sfb_long": {}, "sfb_short": {}, "nr_of_sfb": []}
    current = None
    with open(path) as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            words = line.split()
            head = words[0]
            if head == "huffman":
                current = tables["huffman"].setdefault(int(words[1]), {"dim": int(words[2]), "codes": []})
            elif head == "count1":
                current = tables["count1"].setdefault(words[1], {"codes": []})
            elif head in ("antialias",):
                tables[head] = [mpmath.mpf(w) for w in words[1:]]
            elif head in ("linbits", "pretab", "slen1", "slen2"):
                tables[head] = [int(w) for w in words[1:]]
            elif head == "nr_of_sfb":
                parts = " ".join(words[2:]).split("|")
                tables["nr_of_sfb"].append([[int(v) for v in p.split()] for p in parts])
            elif head in ("sfb_long", "sfb_short"):
                tables[head][int(words[1])] = [int(w) for w in words[2:]]
            else:
                values = [int(w) for w in words[:-1]]
                code = words[-1]
                assert len(code) == values[-1], line
                current["codes"].append((values[:-1], code))
    return tables


def kraft_complete(codes):
    return sum(mpmath.mpf(2) ** -len(c) for _, c in codes) == 1


def build_lookup(codes, out, leaf):
    """Appends the lookup levels of `codes` ((value, bitstring) pairs, all
    prefix-free) to `out`; returns the index of the first level. `leaf`
    turns a value and a code length into an entry."""
    longest = max(len(c) for _, c in codes)
    width = min(longest, FIRST_LEVEL_BITS if not out else SUB_LEVEL_BITS)
    return _level(codes, width, out, leaf)


def _level(codes, width, out, leaf):
    base = len(out)
    out.extend([None] * (1 << width))
    groups = {}
    for value, code in codes:
        if len(code) <= width:
            pad = width - len(code)
            start = int(code, 2) << pad
            for i in range(1 << pad):
                assert out[base + start + i] is None
                out[base + start + i] = leaf(value, len(code))
        else:
            groups.setdefault(int(code[:width], 2), []).append((value, code[width:]))
    for prefix, rest in sorted(groups.items()):
        sub_width = min(max(len(c) for _, c in rest), SUB_LEVEL_BITS)
        sub = _level(rest, sub_width, out, leaf)
        assert sub < (1 << 16)
        out[base + prefix] = 0x80000000 | (width << 24) | (sub_width << 16) | sub
    # Fix the pointer entries: bits 16..19 hold the width of the level they
    # point to, bits 24..27 the bits the current level consumed.
    assert all(e is not None for e in out[base:base + (1 << width)]), "incomplete code"
    return base


def pair_leaf(value, length):
    x, y = value
    return (length << 8) | (x << 4) | y


def quad_leaf(value, length):
    v, w, x, y = value
    return (length << 4) | (v << 3) | (w << 2) | (x << 1) | y


def signed_fields(values, sign_bits):
    """The values of a code with its sign bits (a string, one per non-zero
    value in order, 1 for negative) applied."""
    out = []
    for v in values:
        if v:
            out.append(-v if sign_bits[0] == "1" else v)
            sign_bits = sign_bits[1:]
        else:
            out.append(0)
    return out


def fast_entries(codes, bits, resolvable, pack):
    """A lookup of `bits` bits whose entries decode a whole code with its sign
    bits when they fit: pack(length, signed values), or 0 when they do not
    fit or `resolvable` rejects the values (escapes)."""
    entries = []
    for index in range(1 << bits):
        word = format(index, "0%db" % bits)
        entry = 0
        for values, code in codes:
            if not word.startswith(code):
                continue
            signs = sum(1 for v in values if v)
            total = len(code) + signs
            if total <= bits and resolvable(values):
                entry = pack(total, signed_fields(values, word[len(code):total]))
            break
        entries.append(entry)
    return entries


def pack_pair(length, values):
    x, y = values
    return length | ((x & 31) << 4) | ((y & 31) << 9)


def pack_quad(length, values):
    entry = length
    for k, v in enumerate(values):
        entry |= (v & 3) << (4 + 2 * k)
    return entry


def q(value, bits):
    return int(mpmath.nint(value * mpmath.mpf(2) ** bits))


def pow43_entry(x):
    if x == 0:
        return 0, 0
    v = mpmath.mpf(x) ** (mpmath.mpf(4) / 3)
    e = int(mpmath.floor(mpmath.log(v, 2)))
    m = int(mpmath.nint(v * mpmath.mpf(2) ** (30 - e)))
    if m >= 1 << 31:
        m //= 2
        e += 1
    assert (1 << 30) <= m < (1 << 31)
    return m, e


def long_window(block_type, i):
    pi = mpmath.pi
    if block_type == 0:
        return mpmath.sin(pi / 36 * (i + mpmath.mpf(0.5)))
    if block_type == 1:
        if i < 18:
            return mpmath.sin(pi / 36 * (i + mpmath.mpf(0.5)))
        if i < 24:
            return mpmath.mpf(1)
        if i < 30:
            return mpmath.sin(pi / 12 * (i - 18 + mpmath.mpf(0.5)))
        return mpmath.mpf(0)
    # block type 3
    if i < 6:
        return mpmath.mpf(0)
    if i < 12:
        return mpmath.sin(pi / 12 * (i - 6 + mpmath.mpf(0.5)))
    if i < 18:
        return mpmath.mpf(1)
    return mpmath.sin(pi / 36 * (i + mpmath.mpf(0.5)))


def fmt_rows(rows, per_line=12):
    lines = []
    for row in rows:
        lines.append("    {%s}," % ", ".join(str(v) for v in row))
    return lines


def wrap(values, indent="    ", per_line=12):
    values = [str(v) for v in values]
    return [indent + ", ".join(values[i:i + per_line]) + "," for i in range(0, len(values), per_line)]


def main(path):
    t = read(path)
    out = []
    w = out.append
    w("// The Layer III tables. Generated by scripts/gen_layer3_tables.py from the")
    w("// text of the standard's tables (ISO/IEC 11172-3 Annex B, ISO/IEC 13818-3")
    w("// Annex B); computed values are rounded to nearest from 50-digit arithmetic.")
    w("// Do not edit: run the script again.")
    w('#include "layers/layer3_tables.h"')
    w("")
    w("namespace quorvel {")
    w("")

    # Huffman tables.
    lookup = []
    starts = {}
    code_list = []
    for number in sorted(t["huffman"]):
        table = t["huffman"][number]
        codes = [((v[0], v[1]), c) for v, c in table["codes"]]
        assert len(codes) == table["dim"] ** 2, number
        assert kraft_complete(codes), number
        starts[number] = build_lookup(codes, lookup, pair_leaf)
        for (x, y), c in codes:
            code_list.append((number, x, y, len(c), int(c, 2)))
    count1_starts = {}
    for name in ("A", "B"):
        codes = [(tuple(v), c) for v, c in t["count1"][name]["codes"]]
        assert len(codes) == 16 and kraft_complete(codes), name
        count1_starts[name] = build_lookup(codes, lookup, quad_leaf)
    assert len(lookup) < (1 << 16)
    w("// Entries: a leaf is (length << 8) | (x << 4) | y for pairs, (length << 4) |")
    w("// vwxy for quadruples; an entry with bit 31 set points on: bits 0..15 the")
    w("// index of the next level, bits 16..19 its width, bits 24..27 the bits this")
    w("// level consumed.")
    w("const uint32_t kHuffmanLookup[%d] = {" % len(lookup))
    out.extend(wrap(["0x%x" % e for e in lookup], per_line=10))
    w("};")
    w("")
    linbits = t["linbits"]
    assert len(linbits) == 32
    w("const HuffmanTableInfo kHuffmanTables[32] = {")
    for n in range(32):
        source = n
        if 17 <= n <= 23:
            source = 16
        elif 25 <= n <= 31:
            source = 24
        if source in starts:
            longest = max(len(c) for _, c in t["huffman"][source]["codes"])
            width = min(longest, FIRST_LEVEL_BITS)
            w("    {%d, %d, %d, 1},  // table %d" % (starts[source], width, linbits[n], n))
        else:
            w("    {0, 0, %d, %d},  // table %d%s" % (linbits[n], 1 if n == 0 else 0, n,
                                                 " (codes nothing)" if n == 0 else " (not used)"))
    w("};")
    w("")
    for name in ("A", "B"):
        longest = max(len(c) for _, c in t["count1"][name]["codes"])
        w("const HuffmanTableInfo kCount1Table%s = {%d, %d, 0, 1};" % (name, count1_starts[name], min(longest, 8)))
    w("")
    w("const HuffmanCode kHuffmanCodes[%d] = {" % len(code_list))
    out.extend(wrap(["{%d, %d, %d, %d, 0x%x}" % c for c in code_list], per_line=6))
    w("};")
    w("")
    quads = []
    for name in ("A", "B"):
        for v, c in t["count1"][name]["codes"]:
            quads.append("{%d, %d, %d, 0x%x}" % (0 if name == "A" else 1, (v[0] << 3) | (v[1] << 2) | (v[2] << 1) | v[3],
                                                len(c), int(c, 2)))
    w("const Count1Code kCount1Codes[32] = {")
    out.extend(wrap(quads, per_line=6))
    w("};")
    w("")
    # Whole codes with their sign bits in one lookup.
    fast = []
    fast_starts = {}
    for number in sorted(t["huffman"]):
        codes = [((v[0], v[1]), c) for v, c in t["huffman"][number]["codes"]]
        escapes = linbits[number] > 0
        fast_starts[number] = len(fast)
        fast.extend(fast_entries(codes, PAIR_FAST_BITS, lambda v: not escapes or 15 not in v, pack_pair))
    w("// A pair with its sign bits from the next %d bits: (length of code and signs) |" % PAIR_FAST_BITS)
    w("// (x << 4) | (y << 9), x and y signed in 5 bits; 0 where code and signs take")
    w("// more bits, or where a value is an escape (15 in a table with linbits).")
    w("const uint16_t kPairFast[%d] = {" % len(fast))
    out.extend(wrap(["0x%x" % e for e in fast], per_line=12))
    w("};")
    fast_start_list = []
    for n in range(32):
        source = 16 if 17 <= n <= 23 else 24 if 25 <= n <= 31 else n
        fast_start_list.append(fast_starts.get(source, 0))
    w("const uint16_t kPairFastStart[32] = {%s};" % ", ".join(map(str, fast_start_list)))
    for name in ("A", "B"):
        codes = [(tuple(v), c) for v, c in t["count1"][name]["codes"]]
        entries = fast_entries(codes, QUAD_FAST_BITS[name], lambda v: True, pack_quad)
        assert all(entries), name  # a quadruple with its signs always fits
        w("// Count1 table %s: a quadruple with its sign bits from the next %d bits:" % (name, QUAD_FAST_BITS[name]))
        w("// length | v << 4 | w << 6 | x << 8 | y << 10, each value signed in 2 bits.")
        w("const uint16_t kQuadFast%s[%d] = {" % (name, len(entries)))
        out.extend(wrap(["0x%x" % e for e in entries], per_line=12))
        w("};")
    w("")

    # Bands.
    w("// Band edges by rate index (44.1, 48, 32, 22.05, 24, 16, 11.025, 12, 8 kHz).")
    w("const uint16_t kSfbLong[9][23] = {")
    for rate in RATES:
        edges = t["sfb_long"][rate]
        assert len(edges) == 23 and edges[0] == 0 and edges[-1] == 576
        w("    {%s},  // %d Hz" % (", ".join(map(str, edges)), rate))
    w("};")
    w("const uint16_t kSfbShort[9][14] = {")
    for rate in RATES:
        edges = t["sfb_short"][rate]
        assert len(edges) == 14 and edges[0] == 0 and edges[-1] == 192
        w("    {%s},  // %d Hz" % (", ".join(map(str, edges)), rate))
    w("};")
    w("")
    assert len(t["pretab"]) == 22
    w("const uint8_t kPretab[22] = {%s};" % ", ".join(map(str, t["pretab"])))
    w("const uint8_t kSlen[2][16] = {{%s}, {%s}};" % (", ".join(map(str, t["slen1"])), ", ".join(map(str, t["slen2"]))))
    w("const uint8_t kNrOfSfb[6][3][4] = {")
    assert len(t["nr_of_sfb"]) == 6
    for row in t["nr_of_sfb"]:
        w("    {%s}," % ", ".join("{%s}" % ", ".join(map(str, p)) for p in row))
    w("};")
    w("")

    # Computed tables.
    w("// x^(4/3) = mantissa * 2^(exponent - 30), mantissa in [2^30, 2^31) (0 for x = 0).")
    pow43 = [pow43_entry(x) for x in range(8207)]
    w("const uint32_t kPow43Mantissa[8207] = {")
    out.extend(wrap([m for m, _ in pow43], per_line=8))
    w("};")
    w("const int8_t kPow43Exponent[8207] = {")
    out.extend(wrap([e for _, e in pow43], per_line=24))
    w("};")
    w("")
    w("const int64_t kQuarterPowerQ30[4] = {%s};" %
      ", ".join(str(q(mpmath.mpf(2) ** (mpmath.mpf(b) / 4), 30)) for b in range(4)))
    cs = []
    ca = []
    for c in t["antialias"]:
        root = mpmath.sqrt(1 + c * c)
        cs.append(q(1 / root, 31))
        ca.append(q(c / root, 31))
    w("const int64_t kAntialiasCsQ31[8] = {%s};" % ", ".join(map(str, cs)))
    w("const int64_t kAntialiasCaQ31[8] = {%s};" % ", ".join(map(str, ca)))
    w("")

    pi = mpmath.pi
    w("// The long IMDCT y[i] = sum_k X[k] cos(pi / 72 (2i + 19)(2k + 1)) has y[17 - i] = -y[i] and")
    w("// y[35 - i] = y[18 + i] (i = 0..8): the cosines of rows i = 0..8 and 18..26, Q28.")
    w("const int32_t kImdctCosQ28[18][18] = {")
    for i in list(range(9)) + list(range(18, 27)):
        row = [q(mpmath.cos(pi / 72 * (2 * i + 19) * (2 * k + 1)), 28) for k in range(18)]
        # With a 32-bit spectrum value the sums stay below 2^62.6, so that the
        # window's Q31 product (high and low halves) stays within 64 bits.
        assert sum(abs(v) for v in row) < 12 << 28
        w("    {%s}," % ", ".join(map(str, row)))
    w("};")
    w("// The long windows of block types 0, 1 and 3, Q31 (1.0 = 2^31 stands for itself).")
    w("const int64_t kImdctWindowQ31[3][36] = {")
    for bt in (0, 1, 3):
        w("    {%s}," % ", ".join(str(q(long_window(bt, i), 31)) for i in range(36)))
    w("};")
    w("// The short windows: [i = 0..11][k = 0..5] = sin(pi / 12 (i + 1/2)) cos(pi / 24 (2i + 7)(2k + 1)).")
    w("const int32_t kImdctShortQ28[12][6] = {")
    for i in range(12):
        win = mpmath.sin(pi / 12 * (i + mpmath.mpf(0.5)))
        row = [q(win * mpmath.cos(pi / 24 * (2 * i + 7) * (2 * k + 1)), 28) for k in range(6)]
        # Two windows overlap at most: their sums stay below 2 x 7.5 x 2^59.
        assert sum(abs(v) for v in row) < 15 << 27
        w("    {%s}," % ", ".join(map(str, row)))
    w("};")
    w("")
    w("// MPEG-1 intensity stereo, is_pos 0..6: left = r / (1 + r), right = 1 / (1 + r), r = tan(is_pos pi / 12).")
    left, right = [], []
    for p in range(7):
        if p == 6:
            left.append(q(1, 31))
            right.append(0)
            continue
        r = mpmath.tan(p * pi / 12)
        left.append(q(r / (1 + r), 31))
        right.append(q(1 / (1 + r), 31))
    w("const int64_t kIntensityLeftQ31[7] = {%s};" % ", ".join(map(str, left)))
    w("const int64_t kIntensityRightQ31[7] = {%s};" % ", ".join(map(str, right)))
    w("// LSF intensity stereo: io^k, io = 2^(-1/4) (intensity_scale 0) or 2^(-1/2) (1), k = 0..31.")
    w("const int64_t kLsfIntensityQ31[2][32] = {")
    for s in range(2):
        io = mpmath.mpf(2) ** (-mpmath.mpf(1) / (4 if s == 0 else 2))
        w("    {%s}," % ", ".join(str(q(io ** k, 31)) for k in range(32)))
    w("};")
    w("")
    w("}  // namespace quorvel")
    print("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1])
