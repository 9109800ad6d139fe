#!/usr/bin/env bash
# `cmake --install` into a fresh prefix puts exactly the two programs, their
# manual pages and the licence as share/doc/velmora/copyright there (never the
# developers' capture generator), and the installed program announces the
# project's version in its banner.
# Usage: check_install.sh CMAKE BUILD_DIR MAJOR.MINOR LICENSE
set -euo pipefail
cmake=$1 build=$2 banner_version=$3 license=$4

fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

installed=$(cd "$prefix" && find . -type f -o -type l | sort)
expected=$(printf '%s\n' ./bin/velmora ./bin/velmora-inspect ./share/doc/velmora/copyright \
  ./share/man/man1/velmora-inspect.1 ./share/man/man1/velmora.1)
[ "$installed" = "$expected" ] || fail "installed files:"$'\n'"$installed"$'\n'"expected:"$'\n'"$expected"
[ -x "$prefix/bin/velmora" ] || fail "bin/velmora is not executable"
cmp "$prefix/share/doc/velmora/copyright" "$license" || fail "share/doc/velmora/copyright is not $license"

# Without arguments the program prints its banner and the usage, status 1.
status=0
output=$("$prefix/bin/velmora") || status=$?
[ "$status" -eq 1 ] || fail "bin/velmora without arguments exited with $status, not 1"
banner=${output%%$'\n'*}
expected_banner="velmora $banner_version - "
case $banner in
  "$expected_banner"*) ;;
  *) fail "banner '$banner' does not start with '$expected_banner'" ;;
esac
[ -x "$prefix/bin/velmora-inspect" ] || fail "bin/velmora-inspect is not executable"
inspect_version=$("$prefix/bin/velmora-inspect" --version) || fail "bin/velmora-inspect --version failed"
[ "$inspect_version" = "velmora-inspect $banner_version" ] || fail "velmora-inspect --version printed '$inspect_version'"
echo "PASS: installed tree under a fresh prefix"
