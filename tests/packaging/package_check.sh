# What both package checks do before looking inside a package; sourced by
# check_deb.sh and check_zip.sh after `set -euo pipefail`.

fail() { echo "FAIL: $*" >&2; exit 1; }

# require_tools "DEBIAN PACKAGES" TOOL...: skips the test (status 77) unless
# every tool is installed, naming the packages that bring them.
require_tools() {
  local packages=$1 tool
  shift
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: $tool is not installed (Debian packages $packages)"
      exit 77
    fi
  done
}

# make_package CPACK BUILD_DIR GENERATOR: runs cpack into $work/out, in a
# scratch folder $work removed when the check ends.
make_package() {
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if ! "$1" -G "$3" --config "$2/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack -G $3 failed"
  fi
}
