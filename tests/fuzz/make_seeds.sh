#!/usr/bin/env bash
# Makes the fuzzing seed corpus: small valid TIFFs of every kind the loader
# accepts (depths 0 to 16, signed and floating-point samples, both byte
# orders, both fill orders, one or several strips or tiles, uncompressed,
# PackBits, LZW and Deflate with and without a predictor, with a
# description, classic and BigTIFF), near-valid ones
# (cut short, a byte changed) and the regression files.
# usage: make_seeds.sh OUT_DIR [uncompressed|packbits|lzw|deflate|all]
set -euo pipefail
out=$1
kind=${2:-all}
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
n=0
for bits in 1 2 4 8 12 16; do
    for order in little big; do
        base="$work/base-$bits-$order.tif"
        python3 "$here/make_tiff.py" "$base" --width 13 --height 7 --bits "$bits" --endian "$order" \
            --rows-per-strip 3 --random --seed "$bits" --description "seed $bits $order"
        variants=()
        case $kind in uncompressed|all) variants+=("none" "none -f lsb2msb" "none -r 7") ;; esac
        case $kind in packbits|all) variants+=("packbits" "packbits -f lsb2msb" "packbits -r 1") ;; esac
        case $kind in lzw|all)
            variants+=("lzw" "lzw -f lsb2msb" "lzw -r 7")
            [ "$bits" = 8 ] || [ "$bits" = 16 ] && variants+=("lzw:2" "lzw:2 -f lsb2msb")
            ;;
        esac
        case $kind in deflate|all)
            variants+=("zip" "zip -f lsb2msb" "zip -r 7")
            [ "$bits" = 8 ] || [ "$bits" = 16 ] && variants+=("zip:2")
            ;;
        esac
        # Tiles (edge tiles on both edges: the image is 13 x 7) and BigTIFF.
        case $kind in uncompressed|all) variants+=("none -t -w 16 -l 16" "none -8") ;; esac
        case $kind in packbits|all) variants+=("packbits -t -w 16 -l 16 -8") ;; esac
        case $kind in lzw|all) variants+=("lzw -t -w 16 -l 16" "lzw -8 -r 3") ;; esac
        case $kind in deflate|all) variants+=("zip -t -w 16 -l 16 -8") ;; esac
        for v in "${variants[@]}"; do
            read -r compression options <<<"$v"
            n=$((n + 1))
            # shellcheck disable=SC2086
            tiffcp -c "$compression" ${options:-} "$base" "$out/seed-$n.tif"
        done
    done
done
# Signed and floating-point samples (random bit patterns: NaN and
# infinities among them), with each predictor they take.
for v in "2 16 lzw:2" "3 32 zip:3" "3 64 lzw:3"; do
    read -r format bits compression <<<"$v"
    python3 "$here/make_tiff.py" "$work/values.tif" --width 13 --height 7 --bits "$bits" \
        --sample-format "$format" --endian big --rows-per-strip 3 --random --seed "$bits"
    cp "$work/values.tif" "$out/values-$format-$bits.tif"
    tiffcp -c "$compression" "$work/values.tif" "$out/values-$format-$bits-${compression/:/-p}.tif"
done
# Near-valid: every third seed cut short, every fifth with a byte of its
# strip data changed.
for f in "$out"/seed-*.tif; do
    i=${f##*-}
    i=${i%.tif}
    size=$(stat -c %s "$f")
    if [ $((i % 3)) = 0 ]; then head -c $((size - 20)) "$f" >"$out/cut-$i.tif"; fi
    if [ $((i % 5)) = 0 ]; then
        cp "$f" "$out/flip-$i.tif"
        printf '\x5a' | dd of="$out/flip-$i.tif" bs=1 seek=12 conv=notrunc status=none
    fi
done
# Small stacks: pages of different depths and compressions in one file.
tiffcp "$out/seed-1.tif" "$out/seed-5.tif" "$out/seed-9.tif" "$out/stack-mixed.tif"
tiffcp "$out/seed-2.tif" "$out/seed-2.tif" "$out/stack-same.tif"
# The regression files, each of which once went wrong, stacks among them
# (a loop, a chain past the end of the file).
cp "$here/regressions/"*.tif "$out/"
echo "$(ls "$out" | wc -l) seeds in $out"
