#!/bin/sh
# Builds the browser page with emscripten (into WORK_DIR/page-build, again
# only as its sources change), runs the module's scan tests in Node, and
# runs page_test.js on the page in headless Chromium, against the native
# velmora and velmora-inspect.
#
# usage: run_page_test.sh SOURCE_DIR WORK_DIR VELMORA VELMORA_INSPECT MAKE_CAPTURE
# Exit status 77: Chromium, emscripten, Node or playwright-core is missing.
# The screenshot of the page is left at WORK_DIR/velmora-page.png.
set -eu

source_dir=$1 work_dir=$2 velmora=$3 inspect=$4 make_capture=$5
chromium=${VELMORA_CHROMIUM:-/usr/bin/chromium}

skip() {
  echo "SKIP: $1"
  exit 77
}
[ -x "$chromium" ] || skip "no Chromium at $chromium (Debian package chromium; or set VELMORA_CHROMIUM)"
command -v node >/dev/null || skip "node is missing (Debian package nodejs)"
command -v emcmake >/dev/null || skip "emscripten is missing (Debian packages emscripten and node-acorn)"
[ -d "$source_dir/tests/web/node_modules/playwright-core" ] ||
  skip "playwright-core is missing: run 'npm ci' in tests/web"

mkdir -p "$work_dir"
page_build=$work_dir/page-build
log=$work_dir/page-build.log
if ! { emcmake cmake -S "$source_dir" -B "$page_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON &&
       cmake --build "$page_build" -j2; } >"$log" 2>&1; then
  cat "$log"
  echo "building the page failed"
  exit 1
fi

# The scan paths of the module (its SIMD128 path and the portable one)
# against the per-sample reference, in Node.
node "$page_build/velmora_scan_tests.js" --gtest_brief=1 || { echo "the module's scan paths failed"; exit 1; }

# Large enough that Cancel comes while it is being converted.
large=$work_dir/tape-32mib.ctf
[ -f "$large" ] ||
  "$make_capture" --pattern tape --bytes $((16 * 1024 * 1024)) --period 20,40 --seed 1 "$large" >/dev/null

rm -rf "$work_dir/run"
exec node "$source_dir/tests/web/page_test.js" --page "$page_build/velmora-web" --velmora "$velmora" \
  --inspect "$inspect" --examples "$source_dir/examples" --work "$work_dir/run" --large "$large" \
  --screenshot "$work_dir/velmora-page.png"
