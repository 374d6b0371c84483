#!/usr/bin/env python3
"""Times imgratio against the streaming libtiff program on the benchmark inputs.

usage: measure.py IMGRATIO RATIO_LIBTIFF DATA_DIR [REPETITIONS [CASES [OUT_DIR]]]

CASES: one-letter names run together (abcdefgh), or names separated by
commas (s,s1,sl,t,tz,tB,fi,fz,si,e-replace).

Both programs run alternately in the same run (the one that goes first
alternates too), and so does a floor: reading both input files and writing
an output of the same size, with no decoding at all (two cats and a head -c).
Every figure is the median over the repetitions: wall time, CPU time (user +
system) and peak resident memory, from /usr/bin/time. Before timing, each
case checks that both programs write byte-identical outputs. Outputs go to
/dev/shm, so that disk writeback is not what is measured, or to OUT_DIR (a
real disk, to measure just that). Every case writes new outputs (the last
run's are removed, untimed, before each run) but e-replace, which is the
batch of e again over its own outputs.
"""
import shutil
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
    ("e-replace", "e over its own outputs"),
    ("f", "a in one strip"),
    ("g", "b in one strip"),
    ("h", "c in one strip"),
    ("s", "200-page stacks 512 x 512 16-bit uncompressed, one strip a page"),
    ("s1", "the s dividend stack / one reference frame"),
    ("sl", "50-page stacks 2048 x 2048 16-bit LZW + differencing"),
    ("z", "8192 x 8192 16-bit Deflate + differencing"),
    ("zg", "z in one strip"),
    ("zd", "2048 x 2048 16-bit Deflate + differencing"),
    ("t", "8192 x 8192 16-bit LZW + differencing, 256 x 256 tiles"),
    ("tz", "t with Deflate tiles"),
    ("tB", "b as BigTIFF"),
    ("fi", "8192 x 8192 float32 uncompressed"),
    ("fz", "8192 x 8192 float32 Deflate + floating-point predictor"),
    ("si", "8192 x 8192 int16 LZW + differencing"),
]

FLOOR = "floor"
FLOOR_ONE = 'cat "$1" >/dev/null && cat "$2" >/dev/null && head -c "$4" /dev/zero >"$3"'


def command(program, case, data, out, sizes):
    if case.startswith("e"):
        case = "e"
        if program == FLOOR:
            run = f'sh -c \'{FLOOR_ONE}\' floor "$f" "$2/e/$n-divisor.tif" "$3/e-$n.tif" {sizes["e"]}'
        else:
            run = '"$1" "$f" "$2/e/$n-divisor.tif" "$3/e-$n.tif"'
        script = ('for f in "$2"/e/*-dividend.tif; do n=${f##*/}; n=${n%-dividend.tif}; '
                  f'{run} || exit 1; done')
        return ["sh", "-c", script, "batch", program, data, out]
    inputs = [f"{data}/{case}-dividend.tif", f"{data}/{case}-divisor.tif", f"{out}/{case}.tif"]
    if program == FLOOR:
        return ["sh", "-c", FLOOR_ONE, "floor", *inputs, str(sizes[case])]
    return [program, *inputs]


def timed(cmd):
    with tempfile.NamedTemporaryFile("r") as t:
        subprocess.run(["/usr/bin/time", "-o", t.name, "-f", "%e %U %S %M", *cmd], check=True)
        wall, user, system, rss = t.read().split()[-4:]
    return float(wall), float(user) + float(system), int(rss) / 1024.0


def outputs(case, out):
    if case.startswith("e"):
        return sorted(os.path.join(out, f) for f in os.listdir(out) if f.startswith("e-"))
    return [f"{out}/{case}.tif"]


def main():
    imgratio, baseline, data = sys.argv[1:4]
    reps = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    # Cases by name, separated by commas, or a string of one-letter names.
    only = sys.argv[5] if len(sys.argv) > 5 else "abcdefgh"
    names = {c for c, _ in CASES}
    only = set(only.split(",")) if "," in only or only in names else set(only)
    out_dir = sys.argv[6] if len(sys.argv) > 6 else "/dev/shm"
    os.makedirs(out_dir, exist_ok=True)
    out = {p: tempfile.mkdtemp(prefix="bench-out-", dir=out_dir) for p in (imgratio, baseline, FLOOR)}
    print("| case | imgratio wall s | libtiff wall s | wall ratio | imgratio CPU s | libtiff CPU s | CPU ratio "
          "| floor wall s | imgratio / floor | libtiff / floor | imgratio peak RSS MiB | libtiff peak RSS MiB |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for case, title in CASES:
        if case not in only:
            continue
        subprocess.run(command(imgratio, case, data, out[imgratio], {}), check=True)
        subprocess.run(command(baseline, case, data, out[baseline], {}), check=True)
        for x, y in zip(outputs(case, out[imgratio]), outputs(case, out[baseline]), strict=True):
            if subprocess.run(["cmp", "-s", x, y]).returncode != 0:
                sys.exit(f"case {case}: outputs differ: {x} {y}")
        sizes = {"e" if case.startswith("e") else case: os.path.getsize(outputs(case, out[imgratio])[0])}
        results = {p: [] for p in out}
        programs = [imgratio, baseline, FLOOR]
        for rep in range(reps):
            for program in programs[rep % 3:] + programs[:rep % 3]:
                if not case.endswith("-replace"):
                    for f in outputs(case, out[program]):
                        if os.path.exists(f):
                            os.remove(f)
                results[program].append(timed(command(program, case, data, out[program], sizes)))
        med = {p: [statistics.median(r[i] for r in results[p]) for i in range(3)] for p in results}
        a, b, f = med[imgratio], med[baseline], med[FLOOR]
        print(f"| {case}: {title} | {a[0]:.3f} | {b[0]:.3f} | {a[0] / b[0]:.2f} | {a[1]:.3f} | {b[1]:.3f} "
              f"| {a[1] / max(b[1], 0.001):.2f} | {f[0]:.3f} | {a[0] / f[0]:.2f} | {b[0] / f[0]:.2f} "
              f"| {a[2]:.0f} | {b[2]:.0f} |", flush=True)
    for d in out.values():
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
