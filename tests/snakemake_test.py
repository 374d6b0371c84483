#!/usr/bin/python3
"""The example Snakemake workflow on ten frame pairs, one of them bad: every
good pair's output equals the ratio computed here with numpy, and the bad
pair alone fails, with imgratio's message in its job's log and no output.

usage: snakemake_test.py IMGRATIO_BINARY
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import tifffile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def expected_ratio(a, b):
    a = a.astype(np.float64)
    b = b.astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        r = np.trunc(a / b * 1000.0)
    r[b == 0] = 0
    return (r.astype(np.int64) & 0xFFFF).astype(np.uint16)


def main():
    binary = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory() as work:
        frames, ratios = os.path.join(work, "frames"), os.path.join(work, "ratios")
        os.makedirs(frames)
        rng = np.random.default_rng(12)
        pairs = {}
        for i in range(10):
            name = f"cell {i:02d}"  # a space, as real folder names have
            a = rng.integers(0, 4096, (48, 40), dtype=np.uint16)
            b = rng.integers(0, 4096, (48, 40), dtype=np.uint16)
            b[0, :3] = 0
            tifffile.imwrite(os.path.join(frames, f"{name}_ch1.tif"), a, rowsperstrip=8)
            tifffile.imwrite(os.path.join(frames, f"{name}_ch2.tif"), b, byteorder=">", rowsperstrip=8)
            pairs[name] = (a, b)
        bad = "cell 07"
        path = os.path.join(frames, f"{bad}_ch2.tif")
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) // 2)

        r = subprocess.run(["snakemake", "-s", os.path.join(ROOT, "examples", "Snakefile"), "--cores", "2",
                            "--keep-going", "--directory", work, "--config", f"frames={frames}",
                            f"ratios={ratios}", f"imgratio={binary}"], capture_output=True, text=True)
        if r.returncode == 0:
            failures.append("snakemake succeeded although one pair is bad")
        for name, (a, b) in pairs.items():
            out = os.path.join(ratios, f"{name}_ratio.tif")
            if name == bad:
                log = open(os.path.join(ratios, "logs", f"{name}.log")).read()
                if os.path.exists(out):
                    failures.append("the bad pair left an output")
                if not log.startswith(f"{path} : "):
                    failures.append(f"the bad pair's log holds {log!r}")
                continue
            if not os.path.exists(out):
                failures.append(f"{name}: no output")
            elif not np.array_equal(tifffile.imread(out), expected_ratio(a, b)):
                failures.append(f"{name}: the output differs from the ratio")
        if failures:
            print(r.stdout[-3000:], r.stderr[-3000:])
    for f in failures:
        print("FAIL:", f)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
