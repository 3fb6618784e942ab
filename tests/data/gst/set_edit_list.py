#!/usr/bin/env python3
"""Rewrites the edit list of a one-track MP4 (version 0 boxes):
one edit of DURATION samples from media sample MEDIA_TIME, the movie
timescale set to the media's, and the movie and track durations set to
MOVIE_DURATION samples (the whole media: the demuxer then delivers every
sample and the decoder's clipping alone trims the edges).

usage: set_edit_list.py IN.m4a OUT.m4a MEDIA_TIME DURATION MOVIE_DURATION
"""
import struct
import sys

src, dst = sys.argv[1], sys.argv[2]
media_time, duration, movie = (int(v) for v in sys.argv[3:6])
d = bytearray(open(src, 'rb').read())


def box(tag):
    at = d.find(tag)
    if at < 4:
        sys.exit(f'no {tag.decode()} box')
    return at - 4


mdhd = box(b'mdhd')
timescale = struct.unpack('>I', d[mdhd + 20:mdhd + 24])[0]
mvhd = box(b'mvhd')
struct.pack_into('>II', d, mvhd + 20, timescale, movie)
struct.pack_into('>I', d, box(b'tkhd') + 28, movie)
elst = box(b'elst')
if struct.unpack('>I', d[elst + 12:elst + 16])[0] != 1:
    sys.exit('expected one edit')
struct.pack_into('>Ii', d, elst + 16, duration, media_time)
open(dst, 'wb').write(d)
