#!/usr/bin/env bash
# Test of tools/demo.sh, the exports of ./run demo, against the build's programs with a rig of
# its own (a copy of the build's prefix: its own wineserver, display and registry):
#   - both roads working: exit 0, every path printed, each file there and not empty;
#   - a rig that cannot start (the encoder refuses its registration run): it ends at once,
#     non-zero, with the rig's message, no road tried and nothing left running;
#   - an encoder that ends as it starts, before it opens the channel: both roads tried, both
#     failed with the hosts' own lines, non-zero, no output path;
#   - an output folder that cannot be written: the hosts say done, the files are missing; both
#     roads failed, non-zero, no output path;
#   - one road broken, the other working, each in turn: Premiere without QuickTime 4 (the
#     module's message box is shown), QuickTime with a component file that is none (the
#     runtime's refusal is shown); non-zero, and only the working road's paths.
# No printed path may name a file that is not there.
# Usage: demo_test.sh BIN_DIR RIG_DIR    (RIG_DIR: the tests' rig, whose prefix is copied)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ $# -eq 2 ] || { echo "usage: $0 BIN_DIR RIG_DIR" >&2; exit 2; }
bin="$(cd "$1" && pwd)" suite_rig="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/hx-demo.XXXXXX")"
rig_dir="$work/rig"
cleanup() {
  [ -f "$rig_dir/xvfb.pid" ] && "$root/cmake/rig" --dir "$rig_dir" stop >/dev/null
  chmod -R u+w "$work" 2>/dev/null
  rm -rf "$work"
  return 0
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$root/cmake/tests/prefix_copy.sh" "$suite_rig/prefix" "$rig_dir/prefix" || fail "cannot copy the prefix"

premiere_files=(premiere_export.avi premiere_export.markers.txt encoder.log)
quicktime_files=(quicktime_export.avi quicktime_export.maml.txt quicktime_encoder.log)

# demo NAME OUT_DIR [ENV=VALUE...] -- [DEMO ARGUMENTS...]: runs demo.sh, its output in $printed
# and its status in $status; checks what every run must do.
demo() {
  local name="$1" out="$2"
  shift 2
  local env=()
  while [ "$1" != -- ]; do env+=("$1"); shift; done
  shift
  echo "---- $name"
  printed="$(env "${env[@]}" "${wrap[@]}" "$root/tools/demo.sh" "$demo_bin" "$rig_dir" "$out" "$@" 2>&1)"
  status=$?
  printf '%s\n' "$printed"
  echo "(exit status $status)"
  local path
  while read -r path; do
    [ -s "$path" ] || fail "$name: printed $path, which is not there or empty"
  done < <(grep -oE "$out/[^ ,]+" <<<"$printed")
  [ ! -e "$rig_dir/xvfb.pid" ] && [ ! -e "$rig_dir/wineserver.pid" ] || fail "$name: the rig was left running"
  wrap=() demo_bin="$bin"
}
wrap=() demo_bin="$bin"
# printed_paths OUT FILE...: how many of these files' paths were printed.
printed_paths() {
  local out="$1" f n=0
  shift
  for f in "$@"; do
    grep -qF "$out/$f" <<<"$printed" && n=$((n + 1))
  done
  echo "$n"
}
tried() { grep -qx "== $1" <<<"$printed"; }

# Both roads working.
out="$work/out"
demo "both roads" "$out" --
[ "$status" -eq 0 ] || fail "a working demo exited $status"
for f in "${premiere_files[@]}" "${quicktime_files[@]}"; do
  grep -qE "^[a-z ]+: +$out/$f\$" <<<"$printed" || fail "a working demo did not print $out/$f"
done
grep -qx 'export: done (0)' <<<"$printed" && grep -qx 'export from procedures: 0' <<<"$printed" ||
  fail "a working demo did not show the hosts' results"

# A rig that cannot start.
demo "a rig that cannot start" "$out" HX_ENCODER_OPTIONS=--no-such-option --
[ "$status" -ne 0 ] || fail "a demo whose rig did not start exited 0"
! grep -q '^== ' <<<"$printed" || fail "a demo whose rig did not start tried a road"
grep -q 'encoder.exe --register failed' <<<"$printed" || fail "the rig's message is not shown"
grep -q 'did not start: no export was tried' <<<"$printed" || fail "the demo does not say that it stopped"

# An encoder that ends as it starts.
demo "an encoder that ends as it starts" "$out" "HX_ENCODER_OPTIONS=--never-open 1" --
[ "$status" -ne 0 ] || fail "a demo whose encoder ended at once exited 0"
tried premiere && tried quicktime || fail "a road failed and the other was not tried"
[ "$(printed_paths "$out" "${premiere_files[@]:0:2}" "${quicktime_files[@]:0:2}")" = 0 ] ||
  fail "a failed road printed an output path"
grep -qx 'export: abandoned (2)' <<<"$printed" || fail "the Premiere host's result is not shown"
grep -qx 'export from procedures: -36 (failed)' <<<"$printed" || fail "the QuickTime host's result is not shown"
grep -q 'the premiere export failed: premiere_host.exe exited with status 2' <<<"$printed" &&
  grep -q 'the quicktime export failed: quicktime_host.exe exited with status' <<<"$printed" ||
  fail "the failed roads are not said"

# An output folder that cannot be written: read-only in a mount namespace of the demo's own
# (root writes through permissions), else without write permission.
locked="$work/locked"
mkdir "$locked"
if [ "$(id -u)" -eq 0 ]; then
  wrap=(unshare -m --propagation private bash -c
    'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" "$0" && ! touch "$0/probe" 2>/dev/null || exit 99
     exec "$@"' "$locked")
else
  chmod a-w "$locked"
  ! touch "$locked/probe" 2>/dev/null || fail "cannot make a folder that cannot be written"
fi
demo "an output folder that cannot be written" "$locked" --
[ "$status" -ne 99 ] || fail "cannot make a folder that cannot be written (a read-only bind mount)"
[ "$status" -ne 0 ] || fail "a demo that could not write its files exited 0"
tried premiere && tried quicktime || fail "a road failed and the other was not tried"
[ "$(printed_paths "$locked" "${premiere_files[@]}" "${quicktime_files[@]}")" = 0 ] ||
  fail "a road without its files printed a path"
grep -q "the premiere export failed: missing or empty in $locked: premiere_export.avi" <<<"$printed" &&
  grep -q "the quicktime export failed: missing or empty in $locked: quicktime_export.avi" <<<"$printed" ||
  fail "the missing files are not said"

# Premiere broken, QuickTime working.
demo "Premiere without QuickTime 4" "$out" HX_QT_VERSION=0x03000000 --
[ "$status" -ne 0 ] || fail "a demo whose Premiere road failed exited 0"
grep -q '^message box "Save for Web": Tessora requires QuickTime 4 or newer' <<<"$printed" ||
  fail "the module's message box is not shown"
[ "$(printed_paths "$out" "${premiere_files[@]:0:2}")" = 0 ] || fail "the failed Premiere road printed an output path"
[ "$(printed_paths "$out" "${quicktime_files[@]}")" = 3 ] || fail "the QuickTime road after a failed one did not print its paths"

# QuickTime broken, Premiere working: the build's programs, but a component file that is none.
demo_bin="$work/bin"
mkdir "$demo_bin"
ln -s "$bin"/* "$demo_bin/"
rm "$demo_bin/Quillex.qtx"
head -c 4096 "$bin/Quillex.qtx" >"$demo_bin/Quillex.qtx"
demo "a component file that is none" "$out" --
[ "$status" -ne 0 ] || fail "a demo whose QuickTime road failed exited 0"
grep -q "QuickTime refused .*Quillex.qtx: .*not a component file" <<<"$printed" || fail "the runtime's refusal is not shown"
[ "$(printed_paths "$out" "${quicktime_files[@]:0:2}")" = 0 ] || fail "the failed QuickTime road printed an output path"
[ "$(printed_paths "$out" "${premiere_files[@]}")" = 3 ] || fail "the working Premiere road did not print its paths"
echo "demo: done roads print every path; a rig that does not start, an encoder that ends, a folder that cannot be written and a broken road each exit non-zero without a path of a missing file"
