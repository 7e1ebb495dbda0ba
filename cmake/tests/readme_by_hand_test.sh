#!/usr/bin/env bash
# Runs the README's commands for running the Windows programs by hand, as written, from a
# repository root of their own: its cmake/ and build/bin are the build's, its rig gets a Wine
# prefix of its own (a copy of the build's), so its Xvfb and wineserver are its own and the
# tests' rig, which must outlive it, is left alone.
#   readme_by_hand_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src="$1" build="$2"
root="$(mktemp -d "${TMPDIR:-/tmp}/hx-readme.XXXXXX")"
out=/tmp/hx-out  # where the README's --out 'Z:\tmp\hx-out' writes
made_out=0
[ -d "$out" ] || made_out=1
cleanup() {
  [ -f "$root/build/wine/wineserver.pid" ] && (cd "$root" && cmake/rig --dir build/wine stop >/dev/null)
  rm -rf "$root"
  rm -f "$out"/premiere_export.* "$out"/quicktime_export.* "$out"/encoder.log "$out"/quicktime_encoder.log
  [ "$made_out" = 1 ] && rmdir "$out" 2>/dev/null
  return 0
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The block that follows "From the root of the repository:".
commands="$(awk '/From the root of the repository:$/ {f = 1; next}
                 f && /^```sh/ {b = 1; next}
                 b && /^```/ {exit}
                 b' "$src/README.md")"
[ -n "$commands" ] || fail "README.md has no by-hand commands after \"From the root of the repository:\""

ln -s "$src/cmake" "$root/cmake"
mkdir -p "$root/build/wine"
ln -s "$build/bin" "$root/build/bin"
ln -s "$build/wine-run" "$root/build/wine-run"
"$src/cmake/tests/prefix_copy.sh" "$build/wine/prefix" "$root/build/wine/prefix" || fail "cannot copy the prefix"

tests_xvfb="$(cat "$build/wine/xvfb.pid" 2>/dev/null)"
tests_server="$(cat "$build/wine/wineserver.pid" 2>/dev/null)"
rm -f "$out"/premiere_export.* "$out"/quicktime_export.*

printf '%s\n' "$commands" | sed 's/^/$ /'
printed="$(cd "$root" && bash -e <<<"$commands" 2>&1 | tr -d '\r')" || { echo "$printed"; fail "a command failed"; }
echo "$printed"

line="$(grep -F '[rig] started Xvfb on :' <<<"$printed")" || fail "start did not say what it started"
[[ "$line" =~ Xvfb\ on\ :([0-9]+)\ \(pid\ ([0-9]+)\).*wineserver\ \(pid\ ([0-9]+)\)\ for\ (.*)$ ]] ||
  fail "unexpected start line: $line"
display="${BASH_REMATCH[1]}" xvfb="${BASH_REMATCH[2]}" server="${BASH_REMATCH[3]}"
[ "${BASH_REMATCH[4]}" = "$root/build/wine/prefix" ] || fail "the rig's prefix is not the absolute path: $line"
grep -qx 'export: done (0)' <<<"$printed" || fail "the Premiere export did not finish"
grep -q '^encoder: 320x240 90 frames' <<<"$printed" || fail "no summary of the Premiere export"
grep -qx 'export from procedures: 0' <<<"$printed" || fail "the QuickTime export did not finish"
grep -q '^encoder: quicktime 4 track(s), 90 frames' <<<"$printed" || fail "no summary of the QuickTime export"
[ -s "$out/premiere_export.avi" ] && [ -s "$out/quicktime_export.avi" ] || fail "no AVI files in $out"
grep -qxF "[rig] stopped the wineserver (pid $server) and Xvfb on :$display (pid $xvfb)" <<<"$printed" ||
  fail "stop did not end what start started"
for pid in "$xvfb" "$server"; do
  ! kill -0 "$pid" 2>/dev/null || fail "process $pid that start started still runs"
done
for pid in $tests_xvfb $tests_server; do
  kill -0 "$pid" 2>/dev/null || fail "the tests' rig lost process $pid"
done
echo "PASS"
