#!/usr/bin/env bash
# The rig with its wineserver run through qemu-i386, on any kernel: where the kernel runs no
# 32-bit programs every Wine program goes through qemu (binfmt_misc) and so does the server;
# elsewhere the rig is told to start the server through qemu-i386-static (HX_RIG_SERVER_EMULATOR)
# while its Wine programs run natively. Either way the server's executable link names qemu, not
# a wineserver: start must still find its server, a Windows program must run with it, and stop
# must end it. A rig folder of its own (a copy of the build's prefix), so the tests' rig,
# which must outlive it, is left alone. Says which road it took.
#   rig_qemu_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src="$1" build="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/hx-rig-qemu.XXXXXX")"
rig=("$src/cmake/rig" --dir "$work/rig")
cleanup() {
  [ -f "$work/rig/xvfb.pid" ] && "${rig[@]}" stop >/dev/null
  rm -rf "$work"
  return 0
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

binfmt=/proc/sys/fs/binfmt_misc/qemu-i386
if [ -f "$binfmt" ] && [ "$(head -n 1 "$binfmt")" = enabled ]; then
  echo "road: this kernel runs 32-bit programs through $(sed -n 's/^interpreter //p' "$binfmt") (binfmt_misc): the rig's wineserver with them"
else
  qemu="$(command -v qemu-i386-static)" || fail "qemu-i386-static is missing (./run setup installs qemu-user-static)"
  export HX_RIG_SERVER_EMULATOR="$qemu"
  echo "road: this kernel runs 32-bit programs itself: the rig's wineserver through $qemu, its Wine programs natively"
fi

"$src/cmake/tests/prefix_copy.sh" "$build/wine/prefix" "$work/rig/prefix" || fail "cannot copy the prefix"
# The tests' rig, if it is up, must still be after this one.
tests_server="$(cat "$build/wine/wineserver.pid" 2>/dev/null)"
kill -0 "$tests_server" 2>/dev/null || tests_server=""

started="$("${rig[@]}" start --system "$build/bin/QuickTime.qts" --run "$build/bin/encoder.exe" --register)" ||
  fail "start failed: $started"
echo "$started"
[[ "$started" =~ Xvfb\ on\ :([0-9]+)\ \(pid\ ([0-9]+)\).*wineserver\ \(pid\ ([0-9]+)\) ]] || fail "unexpected start line"
display="${BASH_REMATCH[1]}" xvfb="${BASH_REMATCH[2]}" server="${BASH_REMATCH[3]}"
mapfile -d '' -t words <"/proc/$server/cmdline"
echo "the server: ${words[*]} (executable link: $(readlink "/proc/$server/exe"))"
[[ "${words[0]##*/}" == qemu-i386* && "${words[1]:-}" == */wineserver* ]] ||
  fail "the server does not run through qemu-i386: ${words[*]}"

mkdir "$work/out"
said="$("${rig[@]}" run "$build/bin/premiere_host.exe" --out "Z:${work//\//\\}\\out" --seconds 1 --size 160x120 2>&1)" ||
  fail "an export with the emulated server exited $?: $said"
echo "$said" | tr -d '\r'
[ -s "$work/out/premiere_export.avi" ] || fail "the export wrote no AVI"

stopped="$("${rig[@]}" stop)"
echo "$stopped"
[ "$stopped" = "[rig] stopped the wineserver (pid $server) and Xvfb on :$display (pid $xvfb)" ] ||
  fail "stop did not end what start started"
for pid in "$server" "$xvfb"; do
  ! kill -0 "$pid" 2>/dev/null || fail "process $pid that start started still runs"
done
[ -z "$tests_server" ] || kill -0 "$tests_server" 2>/dev/null || fail "the tests' rig lost its wineserver ($tests_server)"
echo "PASS"
