#!/usr/bin/python3
"""Makes the benchmark inputs, deterministically, in the directory given.

Frames look like fluorescence images: a smooth background, bright blobs,
Poisson noise, and a few zero samples in every divisor. Strips hold 16 rows,
as real writers make them. Needs numpy and tifffile (Debian: python3-numpy,
python3-tifffile) and tiffcp (libtiff-tools).

  a: 8192 x 8192, 16 bits, uncompressed, little-endian
  b: the same pixels, LZW with horizontal differencing (tiffcp -c lzw:2)
  c: 8192 x 8192, 8 bits, PackBits
  d: 2048 x 2048, 16 bits, LZW with horizontal differencing
  e: 1000 pairs of 512 x 512, 16 bits, LZW with horizontal differencing
  f, g, h: a, b and c with each image in a single strip, as tifffile and
     ImageJ write uncompressed images
  s: two 200-page stacks of 512 x 512, 16 bits, uncompressed, one strip
     per page, as Micro-Manager writes them
  s1: the same dividend stack and one reference frame as the divisor
  sl: two 50-page stacks of 2048 x 2048, 16 bits, LZW with horizontal
     differencing
  z: a's pixels, Adobe Deflate with horizontal differencing (tiffcp -c zip:2)
  zg: z in one strip
  zd: d's pixels, Adobe Deflate with horizontal differencing
  t: a's pixels, LZW with horizontal differencing in 256 x 256 tiles, as
     QuPath and bfconvert write them (tiffcp -c lzw:2 -t -w 256 -l 256)
  tz: the same tiles, Adobe Deflate with horizontal differencing
  tB: b stored as BigTIFF (tiffcp -8)
  fi: a's pixels as float32, background-subtracted and scaled (so negative
      and fractional), uncompressed, as ImageJ writes 32-bit images
  fz: fi with Adobe Deflate and the floating-point predictor (tiffcp -c zip:3)
  si: a's pixels as int16, offset to negative values, LZW with horizontal
      differencing
"""
import os
import subprocess
import sys

import numpy as np
import tifffile


def frame(rng, size, peak):
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    signal = peak * (0.08 + 0.05 * np.sin(3 * x + 1) * np.cos(2 * y))
    for _ in range(max(4, size // 64)):
        cy, cx = rng.integers(0, size, 2)
        sigma = rng.uniform(2, 12) * size / 512
        r = int(4 * sigma) + 1
        y0, y1, x0, x1 = max(0, cy - r), min(size, cy + r), max(0, cx - r), min(size, cx + r)
        yy, xx = np.mgrid[y0:y1, x0:x1]
        signal[y0:y1, x0:x1] += peak * rng.uniform(0.2, 0.8) * np.exp(
            -((yy - cy) ** 2 + (xx - cx) ** 2) / (2 * sigma * sigma))
    return np.clip(rng.poisson(signal), 0, peak).astype(np.uint16)


def pair(rng, size, peak):
    dividend = frame(rng, size, peak)
    divisor = frame(rng, size, peak)
    zeros = rng.integers(0, size, (16, 2))
    divisor[zeros[:, 0], zeros[:, 1]] = 0
    return dividend, divisor


def write(path, data, description=None, byteorder="<"):
    tifffile.imwrite(path, data, byteorder=byteorder, rowsperstrip=16, photometric="minisblack",
                     description=description, metadata=None)


def tiffcp(args, src, dst, rows=16):
    subprocess.run(["tiffcp", *args, "-r", str(rows), src, dst], check=True)


def make_images(out):
    rng = np.random.default_rng(20261208)

    dividend, divisor = pair(rng, 8192, 65535)
    for name, data, text in (("dividend", dividend, "benchmark dividend 8192 x 8192"), ("divisor", divisor, None)):
        write(f"{out}/a-{name}.tif", data, text)
        tiffcp(["-c", "lzw:2"], f"{out}/a-{name}.tif", f"{out}/b-{name}.tif")
        write(f"{out}/c-{name}-raw.tif", (data >> 8).astype(np.uint8), text)
        tiffcp(["-c", "packbits"], f"{out}/c-{name}-raw.tif", f"{out}/c-{name}.tif")
        os.remove(f"{out}/c-{name}-raw.tif")
        for one_strip, source, args in (("f", "a", []), ("g", "b", ["-c", "lzw:2"]), ("h", "c", ["-c", "packbits"])):
            tiffcp(args, f"{out}/{source}-{name}.tif", f"{out}/{one_strip}-{name}.tif", rows=8192)

    dividend, divisor = pair(rng, 2048, 4095)
    for name, data in (("dividend", dividend), ("divisor", divisor)):
        write(f"{out}/raw.tif", data)
        tiffcp(["-c", "lzw:2"], f"{out}/raw.tif", f"{out}/d-{name}.tif")

    os.makedirs(f"{out}/e", exist_ok=True)
    for i in range(1000):
        dividend, divisor = pair(rng, 512, 4095)
        for name, data in (("dividend", dividend), ("divisor", divisor)):
            write(f"{out}/raw.tif", data)
            tiffcp(["-c", "lzw:2"], f"{out}/raw.tif", f"{out}/e/{i:04d}-{name}.tif")
    os.remove(f"{out}/raw.tif")


def make_stacks(out):
    rng = np.random.default_rng(20261209)
    frames = [pair(rng, 512, 4095) for _ in range(200)]
    for name, k in (("dividend", 0), ("divisor", 1)):
        stack = np.stack([f[k] for f in frames])
        tifffile.imwrite(f"{out}/s-{name}.tif", stack, byteorder="<", rowsperstrip=512,
                         photometric="minisblack", metadata=None)
    os.link(f"{out}/s-dividend.tif", f"{out}/s1-dividend.tif")
    tifffile.imwrite(f"{out}/s1-divisor.tif", pair(rng, 512, 4095)[1], byteorder="<", rowsperstrip=512,
                     photometric="minisblack", metadata=None)
    frames = [pair(rng, 2048, 4095) for _ in range(50)]
    for name, k in (("dividend", 0), ("divisor", 1)):
        tifffile.imwrite(f"{out}/raw.tif", np.stack([f[k] for f in frames]), byteorder="<", rowsperstrip=16,
                         photometric="minisblack", metadata=None)
        tiffcp(["-c", "lzw:2"], f"{out}/raw.tif", f"{out}/sl-{name}.tif")
    os.remove(f"{out}/raw.tif")


def make_deflate(out):
    for name in ("dividend", "divisor"):
        tiffcp(["-c", "zip:2"], f"{out}/a-{name}.tif", f"{out}/z-{name}.tif")
        tiffcp(["-c", "zip:2"], f"{out}/a-{name}.tif", f"{out}/zg-{name}.tif", rows=8192)
        tiffcp(["-c", "zip:2"], f"{out}/d-{name}.tif", f"{out}/zd-{name}.tif")


def make_tiles(out):
    for name in ("dividend", "divisor"):
        for case, compression in (("t", "lzw:2"), ("tz", "zip:2")):
            subprocess.run(["tiffcp", "-c", compression, "-t", "-w", "256", "-l", "256", f"{out}/a-{name}.tif",
                            f"{out}/{case}-{name}.tif"], check=True)
        tiffcp(["-8", "-c", "lzw:2"], f"{out}/a-{name}.tif", f"{out}/tB-{name}.tif")


def make_formats(out):
    for name in ("dividend", "divisor"):
        data = tifffile.imread(f"{out}/a-{name}.tif")
        write(f"{out}/fi-{name}.tif", (data.astype(np.float32) - 900.0) * np.float32(0.37))
        tiffcp(["-c", "zip:3"], f"{out}/fi-{name}.tif", f"{out}/fz-{name}.tif")
        write(f"{out}/raw.tif", (data.astype(np.int32) - 3000).clip(-32768, 32767).astype(np.int16))
        tiffcp(["-c", "lzw:2"], f"{out}/raw.tif", f"{out}/si-{name}.tif")
    os.remove(f"{out}/raw.tif")


def main():
    """Makes what the directory does not hold yet."""
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    if not os.path.exists(f"{out}/e/0999-divisor.tif"):
        make_images(out)
    if not os.path.exists(f"{out}/sl-divisor.tif"):
        make_stacks(out)
    if not os.path.exists(f"{out}/zd-divisor.tif"):
        make_deflate(out)
    if not os.path.exists(f"{out}/tB-divisor.tif"):
        make_tiles(out)
    if not os.path.exists(f"{out}/si-divisor.tif"):
        make_formats(out)


if __name__ == "__main__":
    main()
