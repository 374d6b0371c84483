#!/usr/bin/python3
"""imgratio among the TIFF tools its users have.

Outputs: imgratio's files (with and without a description, one strip and
several, a width above 65535) read back by libtiff (tiffinfo -D, no
warnings), tifffile, Pillow and GDAL, each of which must give exactly the
expected ratio samples and the dividend's description.

Inputs: files made by ImageMagick, GDAL, Pillow and tifffile at several
depths, compressions and byte orders; imgratio's reader (tiff_samples) must
give exactly the writer's own array, and imgratio must run on each.

Tiles and BigTIFF: GDAL, tifffile and tiffcp, in both byte orders, with
tiles at the right and bottom edges.

Signed, 32-bit and floating-point samples: tifffile and GDAL files (GDAL's
with Predictor 3, in strips and tiles), and an ImageJ 32-bit stack, read as
their values exactly as numpy holds them, and divided; the outputs of float
ImageJ, OME and tifffile dividends read by tifffile as uint16 series.

Stacks: tifffile (plain, ImageJ, OME), ImageMagick and tiffcp's LZW and
PackBits copies, read page by page; the ratio of two stacks, and of a stack
by one frame, read back by the four readers as that many pages, each with
the dividend page's description.

BigTIFF outputs: the test build of imgratio, its classic limit lowered,
stores BigTIFF files, one page and a stack, read back by libtiff, tifffile
and GDAL.

Prints the table writer x compression x depth -> result.
usage: interop.py IMGRATIO TIFF_SAMPLES IMGRATIO_TEST_BUILD
"""
import io
import logging
import os
import subprocess
import sys
import tempfile
import warnings

import numpy as np
import tifffile
from osgeo import gdal
from PIL import Image

gdal.UseExceptions()
warnings.simplefilter("ignore")
IMGRATIO, TIFF_SAMPLES, IMGRATIO_TEST_BUILD = sys.argv[1:4]
WORK = tempfile.mkdtemp(prefix="imgratio-interop-")
rows = []
failures = []


def check(what, ok, detail=""):
    rows.append((what, "ok" if ok else "FAIL " + detail))
    if not ok:
        failures.append(f"{what}: {detail}")


def path(name):
    return os.path.join(WORK, name)


def expected_ratio(a, b):
    """a / b, times 1000, truncated to 64 bits, low 16 bits; NaN, infinite
    and beyond 2^63 give the sign-bit integer, whose low 16 bits are 0."""
    with np.errstate(all="ignore"):
        r = a.astype(np.float64) / b.astype(np.float64) * 1000.0
        inside = (r >= -2.0 ** 63) & (r < 2.0 ** 63)
        truncated = np.where(inside, r, 0).astype(np.int64)
    return np.where(inside, truncated & 0xFFFF, 0).astype(np.uint16)


def run_imgratio(dividend, divisor, out):
    r = subprocess.run([IMGRATIO, dividend, divisor, out], capture_output=True, text=True)
    return r.returncode, r.stderr.strip()


def imgratio_pages(file):
    r = subprocess.run([TIFF_SAMPLES, file], capture_output=True)
    if r.returncode != 0:
        return None, r.stderr.decode().strip()
    pages, rest = [], r.stdout
    while rest:
        head, _, rest = rest.partition(b"\n")
        fields = head.split()
        width, height, size = int(fields[0]), int(fields[1]), 8 if fields[3:] == [b"values"] else 2
        pages.append(np.frombuffer(rest[:size * width * height], dtype="<f8" if size == 8 else "<u2")
                     .reshape(height, width))
        rest = rest[size * width * height:]
    return pages, ""


def imgratio_samples(file):
    pages, err = imgratio_pages(file)
    return (pages[0] if len(pages) == 1 else None) if pages else None, err


def frame(rng, height, width, top):
    y, x = np.mgrid[0:height, 0:width]
    base = (top * (0.2 + 0.3 * (x + y) / (width + height))).astype(np.int64)
    return np.clip(base + rng.integers(0, max(2, top // 8), (height, width)), 0, top).astype(np.uint16)


# ---- outputs read back by four readers ----
def outputs():
    rng = np.random.default_rng(1)
    cases = [("description, several strips", 300, 100, "frame 7 of 2000, 488 nm / 405 nm"),
             ("no description, one strip", 40, 20, None),
             ("width 70000, description", 3, 70000, "wide")]
    for title, height, width, text in cases:
        a = frame(rng, height, width, 4000)
        b = frame(rng, height, width, 4000)
        b[0, :5] = 0
        tifffile.imwrite(path("a.tif"), a, description=text, metadata=None)
        tifffile.imwrite(path("b.tif"), b, description="divisor text", metadata=None, byteorder=">")
        out = path("out.tif")
        code, err = run_imgratio(path("a.tif"), path("b.tif"), out)
        check(f"output {title}: imgratio runs", code == 0, err)
        want = expected_ratio(a, b)
        r = subprocess.run(["tiffinfo", "-D", out], capture_output=True, text=True)
        check(f"output {title}: libtiff tiffinfo -D", r.returncode == 0 and r.stderr == ""
              and (text is None) == ("ImageDescription" not in r.stdout)
              and (text is None or f"ImageDescription: {text}" in r.stdout), r.stderr)
        with tifffile.TiffFile(out) as t:
            page = t.pages[0]
            got_text = page.tags.get("ImageDescription")
            check(f"output {title}: tifffile", np.array_equal(page.asarray(), want)
                  and (got_text.value if got_text else None) == text)
        with Image.open(out) as im:
            got = np.array(im).astype(np.uint16)
            check(f"output {title}: Pillow", np.array_equal(got, want)
                  and im.tag_v2.get(270) == text, f"mode {im.mode}")
        ds = gdal.Open(out)
        got = ds.GetRasterBand(1).ReadAsArray()
        check(f"output {title}: GDAL", np.array_equal(got, want)
              and ds.GetMetadataItem("TIFFTAG_IMAGEDESCRIPTION") == text)
        ds = None


# ---- inputs from mainstream writers ----
def compare_input(what, file, want):
    got, err = imgratio_samples(file)
    if got is None:
        check(what, False, f"refused: {err}")
        return
    same = got.shape == want.shape and np.array_equal(got, want)
    detail = "" if same else f"samples differ ({np.count_nonzero(got != want) if got.shape == want.shape else 'shape'})"
    code, err = run_imgratio(file, file, path("self.tif"))
    check(what, same and code == 0, detail or err)


def stored_values(file, values, bits):
    """The samples as stored: min-is-white files store the inverted values."""
    photometric = tifffile.TiffFile(file).pages[0].photometric
    return ((1 << bits) - 1 - values).astype(np.uint16) if photometric == 0 else values


def imagemagick():
    rng = np.random.default_rng(2)
    for bits in (1, 4, 8, 16):
        top = (1 << bits) - 1
        values = frame(rng, 37, 53, top)
        pgm = path("src.pgm")
        with open(pgm, "wb") as f:
            f.write(b"P5 53 37 %d\n" % top)
            f.write(values.astype(">u2" if bits > 8 else "u1").tobytes())
        for compression, name in (("None", "none"), ("LZW", "LZW"), ("RLE", "PackBits"), ("Zip", "Deflate")):
            for endian in ("msb", "lsb"):
                out = path(f"im-{bits}-{name}-{endian}.tif")
                subprocess.run(["convert", pgm, "-depth", str(bits), "-compress", compression,
                                "-define", f"tiff:endian={endian}", out], check=True)
                compare_input(f"ImageMagick {name} {bits}-bit {endian}", out, stored_values(out, values, bits))


def gdal_writer():
    rng = np.random.default_rng(3)
    for bits, options in ((16, ["COMPRESS=LZW", "PREDICTOR=2"]), (8, ["COMPRESS=LZW", "PREDICTOR=2"]),
                          (4, ["NBITS=4"]), (12, ["NBITS=12"]), (12, ["NBITS=12", "COMPRESS=LZW"]),
                          (16, ["COMPRESS=PACKBITS"]), (16, ["ENDIANNESS=BIG"]),
                          (16, ["COMPRESS=DEFLATE", "PREDICTOR=2", "ZLEVEL=9"]), (8, ["COMPRESS=DEFLATE", "ZLEVEL=1"]),
                          (12, ["NBITS=12", "COMPRESS=DEFLATE"]), (16, ["COMPRESS=DEFLATE", "ENDIANNESS=BIG"])):
        values = frame(rng, 45, 61, (1 << bits) - 1)
        src = path("gdal-src.tif")
        tifffile.imwrite(src, values.astype(np.uint8 if bits <= 8 else np.uint16))
        out = path("gdal.tif")
        gdal.Translate(out, src, creationOptions=options)
        compare_input(f"GDAL {' '.join(options)} {bits}-bit", out, values)


def pillow():
    rng = np.random.default_rng(4)
    for mode, bits in (("1", 1), ("L", 8), ("I;16", 16), ("I;16B", 16)):
        values = frame(rng, 29, 47, (1 << bits) - 1)
        for compression in ("tiff_lzw", "packbits", "tiff_adobe_deflate", None):
            out = path("pil.tif")
            if mode == "1":
                im = Image.fromarray((values > 0).astype(np.uint8) * 255).convert("1")
                want = (values > 0).astype(np.uint16)
            elif mode == "L":
                im = Image.fromarray(values.astype(np.uint8))
                want = values
            else:
                im = Image.frombytes(mode, (47, 29), values.astype("<u2" if mode == "I;16" else ">u2").tobytes())
                want = values
            im.save(out, compression=compression)
            compare_input(f"Pillow {mode} {compression or 'raw'}", out, stored_values(out, want, bits))


def tifffile_writer():
    rng = np.random.default_rng(5)
    for dtype, bits in ((np.uint8, 8), (np.uint16, 16)):
        values = frame(rng, 33, 71, (1 << bits) - 1).astype(dtype)
        for byteorder in ("<", ">"):
            for compression, predictor in ((None, False), ("zlib", False), ("zlib", True), ("deflate", True)):
                out = path("tf.tif")
                tifffile.imwrite(out, values, byteorder=byteorder, description="tifffile frame",
                                 rowsperstrip=5, metadata=None, compression=compression, predictor=predictor)
                compare_input(f"tifffile {compression or 'raw'}{' + predictor' if predictor else ''} {bits}-bit "
                              f"{'LE' if byteorder == '<' else 'BE'}", out, values.astype(np.uint16))
    # One strip from each level of zlib, larger than the reader's 64 KiB
    # blocks of stored bytes.
    values = frame(rng, 300, 301, 65535)
    for level in range(1, 10):
        out = path("tf-level.tif")
        tifffile.imwrite(out, values, compression=("zlib", level), predictor=level % 2 == 0, metadata=None)
        compare_input(f"tifffile zlib level {level}, one strip", out, values)
    # About the bound below which a Deflate strip or tile is decoded whole:
    # a strip of 1 MiB decoded, one of a byte more, and 2 MiB tiles (at both
    # edges); each ends in a run, so that its last match ends at its end.
    for height, width, dtype, tile in ((1, 1 << 20, np.uint8, None), (1, (1 << 20) + 1, np.uint8, None),
                                       (1030, 1100, np.uint16, (1024, 1024))):
        values = frame(rng, height, width, 255 if dtype == np.uint8 else 65535).astype(dtype)
        values[-1, -300:] = 7
        out = path("tf-bound.tif")
        tifffile.imwrite(out, values, compression="zlib", tile=tile, metadata=None)
        compare_input(f"tifffile zlib {width} x {height}{' in 1024 x 1024 tiles' if tile else ''}", out,
                      values.astype(np.uint16))


def tiles_and_bigtiff():
    """Tiled files (edge tiles on both edges) and BigTIFF, from GDAL,
    tifffile and tiffcp, in both byte orders."""
    rng = np.random.default_rng(7)
    for bits, options in ((16, ["TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16", "COMPRESS=LZW", "PREDICTOR=2"]),
                          (8, ["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=32", "COMPRESS=DEFLATE"]),
                          (12, ["TILED=YES", "NBITS=12", "COMPRESS=PACKBITS", "ENDIANNESS=BIG"]),
                          (16, ["BIGTIFF=YES"]), (16, ["BIGTIFF=YES", "ENDIANNESS=BIG", "COMPRESS=LZW"]),
                          (16, ["BIGTIFF=YES", "TILED=YES", "BLOCKXSIZE=48", "BLOCKYSIZE=16", "COMPRESS=DEFLATE",
                                "PREDICTOR=2"])):
        values = frame(rng, 45, 61, (1 << bits) - 1)
        tifffile.imwrite(path("gdal-src.tif"), values.astype(np.uint8 if bits <= 8 else np.uint16))
        gdal.Translate(path("gdal.tif"), path("gdal-src.tif"), creationOptions=options)
        compare_input(f"GDAL {' '.join(options)} {bits}-bit", path("gdal.tif"), values)
    values = frame(rng, 45, 61, 65535)
    for byteorder in ("<", ">"):
        order = "LE" if byteorder == "<" else "BE"
        for options in ({"tile": (16, 32)}, {"tile": (32, 48), "compression": "zlib", "predictor": True},
                        {"bigtiff": True}, {"bigtiff": True, "tile": (16, 16), "compression": "zlib"}):
            out = path("tf.tif")
            tifffile.imwrite(out, values, byteorder=byteorder, metadata=None, **options)
            compare_input(f"tifffile {options} {order}", out, values)
        tifffile.imwrite(path("plain.tif"), values)
        for layout in (["-r", "7"], ["-t", "-w", "32", "-l", "16"]):
            flag = "-L" if byteorder == "<" else "-B"
            subprocess.run(["tiffcp", "-8", flag, "-c", "lzw:2", *layout, path("plain.tif"), path("big.tif")],
                           check=True)
            compare_input(f"tiffcp -8 {flag} -c lzw:2 {' '.join(layout)}", path("big.tif"), values)
    stack = np.stack([frame(rng, 31, 43, 4000) for _ in range(3)])
    tifffile.imwrite(path("stack.tif"), stack, bigtiff=True, tile=(16, 16), photometric="minisblack")
    compare_stack("stack: tifffile bigtiff=True, tiles", path("stack.tif"), list(stack))


def bigtiff_outputs():
    rng = np.random.default_rng(8)
    # Each page's samples take 42000 bytes: one page passes a limit of 40000,
    # three pages one of 100000.
    for title, pages, text, limit in (("one page", 1, "ratio of frame 7", "40000"), ("three pages", 3, "frame", "100000")):
        a = np.stack([frame(rng, 70, 300, 4000) for _ in range(pages)])
        b = np.stack([frame(rng, 70, 300, 4000) for _ in range(pages)])
        tifffile.imwrite(path("a.tif"), a, description=text, metadata=None, photometric="minisblack")
        tifffile.imwrite(path("b.tif"), b, photometric="minisblack")
        out = path("big-out.tif")
        r = subprocess.run([IMGRATIO_TEST_BUILD, path("a.tif"), path("b.tif"), out], capture_output=True, text=True,
                           env={**os.environ, "IMGRATIO_CLASSIC_LIMIT": limit})
        check(f"BigTIFF output, {title}: imgratio runs", r.returncode == 0, r.stderr)
        want = expected_ratio(a, b)
        with open(out, "rb") as f:
            check(f"BigTIFF output, {title}: BigTIFF header", f.read(8) == b"MM\0\x2b\0\x08\0\0")
        r = subprocess.run(["tiffinfo", "-D", out], capture_output=True, text=True)
        check(f"BigTIFF output, {title}: libtiff tiffinfo -D", r.returncode == 0 and r.stderr == ""
              and r.stdout.count("TIFF Directory") == pages and f"ImageDescription: {text}" in r.stdout, r.stderr)
        with tifffile.TiffFile(out) as t:
            check(f"BigTIFF output, {title}: tifffile", t.is_bigtiff and len(t.pages) == pages and all(
                np.array_equal(p.asarray(), want[k]) for k, p in enumerate(t.pages))
                and t.pages[0].description == text)
        ok = True
        for k in range(pages):
            ds = gdal.Open(f"GTIFF_DIR:{k + 1}:{out}")
            ok = ok and np.array_equal(ds.GetRasterBand(1).ReadAsArray(), want[k])
            ds = None
        check(f"BigTIFF output, {title}: GDAL", ok)
    # Two pages that end the file exactly at the limit fit a classic file; at
    # one byte less, the output is a BigTIFF.
    a, b = path("a.tif"), path("b.tif")
    for name in (a, b):
        tifffile.imwrite(name, np.stack([frame(rng, 20, 30, 4000) for _ in range(2)]), metadata=None,
                         photometric="minisblack")
    classic = path("classic.tif")
    subprocess.run([IMGRATIO_TEST_BUILD, a, b, classic], check=True)
    size = os.path.getsize(classic)
    for limit, header in ((size, b"MM\0\x2a"), (size - 1, b"MM\0\x2b")):
        r = subprocess.run([IMGRATIO_TEST_BUILD, a, b, path("near.tif")], capture_output=True, text=True,
                           env={**os.environ, "IMGRATIO_CLASSIC_LIMIT": str(limit)})
        with open(path("near.tif"), "rb") as f:
            check(f"two pages, limit {limit - size} from their end: {header[3]}", r.returncode == 0 and
                  f.read(4) == header, r.stderr)


# ---- signed, 32-bit and floating-point samples ----
def compare_values(what, file, want, divisor):
    """Every page read as its values, exactly as numpy holds them, and the
    ratio of the file to a 16-bit divisor."""
    got, err = imgratio_pages(file)
    same = got is not None and len(got) == len(want) and all(
        np.array_equal(g, w.astype(np.float64), equal_nan=True) for g, w in zip(got, want))
    out = path("values-out.tif")
    code, run_err = run_imgratio(file, divisor, out)
    ratio_ok = code == 0
    with tifffile.TiffFile(out) as t:
        ratio_ok = ratio_ok and all(np.array_equal(p.asarray(), expected_ratio(w, tifffile.imread(divisor)))
                                    for p, w in zip(t.pages, want))
    check(what, same and ratio_ok, err or run_err or ("values differ" if not same else "ratio differs"))


def sample_formats():
    rng = np.random.default_rng(7)

    def values(dtype, shape=(37, 53)):
        if np.dtype(dtype).kind == "f":
            v = (rng.standard_normal(shape) * 3000).astype(dtype)
            v.reshape(-1)[:4] = [np.nan, np.inf, -np.inf, -0.0]
            return v
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, shape, endpoint=True).astype(dtype)

    divisor = path("divisor.tif")
    d = frame(rng, 37, 53, 4000)
    d[0, 5] = 0
    tifffile.imwrite(divisor, d, metadata=None)
    f = path("values.tif")
    # tifffile writes Predictor 3 only with imagecodecs: GDAL's below.
    for dtype in ("i1", "i2", "i4", "u4", "f2", "f4", "f8"):
        v, predictor = values(dtype), np.dtype(dtype).kind != "f"
        for byteorder, compression in (("<", None), (">", None), ("<", "zlib"), (">", "zlib")):
            tifffile.imwrite(f, v, byteorder=byteorder, compression=compression, rowsperstrip=5, metadata=None,
                             predictor=predictor and compression is not None)
            compare_values(f"tifffile {v.dtype.name} {byteorder} {compression or 'raw'}", f, [v], divisor)
    for gdal_type, options in ((gdal.GDT_Float32, "COMPRESS=DEFLATE PREDICTOR=3"),
                               (gdal.GDT_Float32, "COMPRESS=LZW PREDICTOR=3 ENDIANNESS=BIG TILED=YES BLOCKXSIZE=16 "
                                                  "BLOCKYSIZE=16"),
                               (gdal.GDT_Float64, "COMPRESS=DEFLATE PREDICTOR=3 ENDIANNESS=BIG"),
                               (gdal.GDT_Float32, "NBITS=16 COMPRESS=LZW PREDICTOR=3"),  # half floats
                               (gdal.GDT_Int16, "COMPRESS=LZW PREDICTOR=2")):
        ds = gdal.GetDriverByName("GTiff").Create(f, 53, 37, 1, gdal_type, options.split())
        ds.GetRasterBand(1).WriteArray(values("i2" if gdal_type == gdal.GDT_Int16 else "f4"))
        ds = None
        compare_values(f"GDAL {gdal.GetDataTypeName(gdal_type)} {options}", f, [gdal.Open(f).ReadAsArray()], divisor)
    stack = values("f4", (3, 37, 53))
    tifffile.imwrite(f, stack, imagej=True)
    compare_values("tifffile imagej=True float32 stack", f, list(stack), divisor)


def output_series():
    """The output's first series in tifffile: its page count and shape, and
    uint16, with no warning, whatever the dividend's description said."""
    rng = np.random.default_rng(8)

    def f32(*shape):
        return (rng.random(shape) * 1000 + 1).astype("f4")

    tifffile.imwrite(path("s-ij.tif"), f32(5, 32, 40), imagej=True)
    tifffile.imwrite(path("s-ijh.tif"), f32(3, 4, 2, 32, 40), imagej=True, metadata={"axes": "TZCYX"})
    tifffile.imwrite(path("s-ij2.tif"), f32(6, 2, 32, 40), imagej=True, metadata={"axes": "TCYX"})
    subprocess.run(["tiffcp", path("s-ij2.tif") + ",0,2,4,6,8,10", path("s-ch0.tif")], check=True)
    tifffile.imwrite(path("s-ome.tif"), f32(4, 32, 40), ome=True, metadata={"axes": "ZYX"})
    tifffile.imwrite(path("s-shaped.tif"), f32(2, 5, 32, 40))
    tifffile.imwrite(path("s-one.tif"), np.full((32, 40), 7, "u2"), metadata=None)
    log = io.StringIO()
    logging.getLogger("tifffile").addHandler(logging.StreamHandler(log))
    for name, f, pages in (("ImageJ 32-bit stack", "s-ij.tif", 5), ("ImageJ hyperstack", "s-ijh.tif", 24),
                           ("one channel of an ImageJ hyperstack", "s-ch0.tif", 6),
                           ("float32 OME-TIFF", "s-ome.tif", 4), ("tifffile shaped float32", "s-shaped.tif", 10)):
        out = path("series-out.tif")
        code, err = run_imgratio(path(f), path("s-one.tif"), out)
        log.truncate(0)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with tifffile.TiffFile(out) as t:
                series = t.series[0]
                ok = (code == 0 and len(t.pages) == pages and series.dtype == np.uint16
                      and series.asarray().size == pages * 32 * 40 and 'Type="float"' not in t.pages[0].description)
        check(f"output series: {name}", ok and not caught and not log.getvalue(),
              err or log.getvalue().strip() or str([str(w.message) for w in caught]))


# ---- stacks ----
def compare_stack(what, file, want):
    got, err = imgratio_pages(file)
    same = got is not None and len(got) == len(want) and all(np.array_equal(g, w) for g, w in zip(got, want))
    code, run_err = run_imgratio(file, file, path("self.tif"))
    check(what, same and code == 0, err or run_err or f"{len(got or [])} pages read, {len(want)} written")


def stacks():
    rng = np.random.default_rng(6)
    a = np.stack([frame(rng, 31, 43, 4000) for _ in range(5)])
    b = np.stack([frame(rng, 31, 43, 4000) for _ in range(5)])
    b[:, 0, :3] = 0
    writers = {
        "tifffile": lambda f, s: tifffile.imwrite(f, s, photometric="minisblack"),
        "tifffile imagej=True": lambda f, s: tifffile.imwrite(f, s, imagej=True),
        "tifffile ome=True": lambda f, s: tifffile.imwrite(f, s, ome=True, photometric="minisblack"),
    }
    for name, write in writers.items():
        write(path("stack.tif"), a)
        compare_stack(f"stack: {name}", path("stack.tif"), list(a))
    tifffile.imwrite(path("plain.tif"), a, photometric="minisblack")
    for compression in ("lzw:2", "packbits"):
        subprocess.run(["tiffcp", "-c", compression, path("plain.tif"), path("tiffcp.tif")], check=True)
        compare_stack(f"stack: tiffcp -c {compression}", path("tiffcp.tif"), list(a))
    frames = []
    for k in range(5):
        frames.append(path(f"f{k}.pgm"))
        with open(frames[-1], "wb") as f:
            f.write(b"P5 43 31 65535\n" + a[k].astype(">u2").tobytes())
    subprocess.run(["convert", *frames, "-compress", "LZW", path("im-stack.tif")], check=True)
    compare_stack("stack: ImageMagick", path("im-stack.tif"), list(a))

    # Outputs: five pages, each carrying its dividend page's description.
    texts = [f"frame {k} of 5" for k in range(5)]
    with tifffile.TiffWriter(path("a.tif")) as w:
        for k in range(5):
            w.write(a[k], description=texts[k], metadata=None)
    tifffile.imwrite(path("b.tif"), b, photometric="minisblack", byteorder=">")
    tifffile.imwrite(path("ref.tif"), b[2], photometric="minisblack")
    for title, divisor, want in (("stack / stack", "b.tif", expected_ratio(a, b)),
                                 ("stack / one frame", "ref.tif", expected_ratio(a, b[2][None]))):
        out = path("out.tif")
        code, err = run_imgratio(path("a.tif"), path(divisor), out)
        check(f"output {title}: imgratio runs", code == 0, err)
        r = subprocess.run(["tiffinfo", "-D", out], capture_output=True, text=True)
        check(f"output {title}: libtiff tiffinfo -D", r.returncode == 0 and r.stderr == ""
              and r.stdout.count("TIFF Directory") == 5
              and all(f"ImageDescription: {t}" in r.stdout for t in texts), r.stderr)
        with tifffile.TiffFile(out) as t:
            check(f"output {title}: tifffile", len(t.pages) == 5 and all(
                np.array_equal(p.asarray(), want[k]) and p.description == texts[k] for k, p in enumerate(t.pages)))
        with Image.open(out) as im:
            ok = im.n_frames == 5
            for k in range(5):
                im.seek(k)
                ok = ok and np.array_equal(np.array(im).astype(np.uint16), want[k]) and im.tag_v2.get(270) == texts[k]
            check(f"output {title}: Pillow", ok)
        ok = True
        for k in range(5):
            ds = gdal.Open(f"GTIFF_DIR:{k + 1}:{out}")
            ok = ok and np.array_equal(ds.GetRasterBand(1).ReadAsArray(), want[k]) \
                and ds.GetMetadataItem("TIFFTAG_IMAGEDESCRIPTION") == texts[k]
            ds = None
        check(f"output {title}: GDAL", ok and len(gdal.Open(out).GetSubDatasets()) == 5)


outputs()
stacks()
imagemagick()
gdal_writer()
pillow()
tifffile_writer()
tiles_and_bigtiff()
bigtiff_outputs()
sample_formats()
output_series()
print("| check | result |")
print("|---|---|")
for what, result in rows:
    print(f"| {what} | {result} |")
subprocess.run(["rm", "-rf", WORK])
print(f"{len(rows) - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
