#!/usr/bin/env bash
# The manual page is well-formed; `cmake --install` and the Debian package
# from `cpack -G DEB` both give a working imgratio with its manual page and
# the Snakemake workflow; and
# lintian finds no error and no warning in the package.
# usage: packaging_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The manual page: no warnings from groff or man.
warnings=$(groff -ww -z -man "$build/imgratio.1" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
warnings=$(man --warnings -l "$build/imgratio.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns: $warnings"

"$build/imgratio" "$root/examples/dividend.tif" "$root/examples/divisor.tif" "$work/expected.tif"

# cmake --install into a prefix.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in share/man/man1/imgratio.1.gz share/imgratio/Snakefile; do
    [ -f "$work/prefix/$f" ] || fail "cmake --install: no $f"
done
"$work/prefix/bin/imgratio" "$root/examples/dividend.tif" "$root/examples/divisor.tif" "$work/installed.tif"
cmp -s "$work/expected.tif" "$work/installed.tif" || fail "installed binary gives another result"

# The Debian package, unpacked into a scratch root.
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
version=$(dpkg-deb -f "$deb" Version)
architecture=$(dpkg-deb -f "$deb" Architecture)
expected_version=$(sed -n 's/^project(imgratio VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ "$version" = "$expected_version" ] || fail "package version $version, project version $expected_version"
[ "$architecture" = "$(dpkg --print-architecture)" ] || fail "package architecture $architecture"
dpkg -x "$deb" "$work/root"
for f in usr/share/man/man1/imgratio.1.gz usr/share/imgratio/Snakefile; do
    [ -f "$work/root/$f" ] || fail "package: no /$f"
done
"$work/root/usr/bin/imgratio" "$root/examples/dividend.tif" "$root/examples/divisor.tif" "$work/packaged.tif"
cmp -s "$work/expected.tif" "$work/packaged.tif" || fail "packaged binary gives another result"
echo "package $(basename "$deb"): depends on $(dpkg-deb -f "$deb" Depends)"
# Errors and warnings only; informational tags and pedantic ones are not asked for.
report=$(lintian --fail-on none "$deb" 2>&1 | grep -E '^[EW]: ' || true)
[ -z "$report" ] || fail "lintian: $report"

if [ "$failures" -ne 0 ]; then echo "0 passed, $failures failed"; exit 1; fi
echo "1 passed, 0 failed"
