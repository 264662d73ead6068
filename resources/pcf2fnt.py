#!/usr/bin/env python3
"""Turns an 8-pixel-wide X11 PCF bitmap font into the raw 8x16 BIOS layout
(256 glyphs x 16 rows, one byte a row, most significant bit leftmost) that
Allegro's `dat -t FONT` reads from a .fnt file.

usage: pcf2fnt.py FONT.pcf[.gz] OUT.fnt

Codes the font lacks (the control codes) stay blank. Glyph rows are placed
on the font's own baseline; pixels outside the 8x16 cell are cut.
"""
import gzip
import struct
import sys

PCF_ACCELERATORS = 1 << 1
PCF_METRICS = 1 << 2
PCF_BITMAPS = 1 << 3
PCF_BDF_ENCODINGS = 1 << 5
PCF_BDF_ACCELERATORS = 1 << 8

PCF_GLYPH_PAD_MASK = 3
PCF_BYTE_MASK = 1 << 2
PCF_BIT_MASK = 1 << 3
PCF_COMPRESSED_METRICS = 0x100

CELL_W, CELL_H = 8, 16


class Table:
    """One table of the file: its format word and a reader in its byte order."""

    def __init__(self, raw, offset):
        self.raw = raw
        self.format = struct.unpack_from('<i', raw, offset)[0]
        self.endian = '>' if self.format & PCF_BYTE_MASK else '<'
        self.pos = offset + 4

    def read(self, fmt):
        values = struct.unpack_from(self.endian + fmt, self.raw, self.pos)
        self.pos += struct.calcsize(self.endian + fmt)
        return values


def load_tables(raw):
    if raw[:4] != b'\x01fcp':
        raise ValueError('not a PCF font')
    count = struct.unpack_from('<i', raw, 4)[0]
    tables = {}
    for i in range(count):
        kind, _fmt, _size, offset = struct.unpack_from('<iiii', raw, 8 + 16 * i)
        tables[kind] = offset
    return tables


def read_metrics(raw, offset):
    t = Table(raw, offset)
    metrics = []
    if t.format & PCF_COMPRESSED_METRICS:
        (count,) = t.read('h')
        for _ in range(count):
            lsb, rsb, width, ascent, descent = (v - 0x80 for v in t.read('5B'))
            metrics.append((lsb, rsb, width, ascent, descent))
    else:
        (count,) = t.read('i')
        for _ in range(count):
            lsb, rsb, width, ascent, descent, _attr = t.read('6h')
            metrics.append((lsb, rsb, width, ascent, descent))
    return metrics


def read_bitmaps(raw, offset):
    t = Table(raw, offset)
    (count,) = t.read('i')
    offsets = t.read('%di' % count)
    t.read('4i')  # bitmap sizes for the four paddings
    pad = 1 << (t.format & PCF_GLYPH_PAD_MASK)
    msb_first = bool(t.format & PCF_BIT_MASK)
    return t.pos, offsets, pad, msb_first


def read_encodings(raw, offset):
    t = Table(raw, offset)
    min2, max2, min1, max1, _default = t.read('5h')
    cols = max2 - min2 + 1
    indices = t.read('%dH' % (cols * (max1 - min1 + 1)))
    glyph_of = {}
    for code in range(256):
        # Row 0 of a one- or two-byte encoding holds the 8-bit codes.
        slot = code - min2 if min1 == 0 and min2 <= code <= max2 else -1
        if slot >= 0 and indices[slot] != 0xFFFF:
            glyph_of[code] = indices[slot]
    return glyph_of


def read_ascent(raw, tables):
    offset = tables.get(PCF_BDF_ACCELERATORS, tables.get(PCF_ACCELERATORS))
    t = Table(raw, offset)
    t.read('8B')  # flags and padding
    ascent, descent = t.read('2i')
    return ascent, descent


def convert(raw):
    tables = load_tables(raw)
    metrics = read_metrics(raw, tables[PCF_METRICS])
    data_start, offsets, pad, msb_first = read_bitmaps(raw, tables[PCF_BITMAPS])
    glyph_of = read_encodings(raw, tables[PCF_BDF_ENCODINGS])
    font_ascent, _ = read_ascent(raw, tables)

    out = bytearray(256 * CELL_H)
    for code, glyph in glyph_of.items():
        lsb, rsb, _width, ascent, descent = metrics[glyph]
        row_bytes = ((rsb - lsb + 7) // 8 + pad - 1) // pad * pad
        start = data_start + offsets[glyph]
        for j in range(ascent + descent):
            y = font_ascent - ascent + j
            if not 0 <= y < CELL_H:
                continue
            row = raw[start + j * row_bytes:start + (j + 1) * row_bytes]
            for bit in range(rsb - lsb):
                byte = row[bit // 8]
                on = byte & (0x80 >> (bit % 8)) if msb_first else byte & (1 << (bit % 8))
                x = lsb + bit
                if on and 0 <= x < CELL_W:
                    out[code * CELL_H + y] |= 0x80 >> x
    return bytes(out)


def main():
    if len(sys.argv) != 3:
        sys.exit('usage: pcf2fnt.py FONT.pcf[.gz] OUT.fnt')
    with open(sys.argv[1], 'rb') as f:
        raw = f.read()
    if raw[:2] == b'\x1f\x8b':
        raw = gzip.decompress(raw)
    with open(sys.argv[2], 'wb') as f:
        f.write(convert(raw))


if __name__ == '__main__':
    main()
