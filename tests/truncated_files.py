#!/usr/bin/env python3
"""Cuts real writers' files short at every byte of their directory and of the
values outside it that the reader uses (ImageDescription, StripOffsets,
StripByteCounts), and gives each cut as the dividend, with the whole file as
the divisor. Each cut must be refused with one line on standard error, or
give exactly the whole file's output. Writers: ImageMagick and libtiff's
tiffcp (directory after the data), tifffile and GDAL (directory before it).

usage: truncated_files.py IMGRATIO_BINARY
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def make_files(work):
    base = os.path.join(work, "base.tif")
    subprocess.run(["python3", os.path.join(HERE, "make_tiff.py"), base, "--width", "61", "--height", "40",
                    "--bits", "16", "--seed", "3"], check=True)
    made = {}

    def run(name, *command):
        path = os.path.join(work, name)
        subprocess.run([c.replace("OUT", path) for c in command], check=True)
        made[name] = path

    run("imagemagick.tif", "convert", base, "-define", "tiff:rows-per-strip=7", "-compress", "lzw",
        "-set", "comment", "ImageMagick frame description", "OUT")
    run("tiffcp.tif", "tiffcp", "-c", "lzw:2", "-r", "7", base, "OUT")
    run("gdal.tif", "gdal_translate", "-q", "-co", "COMPRESS=LZW", "-co", "PREDICTOR=2", "-co", "BLOCKYSIZE=7",
        "-mo", "TIFFTAG_IMAGEDESCRIPTION=GDAL frame description", base, "OUT")
    tifffile_out = os.path.join(work, "tifffile.tif")
    subprocess.run(["/usr/bin/python3", "-c",
                    "import sys, tifffile; a = tifffile.imread(sys.argv[1]); "
                    "tifffile.imwrite(sys.argv[2], a, rowsperstrip=7, photometric='minisblack', "
                    "description='tifffile frame description', compression=None)", base, tifffile_out], check=True)
    made["tifffile.tif"] = tifffile_out
    return made


def used_ranges(data):
    """Byte ranges of the first directory and of the values the reader takes from outside it."""
    order = "<" if data[:2] == b"II" else ">"
    ifd = struct.unpack(order + "I", data[4:8])[0]
    n = struct.unpack(order + "H", data[ifd:ifd + 2])[0]
    ranges = [(ifd, ifd + 2 + 12 * n + 4)]
    seen = set()
    for i in range(n):
        tag, typ, count, field = struct.unpack(order + "HHII", data[ifd + 2 + 12 * i:ifd + 14 + 12 * i])
        if tag in (270, 273, 279) and tag not in seen:
            seen.add(tag)
            size = count * {2: 1, 3: 2, 4: 4}[typ]
            if size > 4:
                ranges.append((field, field + size))
    return ranges


def run(binary, dividend, divisor, out):
    if os.path.exists(out):
        os.remove(out)
    r = subprocess.run([binary, dividend, divisor, out], capture_output=True, text=True)
    return r.returncode, r.stderr, open(out, "rb").read() if r.returncode == 0 else None


def main():
    binary = sys.argv[1]
    failures = cuts = refused = 0
    messages = set()
    with tempfile.TemporaryDirectory() as work:
        for name, path in make_files(work).items():
            data = open(path, "rb").read()
            out = os.path.join(work, "out.tif")
            status, err, whole = run(binary, path, path, out)
            if status != 0:
                print(f"FAIL: {name} whole: {err.strip()}")
                failures += 1
                continue
            positions = sorted({p for a, b in used_ranges(data) for p in range(a, b)})
            cut_path = os.path.join(work, "cut.tif")
            for p in positions:
                with open(cut_path, "wb") as f:
                    f.write(data[:p])
                cuts += 1
                status, err, output = run(binary, cut_path, path, out)
                lines = err.splitlines()
                if status == 1 and len(lines) == 1 and lines[0].startswith(cut_path + " : "):
                    refused += 1
                    messages.add(lines[0].split(" : ", 1)[1])
                elif status == 0 and err == "" and output == whole:
                    pass
                else:
                    failures += 1
                    if failures <= 10:
                        print(f"FAIL: {name} cut at {p} of {len(data)}: exit {status}, {err.strip()!r}, "
                              f"output {'same' if output == whole else 'different'}")
    print(f"{cuts} cuts: {refused} refused ({', '.join(sorted(messages))}), {cuts - refused - failures} "
          f"stored as the whole file")
    print(f"{cuts - failures} passed, {failures} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
