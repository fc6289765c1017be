#!/usr/bin/env bash
# imports-test.sh MODULE ALLOWED
#
# The module's import check both ways: the built module passes with the
# list of host imports, names no host library and leaves the host
# operations undefined; with one host operation taken off the list the
# check fails and names it.
set -euo pipefail

module="$1"
allowed="$2"
check="$(dirname "$0")/../../cmake/check-module-imports.sh"
scratch="$(mktemp -d /tmp/vexora-imports-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT

bash "$check" "$module" "$allowed"
if grep -q 'NEEDED.*libvxhost' <<<"$(readelf -d "$module")"; then
  echo "FAIL: the module names libvxhost" >&2
  exit 1
fi
# Each listed operation is one the module really imports: a stale entry
# would let a later mistake through.
nm -D --undefined-only "$module" | awk '$1 == "U" { sub(/@.*/, "", $2); print $2 }' | sort -u >"$scratch/undefined"
grep -v '^[[:space:]]*\(#\|$\)' "$allowed" | sort -u >"$scratch/allowed"
stale="$(comm -13 "$scratch/undefined" "$scratch/allowed")"
if [ -n "$stale" ]; then
  echo "FAIL: listed but not imported: $stale" >&2
  exit 1
fi

grep -v '^apt_log$' "$allowed" >"$scratch/short.txt"
if bash "$check" "$module" "$scratch/short.txt" 2>"$scratch/err.txt"; then
  echo "FAIL: the check passed without apt_log on the list" >&2
  exit 1
fi
grep -q '^  apt_log$' "$scratch/err.txt" || { cat "$scratch/err.txt" >&2; exit 1; }
echo "imports-test: host imports checked"
