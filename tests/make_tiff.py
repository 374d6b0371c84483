#!/usr/bin/env python3
"""Writes a deterministic uncompressed single-channel TIFF for tests and examples.

usage: make_tiff.py OUT --width W --height H [--bits B] [--endian little|big]
                    [--rows-per-strip R] [--description TEXT] [--seed S] [--zeros N]
                    [--values V,V,...] [--random]

Samples are a smooth gradient with bright spots and noise, like a fluorescence
frame; --zeros sets the first N samples to 0 (zero divisors); --values gives
the samples themselves, row by row.
"""
import argparse
import random
import struct


def samples(width, height, bits, seed):
    rng = random.Random(seed)
    top = (1 << bits) - 1
    spots = [(rng.randrange(width), rng.randrange(height), rng.randrange(2, 12)) for _ in range(8)]
    for y in range(height):
        row = []
        for x in range(width):
            v = top // 8 + (top // 4) * (x + y) // max(1, width + height)
            for sx, sy, r in spots:
                if (x - sx) ** 2 + (y - sy) ** 2 < r * r:
                    v += top // 2
            v += rng.randrange(0, max(1, top // 64 + 1))
            row.append(min(v, top))
        yield row


def pack_row(row, bits, little):
    if bits in (16, 32, 64):
        return struct.pack(("<" if little else ">") + "%d%s" % (len(row), {16: "H", 32: "I", 64: "Q"}[bits]), *row)
    if bits == 8:
        return bytes(row)
    acc = nbits = 0
    out = bytearray()
    for v in row:
        for b in range(bits - 1, -1, -1):
            acc = (acc << 1) | ((v >> b) & 1)
            nbits += 1
            if nbits == 8:
                out.append(acc)
                acc = nbits = 0
    if nbits:
        out.append(acc << (8 - nbits))
    return bytes(out)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("--width", type=int, required=True)
    p.add_argument("--height", type=int, required=True)
    p.add_argument("--bits", type=int, default=16)
    p.add_argument("--endian", choices=["little", "big"], default="little")
    p.add_argument("--rows-per-strip", type=int, default=0)
    p.add_argument("--description")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--zeros", type=int, default=0)
    p.add_argument("--values")
    p.add_argument("--random", action="store_true", help="uniformly random samples")
    p.add_argument("--sample-format", type=int, help="SampleFormat: 2 signed, 3 floating point; the samples' bits")
    a = p.parse_args()

    little = a.endian == "little"
    e = "<" if little else ">"
    rps = a.rows_per_strip or a.height
    if a.values:
        flat = [int(v) for v in a.values.split(",")]
        grid = [flat[y * a.width:(y + 1) * a.width] for y in range(a.height)]
    elif a.random:
        rng = random.Random(a.seed)
        grid = [[rng.randrange(1 << a.bits) for _ in range(a.width)] for _ in range(a.height)]
    else:
        grid = samples(a.width, a.height, a.bits, a.seed)
    rows = [pack_row(r, a.bits, little) for r in grid]
    if a.zeros:
        first = bytearray(rows[0])
        first[: a.zeros * max(1, a.bits // 8)] = bytes(a.zeros * max(1, a.bits // 8))
        rows[0] = bytes(first)

    data = bytearray(b"II*\0" if little else b"MM\0*") + struct.pack(e + "I", 0)
    text = (a.description.encode() + b"\0") if a.description is not None else None
    text_at = 0
    if text is not None and len(text) > 4:
        text_at = len(data)
        data += text + (b"\0" if len(text) % 2 else b"")
    offsets, counts = [], []
    for s in range(0, a.height, rps):
        offsets.append(len(data))
        chunk = b"".join(rows[s:s + rps])
        counts.append(len(chunk))
        data += chunk
    if len(data) % 2:
        data += b"\0"
    arrays_at = len(data)
    if len(offsets) > 1:
        data += struct.pack(e + "%dI" % len(offsets), *offsets)
        data += struct.pack(e + "%dI" % len(counts), *counts)

    def short(tag, v):
        return struct.pack(e + "HHIHH", tag, 3, 1, v, 0)

    def long_(tag, count, v):
        return struct.pack(e + "HHII", tag, 4, count, v)

    entries = [long_(256, 1, a.width), long_(257, 1, a.height), short(258, a.bits), short(259, 1), short(262, 1)]
    if text is not None:
        field = text.ljust(4, b"\0") if len(text) <= 4 else struct.pack(e + "I", text_at)
        entries.append(struct.pack(e + "HHI", 270, 2, len(text)) + field)
    many = len(offsets) > 1
    entries += [long_(273, len(offsets), arrays_at if many else offsets[0]), short(277, 1),
                long_(278, 1, rps), long_(279, len(counts), arrays_at + 4 * len(counts) if many else counts[0])]
    if a.sample_format is not None:
        entries.append(short(339, a.sample_format))
    ifd = len(data)
    data += struct.pack(e + "H", len(entries)) + b"".join(entries) + struct.pack(e + "I", 0)
    data[4:8] = struct.pack(e + "I", ifd)
    with open(a.out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
