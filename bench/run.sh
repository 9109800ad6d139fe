#!/usr/bin/env bash
# Whole-program benchmark. Builds Release, writes captures with the project's
# capture generator and times, in alternating runs, velmora, velmora built
# with -DVELMORA_SIMD=OFF (the portable scan only), a build of velmora with the
# per-sample reference loop (velmora_per_sample), and dd copying the same
# capture (the I/O floor). Prints medians, ratios and the peak resident memory
# of velmora on a 1 MiB and a 64 MiB capture.
#
# The machine's speed drifts, and dd's with it, so a ratio to dd measured on
# one day is not comparable with one measured on another. BASELINE=<git
# revision> also builds velmora as it was at that revision and times it in
# the same alternating runs, so that its ratio to dd comes from the same
# sitting.
#
#   bench/run.sh            # RUNS=7 by default; BENCH_DIR to keep the captures
#   BASELINE=89f2fd7~1 bench/run.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
work=${BENCH_DIR:-$(mktemp -d)}
runs=${RUNS:-7}
mkdir -p "$work"

. "$root/bench/bench_lock.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target velmora velmora_per_sample make_capture >/dev/null
portable_build=$build-portable
cmake -S "$root" -B "$portable_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVELMORA_SIMD=OFF >/dev/null
cmake --build "$portable_build" -j2 --target velmora >/dev/null
baseline=${BASELINE:-}
if [ -n "$baseline" ]; then
  # Sources and build are kept per commit, so a second run rebuilds nothing.
  baseline_commit=$(git -C "$root" rev-parse --short "$baseline^{commit}")
  baseline_source=$build-baseline-$baseline_commit-src
  baseline_build=$build-baseline-$baseline_commit
  if [ ! -d "$baseline_source" ]; then
    mkdir -p "$baseline_source.part"
    git -C "$root" archive "$baseline_commit" | tar -x -C "$baseline_source.part"
    mv "$baseline_source.part" "$baseline_source"
  fi
  cmake -S "$baseline_source" -B "$baseline_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$baseline_build" -j2 --target velmora >/dev/null
  echo "baseline: velmora at $baseline ($baseline_commit)"
fi

mib=$((1 << 20))
make_capture() { # name pattern total-bytes
  [ -f "$work/$1.ctf" ] || "$build/make_capture" --pattern "$2" --bytes $(($3 / 2)) --period 20,40 --seed 1 "$work/$1.ctf"
}
make_capture tape tape $((64 * mib))
make_capture sparse sparse $((64 * mib))
make_capture dense dense $((16 * mib))
make_capture tape-1mib tape $((1 * mib))
# A tape of the ROM loader's format, of about the same size: a 60,000-byte
# program (the load address $1001, then bytes of the tape-like capture)
# recorded seven times in a row, as on a tape of several files.
if [ ! -f "$work/rom.ctf" ]; then
  { printf '\001\020'; head -c 60099 "$work/tape.ctf" | tail -c 60000; } >"$work/rom.prg"
  "$build/make_capture" --program "$work/rom.prg" --name BENCH --times 7 "$work/rom.ctf"
fi


# Median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# time_one NAME COMMAND...: appends one wall-clock time in ms to
# $work/NAME.times. Every command writes a fresh $work/out.tap.
time_one() {
  local name=$1 start end
  shift
  rm -f "$work/out.tap"
  start=${EPOCHREALTIME/[.,]/}
  "$@" >/dev/null 2>&1 || true
  end=${EPOCHREALTIME/[.,]/}
  echo "scale=1; ($end - $start) / 1000" | bc >>"$work/$name.times"
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -r)"
echo "runs: $runs alternating, median shown (ms)"
printf '%-8s %-3s %10s %10s %10s %10s %8s %8s %11s' capture ver velmora portable per-sample dd vs-loop vs-dd portable-dd
[ -z "$baseline" ] || printf ' %10s %11s' baseline baseline-dd
echo
for capture in tape sparse dense; do
  for version in 2 1; do
    rm -f "$work"/*.times
    input="$work/$capture.ctf"
    for _ in $(seq "$runs"); do
      time_one fast "$build/velmora" "$input" "$work/out.tap" "$version"
      time_one portable "$portable_build/velmora" "$input" "$work/out.tap" "$version"
      time_one loop "$build/velmora_per_sample" "$input" "$work/out.tap" "$version"
      time_one dd dd if="$input" of="$work/out.tap" bs=64k
      [ -z "$baseline" ] || time_one baseline "$baseline_build/velmora" "$input" "$work/out.tap" "$version"
    done
    fast=$(median <"$work/fast.times")
    portable=$(median <"$work/portable.times")
    loop=$(median <"$work/loop.times")
    copy=$(median <"$work/dd.times")
    printf '%-8s %-3s %10s %10s %10s %10s %8.3f %8.3f %11.3f' "$capture" "$version" "$fast" "$portable" "$loop" \
      "$copy" "$(echo "$fast / $loop" | bc -l)" "$(echo "$fast / $copy" | bc -l)" "$(echo "$portable / $copy" | bc -l)"
    if [ -n "$baseline" ]; then
      old=$(median <"$work/baseline.times")
      printf ' %10s %11.3f' "$old" "$(echo "$old / $copy" | bc -l)"
    fi
    echo
  done
done

# The builds must agree byte for byte with the per-sample one on what was timed.
for capture in tape sparse dense; do
  for version in 2 1; do
    "$build/velmora_per_sample" "$work/$capture.ctf" "$work/b.tap" "$version" >/dev/null || true
    programs=("$build/velmora" "$portable_build/velmora")
    [ -z "$baseline" ] || programs+=("$baseline_build/velmora")
    for program in "${programs[@]}"; do
      "$program" "$work/$capture.ctf" "$work/a.tap" "$version" >/dev/null || true
      cmp -s "$work/a.tap" "$work/b.tap" ||
        { echo "$program and the per-sample build differ on $capture, version $version" >&2; exit 1; }
    done
  done
done

# Peak resident memory varies by a few pages from run to run: median of 5.
for capture in tape-1mib tape; do
  rss=$(for _ in 1 2 3 4 5; do
    /usr/bin/time -v "$build/velmora" "$work/$capture.ctf" "$work/out.tap" 2 2>&1 >/dev/null |
      sed -n 's/.*Maximum resident set size (kbytes): //p'
  done | median)
  echo "peak resident memory, $capture capture, version 2: $rss KiB (median of 5)"
done

# velmora-inspect: inspecting a capture should cost at most 1.3 times
# converting it. Alternating runs of both on the same captures (and the
# tape of the ROM loader's format, which the inspector decodes), medians;
# the report goes to /dev/null. Then its peak resident memory, as above.
cmake --build "$build" -j --target velmora-inspect >/dev/null
echo "inspecting against converting: $runs alternating runs, median shown (ms)"
printf '%-8s %-3s %10s %10s %8s\n' capture ver velmora inspect ratio
for capture in tape sparse dense rom; do
  for version in 2 1; do
    rm -f "$work"/*.times
    for _ in $(seq "$runs"); do
      time_one convert "$build/velmora" "$work/$capture.ctf" "$work/out.tap" "$version"
      time_one inspect "$build/velmora-inspect" --tap-version "$version" "$work/$capture.ctf"
    done
    convert=$(median <"$work/convert.times")
    inspect=$(median <"$work/inspect.times")
    printf '%-8s %-3s %10s %10s %8.3f\n' "$capture" "$version" "$convert" "$inspect" "$(echo "$inspect / $convert" | bc -l)"
  done
done
for capture in tape-1mib tape rom; do
  rss=$(for _ in 1 2 3 4 5; do
    /usr/bin/time -v "$build/velmora-inspect" "$work/$capture.ctf" 2>&1 >/dev/null |
      sed -n 's/.*Maximum resident set size (kbytes): //p'
  done | median)
  echo "peak resident memory of velmora-inspect, $capture capture: $rss KiB (median of 5)"
done
rm -f "$work"/out.tap "$work"/a.tap "$work"/b.tap "$work"/*.times
[ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
