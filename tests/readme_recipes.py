#!/usr/bin/python3
"""The README's recipes, run as the README writes them, as a new user would.

Installs with the README's install command (into a home folder of its own),
then runs on ten frame pairs, one of them bad (its divisor cut in half), the
batch recipes: xargs, GNU parallel and Snakemake on one machine; with
--slurm, the Snakemake workflow on SLURM instead, on a single-node SLURM
started here (skipped, with the reason, where it cannot run). Each must give
every good pair's ratio exactly as numpy computes it, fail the bad pair
alone and show its message. Without --slurm it also runs the split of a
two-channel hyperstack into its channels for their ratio, and the cutting
of a stack to the length of another.

usage: readme_recipes.py BUILD_DIR [--slurm]
"""
import os
import re
import subprocess
import sys
import tempfile

import numpy as np
import tifffile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1])
SLURM = "--slurm" in sys.argv[2:]
BLOCKS = re.findall(r"^```\n(.*?)^```", open(os.path.join(ROOT, "README.md")).read(), re.M | re.S)
failures = []


def block(marker):
    found = [b for b in BLOCKS if marker in b]
    if len(found) != 1:
        sys.exit(f"FAIL: the README has {len(found)} code blocks with {marker!r}")
    return found[0]


# Run from the repository's root in the README; `build` is the user's build folder.
INSTALL = block("cmake --install build --prefix").replace("cmake --install build ", f"cmake --install {BUILD} ")


def check(what, ok, detail=""):
    print(f"{'ok' if ok else 'FAIL'}: {what}{'' if ok else ': ' + detail}")
    if not ok:
        failures.append(what)


def run(recipe, work, home):
    """The install command, then the recipe, in one shell, in `work`: a
    folder outside the checkout."""
    script = INSTALL + "\n" + recipe
    env = {k: v for k, v in os.environ.items() if k not in ("IMGRATIO_THREADS",)}
    env["HOME"] = home
    return subprocess.run(["bash", "-c", script], cwd=work, env=env, capture_output=True, text=True)


def expected_ratio(a, b):
    with np.errstate(all="ignore"):
        r = a.astype(np.float64) / b.astype(np.float64) * 1000.0
        inside = (r >= -2.0 ** 63) & (r < 2.0 ** 63)
        truncated = np.where(inside, r, 0).astype(np.int64)
    return np.where(inside, truncated & 0xFFFF, 0).astype(np.uint16)


def make_frames(work):
    frames = os.path.join(work, "frames")
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
    bad = os.path.join(frames, "cell 07_ch2.tif")
    with open(bad, "r+b") as f:
        f.truncate(os.path.getsize(bad) // 2)
    return pairs, "cell 07"


def check_outputs(what, work, pairs, bad):
    ratios = os.path.join(work, "ratios")
    ok = True
    for name, (a, b) in pairs.items():
        out = os.path.join(ratios, f"{name}_ratio.tif")
        if name == bad:
            ok = ok and not os.path.exists(out)
        else:
            ok = ok and os.path.exists(out) and np.array_equal(tifffile.imread(out), expected_ratio(a, b))
    check(f"{what}: nine ratios as numpy computes them, none for the bad pair", ok)


def batches(home):
    recipes = {
        "xargs": block("xargs -0"),
        "GNU parallel": block("parallel --joblog"),
        "Snakemake": block('--cores "$(nproc)"'),
    }
    for what, recipe in recipes.items():
        with tempfile.TemporaryDirectory() as work:
            pairs, bad = make_frames(work)
            r = run(recipe, work, home)
            last = r.stdout.strip().splitlines()[-1:] or [""]
            check_outputs(what, work, pairs, bad)
            message = "frames/cell 07_ch2.tif : unexpected end of file."
            if what == "xargs":
                check("xargs: the bad pair alone failed, with its message", last[0] == "xargs: 123"
                      and message in r.stderr and r.stderr.count("exit status 1") == 1, r.stdout + r.stderr)
            elif what == "GNU parallel":
                log = open(os.path.join(work, "jobs.log")).read().splitlines()[1:]
                failed = [line for line in log if line.split("\t")[6] != "0"]
                check("GNU parallel: the bad pair alone failed, in the job log and the exit status",
                      last[0] == "parallel: 1" and len(failed) == 1 and "cell 07_ch1" in failed[0]
                      and message in r.stderr, r.stdout + r.stderr)
            else:
                check_snakemake(what, r, work, bad)


def check_snakemake(what, r, work, bad):
    log = os.path.join(work, "ratios", "logs", f"{bad}.log")
    text = open(log).read() if os.path.exists(log) else ""
    check(f"{what}: the bad pair alone failed, its message in its log",
          r.returncode != 0 and text.endswith(f"frames/{bad}_ch2.tif : unexpected end of file.\n"),
          f"exit status {r.returncode}, log {text!r}\n{r.stderr[-2000:]}")


def slurm(home):
    with tempfile.TemporaryDirectory() as work:
        daemons = os.path.join(work, "slurm")
        start = subprocess.run(["bash", os.path.join(ROOT, "tests", "support", "local_slurm.sh"), "start", daemons],
                               capture_output=True, text=True)
        if start.returncode == 77:
            print(start.stderr.strip())
            sys.exit(77)
        try:
            check("SLURM: the node is idle", start.returncode == 0, start.stderr)
            if start.returncode != 0:
                return
            os.environ["SLURM_CONF"] = start.stdout.strip()
            pairs, bad = make_frames(work)
            r = run(block("--cluster"), work, home)
            check_outputs("Snakemake on SLURM", work, pairs, bad)
            check_snakemake("Snakemake on SLURM", r, work, bad)
        finally:
            subprocess.run(["bash", os.path.join(ROOT, "tests", "support", "local_slurm.sh"), "stop", daemons])


def channel_split(home):
    """The channel-split recipe on a 2-channel float32 ImageJ hyperstack and
    OME-TIFF of 6 frames: the ratio of channel 1 over channel 2, read by
    tifffile as 6 frames of uint16."""
    rng = np.random.default_rng(6)
    stack = (rng.random((6, 2, 20, 30)) * 1000 + 1).astype(np.float32)
    for name, options in (("ImageJ hyperstack", {"imagej": True, "metadata": {"axes": "TCYX"}}),
                          ("OME-TIFF", {"ome": True, "metadata": {"axes": "TCYX"}})):
        with tempfile.TemporaryDirectory() as work:
            tifffile.imwrite(os.path.join(work, "hyperstack.tif"), stack, **options)
            r = run(block("seq -s, 1 2"), work, home)
            ratio = tifffile.imread(os.path.join(work, "ratio.tif")) if r.returncode == 0 else None
            check(f"channel split of an {name}: channel 1 over channel 2, 6 frames", ratio is not None and
                  np.array_equal(ratio, expected_ratio(stack[:, 0], stack[:, 1])), r.stderr)


def keep_pages(home):
    """The count-mismatch recipe: a whole 40-page stack checked, its first 30
    pages kept; the check on a cut copy names it."""
    with tempfile.TemporaryDirectory() as work:
        stack = np.random.default_rng(5).integers(0, 4096, (40, 12, 10), dtype=np.uint16)
        tifffile.imwrite(os.path.join(work, "long.tif"), stack, metadata=None)
        r = run(block("seq -s, 0 29"), work, home)
        kept = tifffile.imread(os.path.join(work, "first-30.tif")) if r.returncode == 0 else None
        check("keeping the first 30 pages: no complaint from tiffinfo, then pages 0 to 29", r.stderr == "" and
              kept is not None and np.array_equal(kept, stack[:30]), r.stderr)
        with open(os.path.join(work, "long.tif"), "r+b") as f:
            f.truncate(os.path.getsize(os.path.join(work, "long.tif")) * 2 // 3)
        r = run(block("seq -s, 0 29").splitlines()[0], work, home)
        check("the check names a cut file", "Failed to read directory" in r.stderr, r.stderr)


def main():
    with tempfile.TemporaryDirectory() as home:
        if SLURM:
            slurm(home)
        else:
            batches(home)
            channel_split(home)
            keep_pages(home)
    print(f"{len(failures)} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
