#!/usr/bin/env bash
# `cpack -G DEB` makes velmora_VERSION_ARCH.deb holding exactly /usr/bin/velmora,
# /usr/bin/velmora-inspect, their gzipped manual pages and the licence as
# /usr/share/doc/velmora/copyright, owned by root, with its control fields
# filled in and its dependencies computed from the binaries.
# Usage: check_deb.sh CPACK BUILD_DIR VERSION LICENSE
set -euo pipefail
cpack=$1 build=$2 version=$3 license=$4

. "$(dirname "${BASH_SOURCE[0]}")/package_check.sh"
require_tools "dpkg-dev, binutils" dpkg-deb dpkg-shlibdeps readelf
make_package "$cpack" "$build" DEB
deb="$work/out/velmora_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); made: $(ls "$work/out")"

# Files (not folders) in the package, and their owners.
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)
expected=$(printf '%s\n' ./usr/bin/velmora ./usr/bin/velmora-inspect ./usr/share/doc/velmora/copyright \
  ./usr/share/man/man1/velmora-inspect.1.gz ./usr/share/man/man1/velmora.1.gz)
[ "$files" = "$expected" ] || fail "package files:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"
! awk '$2 != "root/root"' <<<"$listing" | grep . || fail "entries above are not owned by root/root"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmora ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[[ "$(field Maintainer)" =~ ^.+\ \<.+@.+\>$ ]] || fail "Maintainer: '$(field Maintainer)'"
depends=$(field Depends)
[[ "$depends" =~ (^|,\ *)libc6( |,|$) ]] || fail "Depends lacks libc6: '$depends'"
# Every shared library the packaged binary needs comes from a package that
# Depends names (libstdc++6 only if the binary links libstdc++ at all).
dpkg-deb -x "$deb" "$work/root"
for program in velmora velmora-inspect; do
needed=$(LC_ALL=C readelf -d "$work/root/usr/bin/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || fail "readelf found no shared libraries in usr/bin/$program"
resolved=$(ldd "$work/root/usr/bin/$program")
for library in $needed; do
  # The file the loader picks (a name alone may match other architectures'
  # copies, such as libc6-i386's).
  path=$(awk -v name="$library" '$1 == name && $2 == "=>" { print $3 }' <<<"$resolved")
  [ -n "$path" ] || fail "the loader finds no $library"
  owner=$({ dpkg -S "$path" 2>/dev/null || dpkg -S "$(readlink -f "$path")" 2>/dev/null; } | head -n 1 | cut -d: -f1) || true
  [ -n "$owner" ] || fail "no installed package owns $library"
  [[ "$depends" =~ (^|,\ *)"$owner"( |,|$) ]] || fail "Depends lacks $owner (for $library): '$depends'"
done
done
description=$(field Description)
[ "$(wc -l <<<"$description")" -gt 1 ] || fail "Description has no long text: '$description'"

# The packaged pages are the pages the build made, compressed.
for page in velmora velmora-inspect; do
  gzip -t "$work/root/usr/share/man/man1/$page.1.gz" || fail "$page.1.gz is not a valid gzip file"
  cmp <(gzip -dc "$work/root/usr/share/man/man1/$page.1.gz") "$build/doc/$page.1" ||
    fail "the packaged manual page differs from $build/doc/$page.1"
  [ -x "$work/root/usr/bin/$page" ] || fail "usr/bin/$page is not executable"
done
cmp "$work/root/usr/share/doc/velmora/copyright" "$license" || fail "usr/share/doc/velmora/copyright is not $license"
echo "PASS: $(basename "$deb")"
