#!/usr/bin/env python3
"""Files of a few hundred bytes that declare huge images, given as both
inputs (or with a small divisor): each must be refused with its message,
quickly and in a few megabytes, never by the out-of-memory killer, and
before anything is stored for them: the program runs with a file size limit
of 1 MiB (SIGXFSZ ignored), so that a large output it began to write fails
with "file not stored.", and that output must not be left. Prints
the peak memory and time of each refusal (from /usr/bin/time -v) and fails
when a message is wrong or a refusal needs more than 64 MiB or 2 s.

usage: hostile_sizes.py IMGRATIO_BINARY
"""
import os
import resource
import signal
import struct
import subprocess
import sys
import tempfile


def tiff(entries, tail=b""):
    """Big-endian TIFF: header, `tail` bytes at offset 8, then the directory.
    entries: (tag, type, count, value field as int)."""
    ifd = 8 + len(tail) + (len(tail) & 1)
    data = b"MM\0*" + struct.pack(">I", ifd) + tail + b"\0" * (len(tail) & 1)
    data += struct.pack(">H", len(entries))
    for tag, typ, count, value in sorted(entries):
        if typ == 3 and count == 1:
            data += struct.pack(">HHIHH", tag, typ, count, value, 0)
        else:
            data += struct.pack(">HHII", tag, typ, count, value)
    return data + b"\0\0\0\0"


def image(width, height, bits, compression, rows_per_strip, strips, offset, count, tail=b""):
    return tiff([(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, bits), (259, 3, 1, compression),
                 (262, 3, 1, 1), (278, 4, 1, rows_per_strip), (273, 4, strips, offset),
                 (279, 4, strips, count)], tail)


def tiled(width, height, tile, tiles, offset, count):
    return tiff([(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 16), (259, 3, 1, 1), (262, 3, 1, 1),
                 (322, 4, 1, tile), (323, 4, 1, tile), (324, 4, tiles, offset), (325, 4, tiles, count)])


BIG = 0x7FFFFFFF
LZW_ONE_BYTE = bytes([0x80, 0x10, 0x60, 0x20])  # clear, 'A', end

CASES = [
    ("65535 x 65535 16-bit, one uncompressed strip past the end",
     image(65535, 65535, 16, 1, 65535, 1, 8, 0xFFFFFFFF), "unexpected end of file."),
    ("65535 x 65535 16-bit, 4096 strips whose tables lie past the end",
     image(65535, 65535, 16, 1, 16, 4096, 1 << 20, 2 << 20), "unexpected end of file."),
    ("width 2^31 - 1, one LZW row of one byte",
     image(BIG, 1, 16, 5, 1, 1, 8, 4, LZW_ONE_BYTE), "LZW unexpected end of code."),
    ("height 2^31 - 1, one row per strip, PackBits, tables past the end",
     image(1, BIG, 8, 32773, 1, BIG, 1 << 20, 2 << 20), "unexpected end of file."),
    ("height 2^31 - 1, one row per strip, strip table of the wrong count",
     image(1, BIG, 8, 1, 1, 1000, 1 << 20, 2 << 20), "bad number of strip offset."),
    ("a description of 4294934286 bytes (found by fuzzing), 13 x 7 image",
     tiff([(256, 3, 1, 13), (257, 3, 1, 7), (258, 3, 1, 8), (262, 3, 1, 1), (270, 2, 4294934286, 8),
           (273, 4, 1, 8), (279, 4, 1, 91)]), "unexpected end of file."),
    ("65535 x 65535 16-bit in 16 x 16 tiles whose tables lie past the end",
     tiled(65535, 65535, 16, 4096 * 4096, 1 << 20, 2 << 20), "unexpected end of file."),
    ("65535 x 65535 16-bit in one tile of 65536 x 65536, past the end",
     tiled(65535, 65535, 65536, 1, 8, 1 << 31), "unexpected end of file."),
    ("200000 x 100000 16-bit: 40 GB, more than the machine has",
     image(200000, 100000, 16, 1, 1, 100000, 1 << 20, 2 << 20), "unexpected end of file."),
    ("65535 x 65535 at 0 bits: valid, its 8 GiB BigTIFF result stopped by the file size limit",
     image(65535, 65535, 0, 1, 65535, 1, 8, 0), "OUT : file not stored."),
    ("64269 x 32512 at 0 bits (found by fuzzing): a 4 GB result, a PackBits strip with a byte left",
     image(64269, 32512, 0, 32773, 32512, 1, 8, 1), "MPB too many codes."),
    ("2^31 - 1 x 2^31 - 1 at 0 bits, divided by a 4 x 1 image",
     image(BIG, BIG, 0, 1, BIG, 1, 8, 0), "DIVISOR : image size mismatch.",
     image(4, 1, 8, 1, 1, 1, 8, 4, b"\1\2\3\4")),
]


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def main():
    binary = sys.argv[1]
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        print(f"| case | file bytes | message | peak RSS MiB | elapsed s |")
        print("|---|---|---|---|---|")
        for title, data, message, *divisor_data in CASES:
            path = os.path.join(work, "hostile.tif")
            with open(path, "wb") as f:
                f.write(data)
            divisor = path
            if divisor_data:
                divisor = os.path.join(work, "divisor.tif")
                with open(divisor, "wb") as f:
                    f.write(divisor_data[0])
            out = os.path.join(work, "out.tif")
            r = subprocess.run(["/usr/bin/time", "-v", binary, path, divisor, out], capture_output=True, text=True,
                               preexec_fn=limit_file_size)
            lines = r.stderr.splitlines()
            rss = int(next(l for l in lines if "Maximum resident set size" in l).split()[-1]) / 1024
            wall = next(l for l in lines if "Elapsed (wall clock)" in l).split()[-1]
            got = lines[0] if lines else ""
            print(f"| {title} | {len(data)} | {got.split(' : ')[-1]} | {rss:.1f} | {wall} |")
            expected = message.replace("OUT", out).replace("DIVISOR", divisor)
            if expected == message:
                expected = f"{path} : {message}"
            seconds = float(wall.split(":")[-1]) + 60 * sum(float(x) for x in wall.split(":")[:-1])
            if got != expected or r.returncode != 1 or os.path.exists(out) or rss > 64 or seconds > 2:
                print(f"FAIL: {title}: exit {r.returncode}, stderr {got!r}, expected {message!r}, {rss:.1f} MiB, {wall}")
                failures += 1
    print(f"{len(CASES) - failures} passed, {failures} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
