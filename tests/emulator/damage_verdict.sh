#!/bin/sh
# The damage table: a capture of a small BASIC program, damaged by
# make_capture in one way, converted by velmora; velmora-inspect's verdict on
# the image must agree with the emulator's LOAD and RUN. "loads" must load
# and run; "recoverable" and "lost" must not (the ROM loads the program
# damaged or not at all). Prints both, so that the table can be read from
# the test log.
#
# usage: damage_verdict.sh WORK_DIR VELMORA MAKE_CAPTURE INSPECT NAME TAP_VERSION DAMAGE...
# Exit status 77: node, npm or 7z is missing (see run_image.sh).
set -eu

work_dir=$1 velmora=$2 make_capture=$3 inspect=$4 name=$5 version=$6
shift 6
here=$(dirname "$0")

for tool in node npm 7z; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing"
    exit 77
  fi
done
# The core is fetched by run_image.sh's code; a clean run of it first does that.
sh "$here/run_image.sh" "$work_dir" "$velmora" "$make_capture" 20 "$version" fetch-only

run_dir=$work_dir/damage-$name
mkdir -p "$run_dir"
printf '\001\020\017\020\012\000\231 "HELLO"\000\000\000' >"$run_dir/hello.prg"
"$make_capture" --program "$run_dir/hello.prg" --name VELMORA --period 20 "$@" "$run_dir/hello.ctf"
"$velmora" "$run_dir/hello.ctf" "$run_dir/hello.tap" "$version" >/dev/null
verdict=$("$inspect" --json "$run_dir/hello.tap" |
  node -e 'let s = ""; process.stdin.on("data", (d) => { s += d; }).on("end", () => {
    const files = JSON.parse(s).files; console.log(files.length === 1 ? files[0].verdict : `${files.length} files`); });')
status=0
node "$here/vice_load_run.js" "$work_dir/core" "$run_dir/hello.tap" "$run_dir/hello.prg" HELLO >"$run_dir/emulator.log" || status=$?
case $status in
  0) emulator="loads and runs" ;;
  1) emulator="does not load and run" ;;
  *) cat "$run_dir/emulator.log"; echo "the emulator harness failed (status $status)"; exit 1 ;;
esac
echo "damage $name ($*): velmora-inspect says $verdict; in the emulator the image $emulator"
if [ "$verdict" = loads ] && [ "$status" -eq 0 ]; then exit 0; fi
if { [ "$verdict" = recoverable ] || [ "$verdict" = lost ]; } && [ "$status" -eq 1 ]; then exit 0; fi
echo "the verdict disagrees with the emulator"
exit 1
