#!/usr/bin/env bash
# Runs the bench with two frame turns an export, one round, at the smallest size: it must exit 0
# and print a measured row for each road, its first frame turn, the limit and the pipe. Then
# one bad argument: bench must name the option and the value, print its usage and exit 2.
# Usage: bench_smoke_test.sh WINE_RUN BENCH_EXE
set -uo pipefail
out="$("$1" "$2" --frames 2 --sizes 1280x720 --requests 200 --rounds 1)"
status=$?
printf '%s\n' "$out"
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "bench exited $status"
for row in "Premiere: module + channel -> encoder" "QuickTime: component + channel -> encoder" \
           "limit: copy + read + ping-pong" "anonymous pipe, two processes" \
           "Premiere: setting request through module" "bare semaphore ping-pong, two processes"; do
  line="$(printf '%s\n' "$out" | grep -F -- "$row")" || fail "no row \"$row\""
  case "$line" in *"not measured"*) fail "row \"$row\" not measured" ;; esac
done
firsts="$(printf '%s\n' "$out" | grep -cF -- "its first frame turn")"
[ "$firsts" -eq 2 ] || fail "expected a first frame turn line for each road, found $firsts"
# Here-strings, not pipes: under pipefail a grep -q that stops at its match can fail the writer
# with SIGPIPE, and a check meant to fail would then pass.
[[ "$(grep -F -- "its first frame turn" <<<"$out")" == *"not measured"* ]] && fail "a first frame turn not measured"
grep -q "CHECKSUM WRONG" <<<"$out" && fail "a road's checksum is wrong"

# Wine's output goes through a file (cmake/rig), so stderr arrives here with stdout.
bad="$("$1" "$2" --frames abc 2>&1)"
status=$?
printf '%s\n' "$bad"
[ "$status" -eq 2 ] || fail "bench --frames abc exited $status, not 2"
grep -qF -- "bench: --frames: 'abc' is not a whole number" <<<"$bad" ||
  fail "bench --frames abc does not name the option and the value"
grep -qF -- "usage: bench.exe" <<<"$bad" || fail "bench --frames abc prints no usage"
echo "bench smoke: ok"
