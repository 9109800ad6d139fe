#!/usr/bin/env bash
# `cpack -G ZIP` in a Windows cross build makes velmora-VERSION-win64.zip
# holding, in one folder, velmora.exe and velmora-inspect.exe (needing no DLL
# beyond the system's), README.txt (the README) and LICENSE.txt (the licence).
# Usage: check_zip.sh CPACK BUILD_DIR SOURCE_DIR VERSION OBJDUMP
set -euo pipefail
cpack=$1 build=$2 source=$3 version=$4 objdump=$5

. "$(dirname "${BASH_SOURCE[0]}")/package_check.sh"
require_tools "unzip, binutils-mingw-w64-x86-64" unzip "$objdump"
make_package "$cpack" "$build" ZIP
folder="velmora-${version}-win64"
zip="$work/out/$folder.zip"
[ -f "$zip" ] || fail "no $(basename "$zip"); made: $(ls "$work/out")"

files=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$folder/LICENSE.txt" "$folder/README.txt" "$folder/velmora-inspect.exe" "$folder/velmora.exe")
[ "$files" = "$expected" ] || fail "zip files:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"

unzip -q "$zip" -d "$work/root"
cmp "$source/README.md" "$work/root/$folder/README.txt" || fail "README.txt is not the README"
cmp "$source/LICENSE" "$work/root/$folder/LICENSE.txt" || fail "LICENSE.txt is not the licence"
# Statically linked: only DLLs that every Windows system has.
for program in velmora.exe velmora-inspect.exe; do
  dlls=$("$objdump" -p "$work/root/$folder/$program" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
  [ -n "$dlls" ] || fail "objdump found no imported DLLs in $program"
  for dll in $dlls; do
    case $dll in
      kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll | advapi32.dll | user32.dll) ;;
      *) fail "$program needs $dll, which Windows does not bring" ;;
    esac
  done
done
echo "PASS: $(basename "$zip"): $(tr '\n' ' ' <<<"$files"); DLLs: $(tr '\n' ' ' <<<"$dlls")"
