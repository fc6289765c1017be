#!/usr/bin/env bash
# package-test.sh BUILD_DIR
#
# Builds the Debian package with CPack into a scratch folder and checks it:
# its control fields and dependencies (dpkg-deb -I), each of them a package
# this system has installed; its contents (dpkg-deb -c) against the install
# layout; then installs it with dpkg into an empty scratch root and speaks
# through the module installed there.
set -euo pipefail

build="$(cd "$1" && pwd)"
scratch="$(mktemp -d /tmp/vexora-package-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  exit 1
fi
deb="$(ls "$scratch"/out/*.deb)"

# Control fields.
dpkg-deb -I "$deb" >"$scratch/info.txt"
field() { sed -n "s/^ $1: //p" "$scratch/info.txt"; }
[ "$(field Package)" = vexora ] || fail "Package: $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Version)" ] || fail "no Version"
depends="$(field Depends)"
for wanted in 'libgrpc++[0-9.]*' 'libprotobuf[0-9]*' 'libapr1' 'libaprutil1' 'libsoxr0' \
              'libespeak-ng1' 'espeak-ng-data' 'libstdc++6' 'libc6'; do
  grep -Eq "(^|, )${wanted//+/\\+}( |,|$)" <<<"$depends" || fail "Depends lacks $wanted: $depends"
done
grep -q vxhost <<<"$depends" && fail "Depends names the kit: $depends"
# Every dependency is a package this Debian system has (alternatives: one).
IFS=',' read -ra items <<<"$depends"
for item in "${items[@]}"; do
  found=0
  IFS='|' read -ra alternatives <<<"$item"
  for alternative in "${alternatives[@]}"; do
    name="$(awk '{print $1}' <<<"$alternative")"
    status="$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)"
    [ "$status" = "install ok installed" ] && found=1
  done
  [ "$found" -eq 1 ] || fail "dependency not installed here: $item"
done

# Contents: exactly the install layout under /usr, with its modes.
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub(/^\.\//, "/", $6); print $1, $6 }' | sort >"$scratch/contents.txt"
DESTDIR="$scratch/stage" cmake --install "$build" --prefix /usr >/dev/null
(cd "$scratch/stage" && find . -type f | sed 's/^\.//' | sort) >"$scratch/layout.txt"
if ! diff <(awk '{print $2}' "$scratch/contents.txt" | sort) "$scratch/layout.txt" >"$scratch/diff.txt"; then
  fail "package contents differ from the install layout:"
  cat "$scratch/diff.txt" >&2
fi
mode() { awk -v f="$1" '$2 == f { print $1 }' "$scratch/contents.txt"; }
[ "$(mode /usr/lib/vexora/plugin/vexora.so)" = "-rw-r--r--" ] || fail "module mode $(mode /usr/lib/vexora/plugin/vexora.so)"
[ "$(mode /usr/bin/vexora)" = "-rwxr-xr-x" ] || fail "program mode $(mode /usr/bin/vexora)"
[ "$(mode /usr/share/vexora/conf/vexora.xml)" = "-rw-r--r--" ] || fail "conf mode"

# Installed with dpkg into an empty root (its dependencies are those of
# this system, checked above), then spoken through from there.
target="$scratch/root"
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates"
touch "$target/var/lib/dpkg/status" "$target/var/lib/dpkg/available"
if ! dpkg --root="$target" --log=/dev/null --force-depends --force-not-root \
     --force-script-chrootless -i "$deb" >"$scratch/dpkg.log" 2>&1; then
  cat "$scratch/dpkg.log" >&2
  fail "dpkg could not install the package into a scratch root"
fi
module="$target/usr/lib/vexora/plugin/vexora.so"
[ -f "$module" ] || fail "dpkg installed no module"
grep -q '^/usr/lib/vexora/plugin/vexora.so$' <<<"$(dpkg --root="$target" -L vexora 2>/dev/null)" ||
  fail "dpkg does not list the module as the package's"
if ! "$target/usr/bin/vexora" speak "From the package." -o "$scratch/hello.wav" \
     --module "$module" --voice vx-test-tone >"$scratch/speak.log" 2>&1; then
  cat "$scratch/speak.log" >&2
  fail "the packaged vexora program could not speak through the packaged module"
fi
# 17 bytes of text: 20 ms of tone each.
grep -q "0.34 s of audio" "$scratch/speak.log" || fail "not the audio of the sentence"

if [ "$failures" -ne 0 ]; then
  echo "package-test: $failures failure(s)" >&2
  exit 1
fi
sed -n "s/^ Depends: /Depends: /p" "$scratch/info.txt"
echo "package-test: $(basename "$deb") checked, installed and spoken through"
