#!/usr/bin/env python3
"""Single-valued tags stored as BYTE and as LONG rather than SHORT: imgratio
must read them as libtiff does. Each tag of an LZW + differencing image with
FillOrder 2 (both byte orders) is rewritten in turn with the other type; the
ratio of the rewritten file must equal the ratio of libtiff's copy of it
(tiffcp, which stores the tags as SHORT again), and that of the original.

usage: tag_types.py IMGRATIO_BINARY
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TAGS = {256: "ImageWidth", 257: "ImageLength", 258: "BitsPerSample", 259: "Compression",
        262: "PhotometricInterpretation", 266: "FillOrder", 277: "SamplesPerPixel", 278: "RowsPerStrip",
        284: "PlanarConfiguration", 317: "Predictor"}


def retyped(data, tag, new_type):
    order = "<" if data[:2] == b"II" else ">"
    ifd = struct.unpack(order + "I", data[4:8])[0]
    n = struct.unpack(order + "H", data[ifd:ifd + 2])[0]
    for i in range(n):
        at = ifd + 2 + 12 * i
        t, typ, count = struct.unpack(order + "HHI", data[at:at + 8])
        if t != tag:
            continue
        assert typ == 3 and count == 1, (tag, typ, count)
        value = struct.unpack(order + "H", data[at + 8:at + 10])[0]
        field = struct.pack("B", value) + b"\0\0\0" if new_type == 1 else struct.pack(order + "I", value)
        return data[:at] + struct.pack(order + "HHI", tag, new_type, 1) + field + data[at + 12:]
    raise KeyError(tag)


def ratio(binary, dividend, divisor, out):
    r = subprocess.run([binary, dividend, divisor, out], capture_output=True, text=True)
    return open(out, "rb").read() if r.returncode == 0 else r.stderr.strip()


def main():
    binary = sys.argv[1]
    failures = checked = 0
    with tempfile.TemporaryDirectory() as work:
        p = lambda name: os.path.join(work, name)
        make = ["python3", os.path.join(HERE, "make_tiff.py")]
        subprocess.run(make + [p("plain.tif"), "--width", "200", "--height", "30", "--bits", "16", "--seed", "2"],
                       check=True)
        subprocess.run(make + [p("other.tif"), "--width", "200", "--height", "30", "--bits", "16", "--seed", "9"],
                       check=True)
        for byte_order in ("-L", "-B"):
            subprocess.run(["tiffcp", "-c", "lzw:2", "-f", "lsb2msb", "-r", "7", byte_order, p("plain.tif"),
                            p("base.tif")], check=True)
            base = open(p("base.tif"), "rb").read()
            expected = ratio(binary, p("base.tif"), p("other.tif"), p("out.tif"))
            for tag, name in TAGS.items():
                for new_type, type_name in ((1, "BYTE"), (4, "LONG")):
                    checked += 1
                    with open(p("retyped.tif"), "wb") as f:
                        f.write(retyped(base, tag, new_type))
                    subprocess.run(["tiffcp", p("retyped.tif"), p("libtiff.tif")], check=True, capture_output=True)
                    got = ratio(binary, p("retyped.tif"), p("other.tif"), p("out.tif"))
                    libtiff = ratio(binary, p("libtiff.tif"), p("other.tif"), p("out.tif"))
                    if got != libtiff or got != expected:
                        failures += 1
                        detail = got if isinstance(got, str) else "a different ratio"
                        print(f"FAIL: {name} as {type_name} ({byte_order}): {detail}")
    print(f"{checked - failures} passed, {failures} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
