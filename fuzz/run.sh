#!/usr/bin/env bash
# Runs one fuzz target of a VELMORA_FUZZ build for SECONDS of wall time, from
# its committed seed corpus and crashers. New inputs go to
# BUILD/fuzz/work/TARGET, never into the committed corpus; a finding is
# written to BUILD/fuzz/findings/ and fails the run (copy it to
# fuzz/crashers/TARGET/ once mended, so that the tests replay it).
# Usage: fuzz/run.sh TARGET SECONDS [BUILD]   (BUILD defaults to build-fuzz)
set -euo pipefail
target=$1 seconds=$2 build=${3:-build-fuzz}
here=$(cd "$(dirname "$0")" && pwd)

work="$build/fuzz/work/$target"
findings="$build/fuzz/findings"
mkdir -p "$work" "$findings"
seeds=("$here/corpus/$target")
if [ -d "$here/crashers/$target" ]; then
  seeds+=("$here/crashers/$target")
fi

# -max_len: captures of several 2048-byte chunks; -timeout: any one input
# taking 10 s is a hang.
"$build/fuzz/$target" -max_total_time="$seconds" -max_len=10000 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$findings/$target-" "$work" "${seeds[@]}"
