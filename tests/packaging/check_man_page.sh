#!/usr/bin/env bash
# The generated manual page renders without a single warning and carries the
# project's version. Usage: check_man_page.sh PAGE VERSION
set -euo pipefail
page=$1 version=$2

if ! command -v groff >/dev/null; then
  echo "SKIPPED: groff is not installed (Debian package groff-base)"
  exit 77
fi

fail() { echo "FAIL: $*" >&2; exit 1; }

[ -f "$page" ] || fail "$page is missing; build the project first"
warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page: $warnings"
[ -z "$warnings" ] || fail "groff -man -ww -z printed:"$'\n'"$warnings"

! grep -n '@[A-Za-z_]*@' "$page" || fail "placeholders left unreplaced in $page"
title=$(basename "$page" .1 | tr '[:lower:]' '[:upper:]')
grep -q "^\.TH $title 1 .*\"velmora $version\"" "$page" || fail "the title line of $page does not name version $version"
echo "PASS: $page"
