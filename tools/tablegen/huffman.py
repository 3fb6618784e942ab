"""Huffman code lists of AAC (scale factors, spectral codebooks 1-11), SBR
and PS as {value, code, length} records.

AAC spectral books: sign bits of unsigned books are folded into the code
words (one list entry per sign combination, sign bits appended, 1 =
negative) and tuples are packed into one value:
  quads (w, x, y, z): w * 2^(3s) + (x + o) * 2^(2s) + (y + o) * 2^s + (z + o)
  pairs (y, z):       y * 2^s + (z + o)
"""
import itertools

# book: (dimension, signed, lav, s, o, kind, lookup widths)
AAC_BOOKS = {
    1: (4, True, 1, 2, 2, 0, [10, 5, 5]),
    2: (4, True, 1, 2, 2, 0, [10, 5, 5]),
    3: (4, False, 2, 3, 4, 0, [10, 5, 5]),
    4: (4, False, 2, 3, 4, 0, [10, 5, 5]),
    5: (2, True, 4, 8, 128, 1, [10, 5, 5]),
    6: (2, True, 4, 8, 128, 1, [10, 5, 5]),
    7: (2, False, 7, 8, 128, 1, [10, 5, 5]),
    8: (2, False, 7, 8, 128, 1, [10, 5, 5]),
    9: (2, False, 12, 8, 128, 1, [10, 5, 5]),
    10: (2, False, 12, 8, 128, 1, [10, 5, 5]),
    11: (2, False, 16, 8, 128, 2, [10, 5, 5]),
}

SBR_TABLES = [  # (name, file, lav), in the order the SBR decoder indexes them
    ("kSbrEnv15Time", "sbr_huff_env_1_5db_time", 60),
    ("kSbrEnv15Freq", "sbr_huff_env_1_5db_freq", 60),
    ("kSbrBal15Time", "sbr_huff_bal_1_5db_time", 24),
    ("kSbrBal15Freq", "sbr_huff_bal_1_5db_freq", 24),
    ("kSbrEnv30Time", "sbr_huff_env_3_0db_time", 31),
    ("kSbrEnv30Freq", "sbr_huff_env_3_0db_freq", 31),
    ("kSbrBal30Time", "sbr_huff_bal_3_0db_time", 12),
    ("kSbrBal30Freq", "sbr_huff_bal_3_0db_freq", 12),
    ("kSbrNoise30Time", "sbr_huff_noise_3_0db_time", 31),
    ("kSbrNoiseBal30Time", "sbr_huff_noise_bal_3_0db_time", 12),
]

PS_TABLES = [  # (name, file, offset subtracted from the index)
    ("kPsIidFineFreq", "ps_huff_iid_fine_df", 30),
    ("kPsIidFineTime", "ps_huff_iid_fine_dt", 30),
    ("kPsIidFreq", "ps_huff_iid_df", 14),
    ("kPsIidTime", "ps_huff_iid_dt", 14),
    ("kPsIccFreq", "ps_huff_icc_df", 7),
    ("kPsIccTime", "ps_huff_icc_dt", 7),
    ("kPsIpdFreq", "ps_huff_ipd_df", 0),
    ("kPsIpdTime", "ps_huff_ipd_dt", 0),
    ("kPsOpdFreq", "ps_huff_opd_df", 0),
    ("kPsOpdTime", "ps_huff_opd_dt", 0),
]


# ---- the decoders' own lookup tables (aac/spectral_huffman.h layout) ----
# Root level widths by book (0: scale factors), from the share of code
# words in typical streams longer than the root (each one a sub-table walk,
# a mispredicted branch) against the root's cache lines (the decode is
# bound by its table loads, and in a media pipeline the tables leave the
# cache between frames).  Books whose code words are nearly all short get
# 9 bits, books with many long ones 11; the escape book 12, since with its
# sign bits 28-32% of its code words are longer than 10 bits.  Scale
# factors: 8 (differences up to +/-9); at high rates 11% of their code words
# are longer than 6 bits, 5% longer than 8.
ROOT_BITS = {0: 8, 1: 9, 2: 9, 3: 10, 4: 11, 5: 9, 6: 9, 7: 10, 8: 10, 9: 10, 10: 11, 11: 12}
MAX_SUB_BITS = 8  # so that every sub-table starts within 256 x 16 entries of the root
LENGTH_BITS = 4  # a leaf's length field: bits 0..3
VALUE_SHIFT = 6  # value fields from bit 6 (bit 4 for the escape codebook)
ESC_VALUE_SHIFT = 4


def fields_of(kind, s, o, value):
    """A code list value as a 16-bit leaf's value fields (above the length)."""
    if kind == 0:
        mask = (1 << s) - 1
        q = [value >> (3 * s), ((value >> (2 * s)) & mask) - o, ((value >> s) & mask) - o, (value & mask) - o]
        if any(v < -2 or v > 2 for v in q):
            raise ValueError("quadruple outside -2..2")
        index = 0
        for v in q:
            index = 5 * index + v + 2
        return index << VALUE_SHIFT
    if kind == 1:
        y, z = value >> s, (value & ((1 << s) - 1)) - o
        if not (-16 <= y < 16 and -16 <= z < 16):
            raise ValueError("pair outside -16..15")
        return ((y & 31) << 11) | ((z & 31) << VALUE_SHIFT)
    if kind == 2:
        y, z = value >> s, (value & ((1 << s) - 1)) - o
        return ((y & 63) << 10) | ((z & 63) << ESC_VALUE_SHIFT)
    return value << VALUE_SHIFT


def fast_table(entries, kind, s, o, root_bits):
    """A root level of 2^root_bits 16-bit entries and, under each root
    entry whose code words are longer, a sub-table as wide as the longest of
    them needs (at most MAX_SUB_BITS per level).  Sub-tables start at
    multiples of 16 entries after the root; the entry in the level above
    holds the start's number (in 16s) in bits 8..15 and the width in bits
    4..7, above a zero length field.  Code words are taken in the order of
    their bits, so those under one entry are adjacent."""
    order = sorted(entries, key=lambda e: e[1] << (32 - e[2]))
    root = 1 << root_bits
    out = [0] * root

    def index(e, consumed, width):
        return ((e[1] << (32 - e[2])) << consumed >> (32 - width)) & ((1 << width) - 1)

    def fill(consumed, width, at, lo, hi):
        k = lo
        while k < hi:
            e = order[k]
            if e[2] <= consumed:
                raise ValueError("not a prefix code")
            idx = index(e, consumed, width)
            if e[2] <= consumed + width:
                used = e[2] - consumed
                if used >= 1 << LENGTH_BITS:
                    raise ValueError("length field overflow")
                leaf = fields_of(kind, s, o, e[0]) | used
                for j in range(1 << (width - used)):
                    if out[at + idx + j]:
                        raise ValueError("not a prefix code")
                    out[at + idx + j] = leaf
                k += 1
                continue
            end, longest = k, 0
            while end < hi and order[end][2] > consumed + width and index(order[end], consumed, width) == idx:
                longest = max(longest, order[end][2])
                end += 1
            w = min(longest - consumed - width, MAX_SUB_BITS)
            out.extend([0] * (-(len(out) - root) % 16))
            start = (len(out) - root) // 16
            sub = len(out)
            out.extend([0] * (1 << w))
            if out[at + idx] or start > 255:
                raise ValueError("not a prefix code, or a sub-table too far from the root")
            out[at + idx] = start << 8 | w << LENGTH_BITS
            fill(consumed + width, w, sub, k, end)
            k = end

    fill(0, root_bits, 0, 0, len(order))
    if max(out) > 0xFFFF:
        raise ValueError("entry outside 16 bits")
    return out


def rows_of(table):
    idx = table.column("index", int)
    ln = table.column("length", int)
    cw = table.column("codeword", lambda s: int(s, 16))
    return list(zip(idx, cw, ln))


def digits(index, base, dim):
    out = []
    for _ in range(dim):
        out.append(index % base)
        index //= base
    return out[::-1]


def pack(values, s, o):
    if len(values) == 4:
        w, x, y, z = values
        return (w << (3 * s)) + ((x + o) << (2 * s)) + ((y + o) << s) + (z + o)
    y, z = values
    return (y << s) + (z + o)


def aac_book(tables, book):
    dim, signed, lav, s, o, _kind, _widths = AAC_BOOKS[book]
    out = []
    for index, code, length in rows_of(tables[f"aac_spectrum_cb{book:02d}"]):
        if signed:
            vals = [d - lav for d in digits(index, 2 * lav + 1, dim)]
            out.append((pack(vals, s, o), code, length))
            continue
        mags = digits(index, lav + 1, dim)
        nz = [i for i, m in enumerate(mags) if m]
        for signs in itertools.product([0, 1], repeat=len(nz)):
            vals = list(mags)
            sign_bits = 0
            for i, sgn in zip(nz, signs):
                if sgn:
                    vals[i] = -vals[i]
                sign_bits = (sign_bits << 1) | sgn
            out.append((pack(vals, s, o), (code << len(nz)) | sign_bits, length + len(nz)))
    return out


def c_list(name, entries):
    body = "\n".join(f"    {{{v}, 0x{c:x}, {l}}}," for v, c, l in entries)
    return f"const DspVlcCode {name}[{len(entries)}] = {{\n{body}\n}};\n"


HEADER = "// Generated by tools/gen_tables.py (tools/tablegen/huffman.py). Do not edit.\n"


def generate(tables):
    files = {}
    # ---- AAC ----
    lists = [("kAacHuffScalefactor", [(i, c, l) for i, c, l in rows_of(tables["aac_scalefactor_huffman"])])]
    for book in range(1, 12):
        lists.append((f"kAacHuffCb{book}", aac_book(tables, book)))
    h = HEADER + """#pragma once

#include <cstdint>

#include "dsp/dsp_vlc.h"

// Code list and decoding parameters of one AAC codebook (0 = scale factors).
struct AacCodebookInfo {
  const DspVlcCode* codes;
  int32_t count;
  int32_t widths[3];  // lookup bits per table level
  int32_t num_widths;
  int32_t dimension;  // 1 (scale factors), 2 or 4
  int32_t shift;      // s: field width of the packed tuple
  int32_t offset;     // o: bias of the packed fields after the first
  int32_t kind;       // 0 quads, 1 pairs, 2 pairs with escape, 5 none
};

extern const AacCodebookInfo kAacCodebooks[12];

// The decoders' lookup tables of the twelve codebooks, laid out as
// aac/spectral_huffman.h describes.
inline constexpr int32_t kAacHuffFastSfRootBits = """ + str(ROOT_BITS[0]) + """;
struct AacHuffFastTable {
  const uint16_t* entries;
  int32_t count;
  int32_t max_length;  // longest code word, sign bits included
  int32_t root_bits;   // width of the root level
};

extern const AacHuffFastTable kAacHuffFast[12];
"""
    cpp = HEADER + '#include "aac/aac_huffman_tables.h"\n\nnamespace {\n\n'
    for name, entries in lists:
        cpp += c_list(name, entries) + "\n"
    cpp += "}  // namespace\n\nconst AacCodebookInfo kAacCodebooks[12] = {\n"
    cpp += "    {kAacHuffScalefactor, 121, {6, 6, 7}, 3, 1, 0, 0, 5},\n"
    for book in range(1, 12):
        dim, _signed, _lav, s, o, kind, widths = AAC_BOOKS[book]
        w = widths + [0] * (3 - len(widths))
        cpp += (f"    {{kAacHuffCb{book}, {len(lists[book][1])}, {{{w[0]}, {w[1]}, {w[2]}}}, {len(widths)}, "
                f"{dim}, {s}, {o}, {kind}}},\n")
    cpp += "};\n"
    cpp += "\nnamespace {\n\n"
    fast = []
    for book, (name, entries) in enumerate(lists):
        kind, s, o = (5, 0, 0) if book == 0 else (AAC_BOOKS[book][5], AAC_BOOKS[book][3], AAC_BOOKS[book][4])
        table = fast_table(entries, kind, s, o, ROOT_BITS[book])
        fast.append((f"{name}Fast", len(table), max(l for _, _, l in entries), ROOT_BITS[book]))
        rows = [", ".join(f"0x{v:04x}" for v in table[i:i + 12]) for i in range(0, len(table), 12)]
        cpp += f"alignas(64) const uint16_t {name}Fast[{len(table)}] = {{\n" + "".join(f"    {r},\n" for r in rows) + "};\n"
        cpp += "\n"
    cpp += "}  // namespace\n\nconst AacHuffFastTable kAacHuffFast[12] = {\n"
    cpp += "".join(f"    {{{n}, {c}, {m}, {r}}},\n" for n, c, m, r in fast) + "};\n"
    files["aac/aac_huffman_tables.h"] = h
    files["aac/aac_huffman_tables.cpp"] = cpp

    # ---- SBR and PS ----
    for prefix, path, specs, note in (
        ("Sbr", "sbr/sbr_huffman_tables", SBR_TABLES,
         "value = table index; the decoded delta is value - lav"),
        ("Ps", "ps/ps_huffman_tables", PS_TABLES,
         "value = the decoded parameter delta (table index minus the offset)"),
    ):
        enum = "\n".join(f"  k{prefix}Huff{name[len(prefix) + 1:]}," for name, _, _ in specs)
        h = HEADER + f"""#pragma once

#include <cstdint>

#include "dsp/dsp_vlc.h"

// The ten {prefix.upper()} Huffman code lists ({note}).
struct {prefix}HuffmanList {{
  const DspVlcCode* codes;
  int32_t count;
  int32_t lav;
}};

// Their order in k{prefix}HuffmanLists.
enum {prefix}HuffmanTable : int32_t {{
{enum}
}};

extern const {prefix}HuffmanList k{prefix}HuffmanLists[10];
"""
        cpp = HEADER + f'#include "{path}.h"\n\nnamespace {{\n\n'
        infos = []
        for name, fname, lav in specs:
            rows = rows_of(tables[fname])
            if prefix == "Sbr":
                entries = [(i, c, l) for i, c, l in rows]
            else:
                entries = [(i - lav, c, l) for i, c, l in rows]
            cpp += c_list(name, entries) + "\n"
            infos.append(f"    {{{name}, {len(entries)}, {lav}}},")
        cpp += f"}}  // namespace\n\nconst {prefix}HuffmanList k{prefix}HuffmanLists[10] = {{\n" + "\n".join(infos) + "\n};\n"
        files[path + ".h"] = h
        files[path + ".cpp"] = cpp
    return files
