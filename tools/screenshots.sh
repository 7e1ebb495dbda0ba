#!/usr/bin/env bash
# Retakes the screenshots in docs/ on the rig's Xvfb display: the Premiere module's
# "Save for Web" dialog and progress window, and the Kestrix form, each cropped to its window.
#   tools/screenshots.sh [dialog] [progress] [kestrix]     (after ./run build; none: all three)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
rig=("$root/cmake/rig" --dir "$build/wine")

"${rig[@]}" start --system "$build/bin/QuickTime.qts" --run "$build/bin/encoder.exe" --register >/dev/null
trap '"${rig[@]}" stop >/dev/null' EXIT

# Waits for a top-level window titled $1 and writes it, cropped, to $2.
capture() {
  local title="$1" file="$2" info=""
  for _ in $(seq 100); do
    info="$("${rig[@]}" shell xwininfo -root -tree 2>/dev/null | grep -F "\"$title\"" | head -n 1 || true)"
    [ -n "$info" ] && break
    sleep 0.1
  done
  [ -n "$info" ] || { echo "screenshots: no window \"$title\"" >&2; return 1; }
  sleep 1  # let it paint
  local id
  id="$(awk '{print $1}' <<<"$info")"
  "${rig[@]}" shell import -window "$id" "$file"
  echo "wrote $file"
}

wanted() { [ $# -eq 0 ] || [[ " $* " == *" $picture "* ]]; }
restart() {
  "${rig[@]}" shell wineserver -k >/dev/null 2>&1 || true
  wait || true
  "${rig[@]}" start --system "$build/bin/QuickTime.qts" --run "$build/bin/encoder.exe" --register >/dev/null
}

picture=dialog
if wanted "$@"; then
  # The dialog stays up until someone answers it: --attended leaves it to the user.
  "${rig[@]}" run "$build/bin/premiere_host.exe" --attended >/dev/null 2>&1 &
  capture "Save for Web" "$root/docs/save_for_web.png"
  restart
fi

picture=progress
if wanted "$@"; then
  # Half way through the frames of an export behind a slow encoder. The export dialog, answered
  # at once, has the same title: by the time of the look it has long gone.
  HX_ENCODER_OPTIONS="--frame-delay 50" "${rig[@]}" run "$build/bin/premiere_host.exe" --seconds 4 \
    --size 160x120 >/dev/null 2>&1 &
  sleep 6
  capture "Save for Web" "$root/docs/progress.png"
  restart
fi

picture=kestrix
if wanted "$@"; then
  "${rig[@]}" run "$build/bin/Kestrix.exe" >/dev/null 2>&1 &
  capture "Tessora 5 Kestrix" "$root/docs/kestrix.png"
  "${rig[@]}" shell wineserver -k >/dev/null 2>&1 || true
  wait || true
fi
