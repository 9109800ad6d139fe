#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets with the capture generator.
# Usage: fuzz/make_corpus.sh BUILD_DIR   (BUILD_DIR holds make_capture and velmora)
#
# Small captures of every pattern and a few periods, blocks that straddle the
# 2048-byte chunk, one ending early, and 201 asymmetric waves. Both targets
# take any bytes: fuzz_scan reads samples from the front of a file and its
# split choices from the back, so the same captures seed it too.
set -euo pipefail
make_capture="$1/make_capture"
velmora="$1/velmora"
here=$(cd "$(dirname "$0")" && pwd)

for target in fuzz_convert fuzz_scan; do
  out="$here/corpus/$target"
  rm -rf "$out"
  mkdir -p "$out"
  "$make_capture" --pattern tape --bytes 200 --period 20,40 --seed 1 "$out/tape_two_blocks.ctf"
  "$make_capture" --pattern sparse --bytes 600 --period 255 --seed 2 "$out/sparse_period_255.ctf"
  "$make_capture" --pattern dense --bytes 64 --period 0,1,200 --seed 3 "$out/dense_three_blocks.ctf"
  "$make_capture" --pattern tape --bytes 2100 --period 25 --seed 4 "$out/tape_across_a_chunk.ctf"
  "$make_capture" --phases 10,14 --bytes 603 --period 20 "$out/asymmetric_201.ctf"
  "$make_capture" --phases 1,2,3,300 --bytes 100 --period 100,7 "$out/mixed_phases.ctf"
  "$make_capture" --pattern tape --bytes 300 --period 30 --seed 5 "$out/ends_early.ctf"
  head -c 250 "$out/ends_early.ctf" > "$out/ends_early.ctf.cut" && mv "$out/ends_early.ctf.cut" "$out/ends_early.ctf"
done

# fuzz_rom_tape reads TAP entries after a byte of choices: ROM-format images
# of a small program, clean and damaged, in half and full waves.
out="$here/corpus/fuzz_rom_tape"
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
printf '\001\020\017\020\012\000\231 "HI"\000\000\000' >"$work/hi.prg"
rom_image() { # name choice-byte tap-version make_capture-options...
  local name=$1 choice=$2 version=$3
  shift 3
  "$make_capture" --program "$work/hi.prg" --name HI --period 20 "$@" "$work/hi.ctf"
  "$velmora" "$work/hi.ctf" "$work/hi.tap" "$version" >/dev/null
  { printf "\\$(printf %03o "$choice")"; tail -c +21 "$work/hi.tap"; } >"$out/$name"
}
rom_image clean_half_waves 254 2
rom_image clean_full_waves 63 1
rom_image parity_errors_and_glitch 16 2 --parity-error data:first:2 --parity-error data:repeat:2 --glitch header:first:7
rom_image cut_and_high 255 2 --start-high --cut 11.5
rm -rf "$work"
