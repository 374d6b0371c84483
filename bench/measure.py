#!/usr/bin/env python3
"""Times imgratio against the libtiff baseline on the benchmark inputs.

usage: measure.py IMGRATIO RATIO_LIBTIFF DATA_DIR [REPETITIONS [CASES]]

Both programs run alternately in the same run (the one that goes first
alternates too); every figure is the median over the repetitions: wall time,
CPU time (user + system) and peak resident memory, from /usr/bin/time. Before
timing, each case checks that both programs write byte-identical outputs.
Outputs go to /dev/shm so that disk writeback is not what is measured.
"""
import os
import statistics
import subprocess
import sys
import tempfile

CASES = [
    ("a", "8192 x 8192 16-bit uncompressed"),
    ("b", "8192 x 8192 16-bit LZW + differencing"),
    ("c", "8192 x 8192 8-bit PackBits"),
    ("d", "2048 x 2048 16-bit LZW + differencing"),
    ("e", "1000 pairs 512 x 512 16-bit LZW + differencing"),
    ("f", "a in one strip"),
    ("g", "b in one strip"),
    ("h", "c in one strip"),
]


def command(program, case, data, out):
    if case == "e":
        script = ('for f in "$2"/e/*-dividend.tif; do n=${f##*/}; n=${n%-dividend.tif}; '
                  '"$1" "$f" "$2/e/$n-divisor.tif" "$3/e-$n.tif" || exit 1; done')
        return ["sh", "-c", script, "batch", program, data, out]
    return [program, f"{data}/{case}-dividend.tif", f"{data}/{case}-divisor.tif", f"{out}/{case}.tif"]


def timed(cmd):
    with tempfile.NamedTemporaryFile("r") as t:
        subprocess.run(["/usr/bin/time", "-o", t.name, "-f", "%e %U %S %M", *cmd], check=True)
        wall, user, system, rss = t.read().split()[-4:]
    return float(wall), float(user) + float(system), int(rss) / 1024.0


def outputs(case, out):
    if case == "e":
        return sorted(os.path.join(out, f) for f in os.listdir(out) if f.startswith("e-"))
    return [f"{out}/{case}.tif"]


def main():
    imgratio, baseline, data = sys.argv[1:4]
    reps = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    only = sys.argv[5] if len(sys.argv) > 5 else "abcdefgh"
    out_a = tempfile.mkdtemp(prefix="imgratio-out-", dir="/dev/shm")
    out_b = tempfile.mkdtemp(prefix="libtiff-out-", dir="/dev/shm")
    print(f"| case | imgratio wall s | libtiff wall s | wall ratio | imgratio CPU s | libtiff CPU s | CPU ratio "
          f"| imgratio peak RSS MiB | libtiff peak RSS MiB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for case, title in CASES:
        if case not in only:
            continue
        subprocess.run(command(imgratio, case, data, out_a), check=True)
        subprocess.run(command(baseline, case, data, out_b), check=True)
        for x, y in zip(outputs(case, out_a), outputs(case, out_b), strict=True):
            if subprocess.run(["cmp", "-s", x, y]).returncode != 0:
                sys.exit(f"case {case}: outputs differ: {x} {y}")
        results = {imgratio: [], baseline: []}
        for rep in range(reps):
            order = (imgratio, baseline) if rep % 2 == 0 else (baseline, imgratio)
            for program in order:
                results[program].append(timed(command(program, case, data, out_a if program == imgratio else out_b)))
        med = {p: [statistics.median(r[i] for r in results[p]) for i in range(3)] for p in results}
        a, b = med[imgratio], med[baseline]
        print(f"| {case}: {title} | {a[0]:.3f} | {b[0]:.3f} | {a[0] / b[0]:.2f} | {a[1]:.3f} | {b[1]:.3f} "
              f"| {a[1] / b[1]:.2f} | {a[2]:.0f} | {b[2]:.0f} |", flush=True)
    subprocess.run(["rm", "-rf", out_a, out_b])


if __name__ == "__main__":
    main()
