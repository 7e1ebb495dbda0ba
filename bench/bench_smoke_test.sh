#!/usr/bin/env bash
# Runs the bench with two frames at the smallest size: it must exit 0 and print a measured row
# for each road, the limit and the pipe.
# Usage: bench_smoke_test.sh WINE_RUN BENCH_EXE
set -uo pipefail
out="$("$1" "$2" --frames 2 --sizes 1280x720 --requests 200)"
status=$?
printf '%s\n' "$out"
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "bench exited $status"
for row in "Premiere: module + channel -> encoder" "QuickTime: component + channel -> encoder" \
           "limit: copy + read + ping-pong" "anonymous pipe, two processes" \
           "Premiere: setting request through module"; do
  line="$(printf '%s\n' "$out" | grep -F -- "$row")" || fail "no row \"$row\""
  case "$line" in *"not measured"*) fail "row \"$row\" not measured" ;; esac
done
printf '%s\n' "$out" | grep -q "CHECKSUM WRONG" && fail "a road's checksum is wrong"
echo "bench smoke: ok"
