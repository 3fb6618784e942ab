#!/usr/bin/env python3
"""Wraps AAC access units in a minimal MP4 (one audio track, one chunk).

ADTS cannot signal 960-sample frames, so streams coded with them are carried
in MP4 with an AudioSpecificConfig whose frameLengthFlag is 1.  Inputs:

  mp4_wrap.py --es STREAM.es --meta STREAM.txt -o OUT.mp4
      an encoder's elementary stream: the AudioSpecificConfig followed by the
      access units, whose sizes the meta file lists (lines
      "-ia_mp4_stsz_size:N"); the configuration is what precedes them.
  mp4_wrap.py --adts STREAM.aac [--frame-length 960] -o OUT.mp4
      ADTS frames; the configuration is built from the first header (object
      type, rate, channels) with the given frame length.
  mp4_wrap.py --mp4 IN.mp4 [--frame-length 960] -o OUT.mp4
      the first audio track of an MP4 file (its configuration and access
      units), e.g. to set the frameLengthFlag of a stream FFmpeg muxed.

--asc HEX replaces the configuration (for other SBR/PS signalling), and
--frame-length 960|1024 sets its frameLengthFlag.  Every access unit lasts
960 or 1024 samples of the core rate (the media time scale).
"""
import argparse
import struct
import sys

RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350]


class Bits:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def read(self, n):
        v = 0
        for _ in range(n):
            byte = self.data[self.pos >> 3] if (self.pos >> 3) < len(self.data) else 0
            v = (v << 1) | ((byte >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return v


def asc_core(asc):
    """(core rate, channels, bit position of frameLengthFlag) of a configuration."""
    b = Bits(asc)

    def object_type():
        t = b.read(5)
        return 32 + b.read(6) if t == 31 else t

    def rate():
        i = b.read(4)
        return b.read(24) if i == 15 else RATES[i]

    aot = object_type()
    core_rate = rate()
    channels = b.read(4)
    if aot in (5, 29):
        rate()  # extension sampling frequency
        object_type()
    return core_rate, channels, b.pos


def set_frame_length(asc, frame_length):
    asc = bytearray(asc)
    pos = asc_core(asc)[2]
    mask = 0x80 >> (pos & 7)
    if frame_length == 960:
        asc[pos >> 3] |= mask
    else:
        asc[pos >> 3] &= ~mask & 0xFF
    return bytes(asc)


def frame_length_of(asc):
    pos = asc_core(asc)[2]
    return 960 if asc[pos >> 3] & (0x80 >> (pos & 7)) else 1024


def from_es(es_path, meta_path):
    data = open(es_path, "rb").read()
    sizes = [int(l.split(":", 1)[1]) for l in open(meta_path) if l.startswith("-ia_mp4_stsz_size:")]
    start = len(data) - sum(sizes)
    if start <= 0:
        sys.exit("meta sizes do not fit the stream")
    units, pos = [], start
    for n in sizes:
        units.append(data[pos:pos + n])
        pos += n
    return data[:start], units


def from_adts(path):
    data = open(path, "rb").read()
    units, pos, asc = [], 0, None
    while pos + 7 <= len(data):
        h = data[pos:pos + 7]
        if h[0] != 0xFF or (h[1] & 0xF6) != 0xF0:
            sys.exit(f"no ADTS header at byte {pos}")
        length = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5)
        header = 7 if h[1] & 1 else 9
        if asc is None:
            aot, sf, ch = (h[2] >> 6) + 1, (h[2] >> 2) & 15, ((h[2] & 1) << 2) | (h[3] >> 6)
            asc = bytes([(aot << 3) | (sf >> 1), ((sf & 1) << 7) | (ch << 3)])
        units.append(data[pos + header:pos + length])
        pos += length
    return asc, units


def boxes(data, start=0, end=None):
    """(type, payload start, payload end) of the boxes in data[start:end]."""
    end = len(data) if end is None else end
    while start + 8 <= end:
        size, kind = struct.unpack(">I4s", data[start:start + 8])
        head = 8
        if size == 1:
            size, head = struct.unpack(">Q", data[start + 8:start + 16])[0], 16
        elif size == 0:
            size = end - start
        if size < head or start + size > end:
            sys.exit("damaged MP4 box")
        yield kind, start + head, start + size
        start += size


def child(data, span, *path):
    for kind in path:
        span = next(((s, e) for k, s, e in boxes(data, *span) if k == kind), None)
        if span is None:
            return None
    return span


def read_descriptor(data, pos):
    tag, n, pos = data[pos], 0, pos + 1
    while True:
        n, more, pos = (n << 7) | (data[pos] & 0x7F), data[pos] & 0x80, pos + 1
        if not more:
            return tag, pos, pos + n


def from_mp4(path):
    data = open(path, "rb").read()
    moov = child(data, (0, len(data)), b"moov")
    for kind, s, e in boxes(data, *moov):
        stbl = child(data, (s, e), b"mdia", b"minf", b"stbl") if kind == b"trak" else None
        stsd = stbl and child(data, stbl, b"stsd")
        entry = stsd and child(data, (stsd[0] + 8, stsd[1]), b"mp4a")
        if entry:
            break
    else:
        sys.exit("no mp4a track")
    esds = child(data, (entry[0] + 28, entry[1]), b"esds")
    _, s, _ = read_descriptor(data, esds[0] + 4)  # ES_Descriptor
    flags = data[s + 2]
    s += 3 + (2 if flags & 0x80 else 0) + (2 if flags & 0x20 else 0)
    if flags & 0x40:
        s += 1 + data[s]
    _, s, _ = read_descriptor(data, s)  # DecoderConfigDescriptor
    _, s, e = read_descriptor(data, s + 13)  # DecoderSpecificInfo
    asc = data[s:e]
    sizes_box, chunks_box, runs_box = (child(data, stbl, k) for k in (b"stsz", b"stco", b"stsc"))
    fixed, count = struct.unpack(">II", data[sizes_box[0] + 4:sizes_box[0] + 12])
    sizes = [fixed] * count if fixed else list(
        struct.unpack(f">{count}I", data[sizes_box[0] + 12:sizes_box[0] + 12 + 4 * count]))
    nchunks = struct.unpack(">I", data[chunks_box[0] + 4:chunks_box[0] + 8])[0]
    offsets = struct.unpack(f">{nchunks}I", data[chunks_box[0] + 8:chunks_box[0] + 8 + 4 * nchunks])
    nruns = struct.unpack(">I", data[runs_box[0] + 4:runs_box[0] + 8])[0]
    runs = [struct.unpack(">III", data[runs_box[0] + 8 + 12 * i:runs_box[0] + 20 + 12 * i])
            for i in range(nruns)]
    units, sample = [], 0
    for c, at in enumerate(offsets):
        per = [r[1] for r in runs if r[0] <= c + 1][-1]
        for _ in range(per):
            if sample == count:
                break
            units.append(data[at:at + sizes[sample]])
            at += sizes[sample]
            sample += 1
    return asc, units


def box(kind, *payload):
    body = b"".join(payload)
    return struct.pack(">I", 8 + len(body)) + kind + body


def full_box(kind, version, flags, *payload):
    return box(kind, struct.pack(">I", (version << 24) | flags), *payload)


def descriptor(tag, body):
    n = len(body)
    return bytes([tag, 0x80 | (n >> 21) & 0x7F, 0x80 | (n >> 14) & 0x7F, 0x80 | (n >> 7) & 0x7F,
                  n & 0x7F]) + body


MATRIX = struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000)


def build(asc, units, rate, channels):
    frame = frame_length_of(asc)
    duration = frame * len(units)
    bitrate = sum(len(u) for u in units) * 8 * rate // max(duration, 1)
    esds = full_box(b"esds", 0, 0, descriptor(3, struct.pack(">HB", 1, 0) + descriptor(
        4, struct.pack(">BB", 0x40, 0x15) + struct.pack(">I", max(len(u) for u in units))[1:] +
        struct.pack(">II", bitrate, bitrate) + descriptor(5, asc)) + descriptor(6, b"\x02")))
    mp4a = box(b"mp4a", bytes(6), struct.pack(">H", 1), bytes(8),
               struct.pack(">HHHHI", channels or 2, 16, 0, 0, (rate & 0xFFFF) << 16), esds)

    def moov(offset):
        stbl = box(b"stbl", full_box(b"stsd", 0, 0, struct.pack(">I", 1), mp4a),
                   full_box(b"stts", 0, 0, struct.pack(">III", 1, len(units), frame)),
                   full_box(b"stsc", 0, 0, struct.pack(">IIII", 1, 1, len(units), 1)),
                   full_box(b"stsz", 0, 0, struct.pack(">II", 0, len(units)),
                            b"".join(struct.pack(">I", len(u)) for u in units)),
                   full_box(b"stco", 0, 0, struct.pack(">II", 1, offset)))
        minf = box(b"minf", full_box(b"smhd", 0, 0, bytes(4)),
                   box(b"dinf", full_box(b"dref", 0, 0, struct.pack(">I", 1),
                                         full_box(b"url ", 0, 1))), stbl)
        mdia = box(b"mdia", full_box(b"mdhd", 0, 0, struct.pack(">IIIIHH", 0, 0, rate, duration,
                                                                0x55C4, 0)),
                   full_box(b"hdlr", 0, 0, bytes(4), b"soun", bytes(12), b"SoundHandler\0"), minf)
        tkhd = full_box(b"tkhd", 0, 7, struct.pack(">IIIII", 0, 0, 1, 0, duration), bytes(8),
                        struct.pack(">HHHH", 0, 0, 0x0100, 0), MATRIX, struct.pack(">II", 0, 0))
        mvhd = full_box(b"mvhd", 0, 0, struct.pack(">IIIIIH", 0, 0, rate, duration, 0x10000, 0x0100),
                        bytes(10), MATRIX, bytes(24), struct.pack(">I", 2))
        return box(b"moov", mvhd, box(b"trak", tkhd, mdia))

    ftyp = box(b"ftyp", b"M4A ", struct.pack(">I", 0), b"M4A mp42isom")
    head = len(ftyp) + len(moov(0)) + 8  # the mdat payload follows its 8-byte header
    return ftyp + moov(head) + box(b"mdat", *units)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    src = p.add_mutually_exclusive_group(required=True)
    src.add_argument("--es")
    src.add_argument("--adts")
    src.add_argument("--mp4")
    p.add_argument("--meta")
    p.add_argument("--asc", help="AudioSpecificConfig in hexadecimal")
    p.add_argument("--frame-length", type=int, choices=(960, 1024))
    p.add_argument("--frames", type=int, help="keep only the first N access units")
    p.add_argument("-o", required=True)
    a = p.parse_args()
    if a.es:
        if not a.meta:
            p.error("--es needs --meta")
        asc, units = from_es(a.es, a.meta)
    elif a.adts:
        asc, units = from_adts(a.adts)
    else:
        asc, units = from_mp4(a.mp4)
    if a.asc:
        asc = bytes.fromhex(a.asc)
    if a.frame_length:
        asc = set_frame_length(asc, a.frame_length)
    if a.frames:
        units = units[:a.frames]
    rate, channels, _ = asc_core(asc)
    with open(a.o, "wb") as f:
        f.write(build(asc, units, rate, channels))
    print(f"{a.o}: {len(units)} access units, configuration {asc.hex()}, "
          f"{frame_length_of(asc)}-sample frames at {rate} Hz")


if __name__ == "__main__":
    main()
