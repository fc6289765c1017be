#!/usr/bin/env bash
# install-test.sh BUILD_DIR
#
# Installs the build into a scratch DESTDIR, checks the layout and the
# dynamic sections of what was installed (relative RUNPATHs only, no path
# into the build tree, a module that names no library of the host kit), then
# speaks a sentence with the installed vexora program through the installed
# module, against the local speech service it starts.
set -euo pipefail

build="$(cd "$1" && pwd)"
scratch="$(mktemp -d /tmp/vexora-install-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

DESTDIR="$scratch/stage" cmake --install "$build" --prefix /opt/vexora >"$scratch/install.log"
root="$scratch/stage/opt/vexora"

for file in lib/vexora/plugin/vexora.so lib/vexora/plugin/libvx_tts_proto.so \
            lib/vexora/libvxhost.so bin/vexora bin/vexora-tts-server \
            share/vexora/conf/vexora.xml share/vexora/conf/vexora-local.xml \
            share/doc/vexora/README.md; do
  [ -f "$root/$file" ] || fail "not installed: $file"
done

module="$root/lib/vexora/plugin/vexora.so"
# Every installed ELF file: a RUNPATH relative to itself or none, and not a
# byte of the build tree's path in its dynamic section.
while read -r elf; do
  dynamic="$(readelf -d "$elf")"
  if grep -q "$build" <<<"$dynamic"; then
    fail "$elf names the build tree: $(grep "$build" <<<"$dynamic")"
  fi
  while read -r path; do
    case "$path" in
      '$ORIGIN'*) ;;
      *) fail "$elf has a RUNPATH entry not relative to itself: $path" ;;
    esac
  done < <(sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p' <<<"$dynamic" | tr ':' '\n')
done < <(find "$root" -type f \( -name '*.so' -o -path '*/bin/*' \))

if grep -q 'NEEDED.*libvxhost' <<<"$(readelf -d "$module")"; then
  fail "the installed module names libvxhost"
fi
if [ "$(readelf -d "$module" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')" != '$ORIGIN' ]; then
  fail "the installed module's RUNPATH is not \$ORIGIN"
fi
# The host operations are the module's undefined symbols, resolved from the
# process that loads it.
if ! grep -q ' U apt_log$' <<<"$(nm -D --undefined-only "$module")"; then
  fail "the installed module does not import the host operations"
fi
# The installed program finds the installed kit and generated code.
resolved() { ldd "$1" | awk -v lib="$2" '$1 == lib { print $3 }' | xargs -r realpath; }
for program in vexora vexora-tts-server; do
  [ "$(resolved "$root/bin/$program" libvx_tts_proto.so)" = "$root/lib/vexora/plugin/libvx_tts_proto.so" ] ||
    fail "bin/$program does not load the installed TTS code: $(resolved "$root/bin/$program" libvx_tts_proto.so)"
done
[ "$(resolved "$root/bin/vexora" libvxhost.so)" = "$root/lib/vexora/libvxhost.so" ] ||
  fail "bin/vexora does not load the installed kit: $(resolved "$root/bin/vexora" libvxhost.so)"
[ "$(resolved "$module" libvx_tts_proto.so)" = "$root/lib/vexora/plugin/libvx_tts_proto.so" ] ||
  fail "the module does not load the TTS code beside it"

# Speak through the installed module.
if ! "$root/bin/vexora" speak "Hello from the installed module." -o "$scratch/hello.wav" \
     --module "$module" --voice vx-test-tone >"$scratch/speak.log" 2>&1; then
  cat "$scratch/speak.log" >&2
  fail "the installed vexora program could not speak through the installed module"
fi
# Without --module the installed program takes the installed module.
if ! "$root/bin/vexora" speak "Hi." -o "$scratch/hi.wav" --voice vx-test-tone \
     >"$scratch/default.log" 2>&1; then
  cat "$scratch/default.log" >&2
  fail "the installed vexora program could not speak through its default module"
fi
grep -q "$module" <<<"$("$root/bin/vexora" speak --help 2>&1)" ||
  fail "the installed program's default module is not the installed one"
# 32 bytes of text: 20 ms of tone each.
grep -q "0.64 s of audio" "$scratch/speak.log" || fail "not the audio of the sentence"
grep -q "SPEAK-COMPLETE" "$scratch/speak.log" || fail "no SPEAK-COMPLETE in the session"

if [ "$failures" -ne 0 ]; then
  echo "install-test: $failures failure(s)" >&2
  exit 1
fi
echo "install-test: installed tree checked and spoken through"
