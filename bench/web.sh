#!/usr/bin/env bash
# The browser page against the native program, in one sitting. Builds the
# portable velmora (-DVELMORA_SIMD=OFF) and the page (emscripten), writes
# tape-like captures with make_capture as bench/run.sh does, and times, in
# alternating runs, the portable velmora and the page in headless Chromium
# converting the 64 MiB capture. Each page run is a fresh browser: its first
# conversion (the module just compiled) and a second one in the same page
# are both timed, in the worker, from the request to the image ready for
# download; the first starts as soon as the page has loaded in one browser,
# and once its worker is ready and two seconds more in another. Then the page's wasm memory after converting the 1 MiB and the
# 256 MiB capture (it only grows, so this is its peak).
#
#   bench/web.sh            # RUNS=5 by default; BENCH_DIR to keep the captures
# Needs emscripten, Chromium and playwright-core (npm ci in tests/web).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
work=${BENCH_DIR:-$(mktemp -d)}
runs=${RUNS:-5}
version=${VERSION:-2}
mkdir -p "$work"

. "$root/bench/bench_lock.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target make_capture >/dev/null
portable_build=$build-portable
cmake -S "$root" -B "$portable_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVELMORA_SIMD=OFF >/dev/null
cmake --build "$portable_build" -j2 --target velmora >/dev/null
page_build=$build-web
emcmake cmake -S "$root" -B "$page_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$page_build" -j2 >/dev/null
page_test=$root/tests/web/page_test.js

mib=$((1 << 20))
make_capture() { # name total-bytes
  [ -f "$work/$1.ctf" ] || "$build/make_capture" --pattern tape --bytes $(($2 / 2)) --period 20,40 --seed 1 "$work/$1.ctf"
}
make_capture tape $((64 * mib))
make_capture tape-1mib $((1 * mib))
make_capture tape-256mib $((256 * mib))

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# page_runs CAPTURE RUNS [SETTLE_MS]: the page's lines "page <ms> ms memory
# <bytes> image in <file|memory>"; with SETTLE_MS, the first conversion
# starts once the worker is ready and that long after, as when a person
# chooses the file; without, as soon as the page has loaded.
page_runs() {
  node "$page_test" --page "$page_build/velmora-web" --work "$work/page" --bench "$1" --runs "$2" \
    --version "$version" ${3:+--settle "$3"}
}
settle_ms=2000

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -r), $(chromium --version 2>/dev/null | tail -n 1)"
echo "runs: $runs alternating, tape-like 64 MiB capture, version $version, median shown (ms)"
rm -f "$work"/*.times "$work/page.runs"
# page_times OUT_PREFIX [SETTLE_MS]: one fresh browser, two conversions.
page_times() {
  page_runs "$work/tape.ctf" 2 ${2:-} >"$work/page.out"
  cat "$work/page.out" >>"$work/page.runs"
  sed -n '1s/^page \([0-9.]*\) ms.*/\1/p' "$work/page.out" >>"$work/$1-first.times"
  sed -n '2s/^page \([0-9.]*\) ms.*/\1/p' "$work/page.out" >>"$work/$1-second.times"
}
for _ in $(seq "$runs"); do
  start=${EPOCHREALTIME/[.,]/}
  "$portable_build/velmora" "$work/tape.ctf" "$work/out.tap" "$version" >/dev/null
  end=${EPOCHREALTIME/[.,]/}
  echo "scale=1; ($end - $start) / 1000" | bc >>"$work/portable.times"
  page_times at-once
  page_times settled "$settle_ms"
done
portable=$(median <"$work/portable.times")
echo "portable velmora: $portable"
for kind in at-once settled; do
  first=$(median <"$work/$kind-first.times")
  second=$(median <"$work/$kind-second.times")
  echo "page, $kind: first conversion $first ($(echo "scale=2; $first / $portable" | bc) x portable)," \
    "second $second ($(echo "scale=2; $second / $portable" | bc) x)"
done
echo "(at-once: converting as soon as the page has loaded; settled: once its worker is ready and ${settle_ms} ms later)"
echo "each run (portable; at once first, second; settled first, second):"
paste "$work/portable.times" "$work/at-once-first.times" "$work/at-once-second.times" \
  "$work/settled-first.times" "$work/settled-second.times"
echo "images kept in: $(sed -n 's/.* image in //p' "$work"/page.runs | sort | uniq -c | tr '\n' ' ')"

for capture in tape-1mib tape tape-256mib; do
  memory=$(page_runs "$work/$capture.ctf" 1 | sed -n 's/.* memory \([0-9]*\) .*/\1/p')
  echo "page memory after converting $capture: $((memory / mib)) MiB"
done
