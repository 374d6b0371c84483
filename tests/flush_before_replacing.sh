#!/usr/bin/env bash
# The output is flushed to the disk before its rename only where it replaces
# a file (an input included); a new output is not flushed, and takes its
# name at once. Watched with strace; skipped (77) where the system lets no
# process be traced.
# usage: flush_before_replacing.sh IMGRATIO_BINARY
set -euo pipefail
imgratio=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v strace >/dev/null || { echo "FAIL: strace missing (apt-get install strace)"; exit 1; }
strace -o /dev/null true 2>/dev/null || { echo "SKIP: this system lets no process be traced"; exit 77; }
python3 "$here/make_tiff.py" "$work/a.tif" --width 64 --height 8 --seed 1
python3 "$here/make_tiff.py" "$work/b.tif" --width 64 --height 8 --seed 2
failures=0
# The flushes, links and renames of a run, in order: "fsync link rename ".
calls() {
    strace -f -qq -e trace=fsync,fdatasync,link,linkat,rename,renameat,renameat2 -o "$work/trace" "$imgratio" "$@"
    sed -n 's/^[0-9]* *\(fsync\|fdatasync\|link\|linkat\|rename\|renameat\|renameat2\)(.*/\1/p' "$work/trace" |
        sed 's/fdatasync/fsync/; s/link.*/link/; s/rename.*/rename/' | tr '\n' ' '
}
expect() {
    local what=$1 want=$2 got
    shift 2
    got=$(calls "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: $what: '$got', expected '$want'"
        failures=$((failures + 1))
    fi
}
expect "a new output" "link " "$work/a.tif" "$work/b.tif" "$work/new.tif"
expect "an existing output" "fsync link rename " "$work/a.tif" "$work/b.tif" "$work/new.tif"
cp "$work/a.tif" "$work/c.tif"
expect "the output is the dividend" "fsync link rename " "$work/c.tif" "$work/b.tif" "$work/c.tif"
cmp -s "$work/new.tif" "$work/c.tif" || { echo "FAIL: the outputs differ"; failures=$((failures + 1)); }
echo "$failures failures"
[ "$failures" -eq 0 ]
