#!/usr/bin/env bash
# Writes the expected image of every named capture of this folder, in both
# TAP versions, by running velmora: NAME.v1.tap and NAME.v2.tap whenever it
# writes an image (status 0, or 5 for a capture that ends early), and prints
# each status to compare with the table of capture_corpus_test.cpp. The
# images are checked by hand against the notes of make_corpus.cpp before they
# are committed.
# Usage: tests/captures/make_goldens.sh VELMORA
set -euo pipefail
velmora=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

rm -f "$here"/*.tap
for capture in "$here"/*.ctf; do
  name=$(basename "$capture" .ctf)
  for version in 1 2; do
    status=0
    "$velmora" "$capture" "$scratch/out.tap" "$version" >"$scratch/out.txt" 2>&1 || status=$?
    printf '%-34s v%s status %s%s\n' "$name" "$version" "$status" \
      "$(grep -q 'recommended' "$scratch/out.txt" && echo ' (advice)' || true)"
    if [ "$status" -eq 0 ] || [ "$status" -eq 5 ]; then
      cp "$scratch/out.tap" "$here/$name.v$version.tap"
    fi
  done
done
