#!/usr/bin/env python3
"""Test signals for scripts/als_diff.sh.

    als_signal.py OUT EXPECTED FORMAT BITS CHANNELS RATE SAMPLES KIND SEED

Writes the input file OUT for the ALS reference encoder and EXPECTED, the
same samples as the decoder's PCM output holds them: interleaved, little
endian, signed (8-bit too), IEEE float for BITS 0.

FORMAT: wav (WAVE_FORMAT_PCM / IEEE_FLOAT; 8-bit unsigned), aiff (big
endian, 8-bit signed), raw (little endian; 8-bit unsigned), rawbe (big
endian).  BITS: 8, 16, 24, 32, or 0 for 32-bit float.

KIND (integer): tone (tones and noise, channels correlated), mix (segments
of silence, constants, tones, noise, clicks and full-scale squares), noise
(full-scale white noise), lsb (tones with the four low bits empty), same
(every channel equal), quiet (a few LSB), extremes (the largest and the
smallest value, alternating over samples and channels).  KIND (float): tone, fint
(integers times one gain, for the ACF), fwild (zeros, tiny and large
magnitudes, integer values and noise mixed).
"""
import math
import random
import struct
import sys


def int_samples(kind, bits, ch, rate, n, rng):
    top = (1 << (bits - 1)) - 1
    lo = -top - 1
    out = []
    seg = max(64, rate // 20)
    phase = [rng.random() * 6.283 for _ in range(ch)]
    for i in range(n):
        t = i / rate
        common = math.sin(2 * math.pi * 330 * t) * 0.3 + (rng.random() - 0.5) * 0.05
        k = (i // seg) % 7
        for c in range(ch):
            if kind == 'tone':
                v = 0.35 * math.sin(2 * math.pi * (440 + 97 * c) * t + phase[c]) + common \
                    + 0.02 * (rng.random() - 0.5)
                s = int(v * top)
            elif kind == 'same':
                s = int((common + 0.3 * math.sin(2 * math.pi * 1234 * t)) * top)
            elif kind == 'noise':
                s = rng.randint(lo, top)
            elif kind == 'quiet':
                s = rng.randint(-3, 3) + (1 if (i // 50) % 2 else 0)
            elif kind == 'extremes':
                s = top if (i + c) % 2 == 0 else lo
            elif kind == 'lsb':
                s = (int((0.4 * math.sin(2 * math.pi * (500 + 50 * c) * t) + common) * top) >> 4) << 4
            else:  # mix
                if k == 0:
                    s = 0
                elif k == 1:
                    s = (c + 1) * (top // 9) - top // 3
                elif k == 2:
                    s = int((0.5 * math.sin(2 * math.pi * (200 + 300 * c) * t) + common) * top)
                elif k == 3:
                    s = rng.randint(lo // 4, top // 4)
                elif k == 4:
                    s = int(top * 0.9 * math.exp(-((i % 701) / 40.0)) * (1 if (i // 701) % 2 else -1))
                elif k == 5:
                    s = top if (i // (17 + c)) % 2 else lo
                else:
                    s = int(common * top) >> (c % 3)
            out.append(max(lo, min(top, s)))
    return out


def float_samples(kind, ch, rate, n, rng):
    out = []
    gain = 0.7071 / 32768.0
    for i in range(n):
        t = i / rate
        for c in range(ch):
            if kind == 'fint':
                v = (int(20000 * math.sin(2 * math.pi * (300 + 40 * c) * t)) + rng.randint(-40, 40)) * gain
            elif kind == 'fwild':
                r = rng.random()
                if r < 0.15:
                    v = 0.0
                elif r < 0.3:
                    v = (rng.random() - 0.5) * 1e-6
                elif r < 0.4:
                    v = float(rng.randint(-3, 3)) * 0.25
                elif r < 0.5:
                    v = (rng.random() - 0.5) * 3.9
                else:
                    v = 0.5 * math.sin(2 * math.pi * 700 * t) + 0.01 * (rng.random() - 0.5)
            else:
                v = 0.4 * math.sin(2 * math.pi * (440 + 60 * c) * t) + 0.2 * math.sin(2 * math.pi * 97 * t) \
                    + 0.01 * (rng.random() - 0.5)
            out.append(struct.unpack('<f', struct.pack('<f', v))[0])
    return out


def ieee_extended(x):
    # 80-bit IEEE 754 extended (AIFF sample rate), x a positive integer.
    e = x.bit_length() - 1
    mant = x << (63 - e)
    return struct.pack('>HQ', 16383 + e, mant)


def main():
    out, expected, fmt, bits, ch, rate, n, kind, seed = sys.argv[1:10]
    bits, ch, rate, n, seed = int(bits), int(ch), int(rate), int(n), int(seed)
    rng = random.Random(seed * 7919 + ch * 131 + bits)
    is_float = bits == 0
    width = 4 if is_float else bits // 8
    if is_float:
        vals = float_samples(kind, ch, rate, n, rng)
        le = b''.join(struct.pack('<f', v) for v in vals)
        signed_le = le
    else:
        vals = int_samples(kind, bits, ch, rate, n, rng)
        mask = (1 << bits) - 1
        signed_le = b''.join((v & mask).to_bytes(width, 'little') for v in vals)
        le = signed_le
    with open(expected, 'wb') as f:
        f.write(signed_le)
    if is_float:
        be = b''.join(struct.pack('>f', v) for v in vals)
    else:
        be = b''.join((v & mask).to_bytes(width, 'big') for v in vals)
    unsigned8 = bytes((b ^ 0x80) for b in le) if bits == 8 else le
    if fmt == 'wav':
        data = unsigned8
        tag = 3 if is_float else 1
        fmtc = struct.pack('<HHIIHH', tag, ch, rate, rate * ch * width, ch * width, width * 8)
        body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmtc)) + fmtc + b'data' + \
            struct.pack('<I', len(data)) + data + (b'\0' if len(data) & 1 else b'')
        blob = b'RIFF' + struct.pack('<I', len(body)) + body
    elif fmt == 'aiff':
        data = be
        comm = struct.pack('>hIh', ch, n, width * 8) + ieee_extended(rate)
        ssnd = struct.pack('>II', 0, 0) + data
        body = b'AIFF' + b'COMM' + struct.pack('>I', len(comm)) + comm + b'SSND' + \
            struct.pack('>I', len(ssnd)) + ssnd + (b'\0' if len(ssnd) & 1 else b'')
        blob = b'FORM' + struct.pack('>I', len(body)) + body
    elif fmt == 'raw':
        blob = unsigned8
    else:  # rawbe
        blob = bytes((b ^ 0x80) for b in be) if bits == 8 else be
    with open(out, 'wb') as f:
        f.write(blob)


if __name__ == '__main__':
    main()
