#!/usr/bin/env bash
# check-module-imports.sh MODULE ALLOWED
#
# The undefined-symbol check of a plug-in module whose host operations are
# resolved from the host process: every symbol MODULE leaves undefined must
# be defined by one of the libraries it names (found as the dynamic linker
# finds them) or be listed, one name a line, in ALLOWED. The module must not
# name a library of the host kit either. Prints what is wrong and exits 1.
set -euo pipefail

module="$1"
allowed="$2"

fail() {
  echo "check-module-imports: $module: $*" >&2
  exit 1
}

[ -f "$module" ] || fail "no such file"
[ -f "$allowed" ] || fail "no list of host imports $allowed"

if grep -q 'NEEDED.*libvxhost' <<<"$(readelf -d "$module")"; then
  fail "names the host kit library (libvxhost) among its needed libraries"
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Undefined (not weak) dynamic symbols, without their version.
nm -D --undefined-only "$module" | awk '$1 == "U" { sub(/@.*/, "", $2); print $2 }' |
  sort -u >"$scratch/undefined"

# Everything the needed libraries define, directly or through their own.
ldd "$module" | awk '/=>/ && $3 ~ /^\// { print $3 } /^[ \t]*\// { print $1 }' | sort -u |
  while read -r library; do
    nm -D --defined-only "$library" 2>/dev/null | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }'
  done | sort -u >"$scratch/provided"

{ grep -v '^[[:space:]]*\(#\|$\)' "$allowed" || true; } | sort -u >"$scratch/allowed"

# Left: neither from a needed library nor a host operation. A sanitizer's
# runtime is linked into the executable by some compilers, not the module.
comm -23 "$scratch/undefined" "$scratch/provided" | comm -23 - "$scratch/allowed" |
  grep -v '^__\(asan\|ubsan\|tsan\|lsan\|sanitizer\|msan\)_' >"$scratch/missing" || true

if [ -s "$scratch/missing" ]; then
  echo "check-module-imports: $module leaves undefined symbols that neither a needed" >&2
  echo "library nor the host provides (a missing library, or a host operation to add" >&2
  echo "to $allowed):" >&2
  sed 's/^/  /' "$scratch/missing" >&2
  exit 1
fi
exit 0
