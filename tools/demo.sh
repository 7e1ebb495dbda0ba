#!/usr/bin/env bash
# The demo's exports (./run demo, after set-up and build): a host stand-in exports through the
# real plug-in, which starts the stand-in encoder through the registry; the encoder writes into
# OUT_DIR. Premiere first, then QuickTime, unless roads are named.
#   demo.sh BIN_DIR RIG_DIR OUT_DIR [premiere|quicktime]... [--attended]
# A road is done when its host exits 0 and every file it promises is there and not empty; then
# its paths are printed. A road that is not done prints the host's own lines (what the plug-in
# said, its message boxes) and no path, and the next road is still tried. A rig that does not
# start ends it at once. Exit status: 0 every road done, 1 otherwise, 2 a wrong argument.
set -uo pipefail  # no -e: each step's failure is checked where it happens, and said
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage="usage: demo.sh BIN_DIR RIG_DIR OUT_DIR [premiere|quicktime]... [--attended]"
[ $# -ge 3 ] || { echo "$usage" >&2; exit 2; }
bin="$1" rig_dir="$2" out="$3"
shift 3
bin="$(cd "$bin" && pwd)" || { echo "demo: no folder $1" >&2; exit 2; }
roads=() attended=0
for a in "$@"; do
  case "$a" in
    premiere|quicktime) roads+=("$a") ;;
    --attended) attended=1 ;;
    *) printf "demo: unknown argument '%s'\n%s\n" "$a" "$usage" >&2; exit 2 ;;
  esac
done
[ ${#roads[@]} -gt 0 ] || roads=(premiere quicktime)
say() { printf '[demo] %s\n' "$*" >&2; }

rig=("$root/cmake/rig" --dir "$rig_dir")
mkdir -p "$out" || { say "cannot make the output folder $out"; exit 1; }
out="$(cd "$out" && pwd)"
winout="Z:${out//\//\\}"

# The stand-ins in the prefix: the QuickTime runtime into the system folder, the encoder's install
# location into the registry. With --attended on the caller's own display, else on the rig's Xvfb.
stand_ins=(--system "$bin/QuickTime.qts" --run "$bin/encoder.exe" --register)
if [ "$attended" = 1 ]; then
  export HX_OWN_DISPLAY=1
  said="$("${rig[@]}" prepare "${stand_ins[@]}")" || {
    printf '%s\n' "$said"
    say "the Wine prefix in $rig_dir could not be prepared: no export was tried"
    exit 1
  }
else
  said="$("${rig[@]}" start "${stand_ins[@]}")" || {
    printf '%s\n' "$said"
    say "the test rig in $rig_dir did not start: no export was tried"
    exit 1
  }
  trap '"${rig[@]}" stop >/dev/null' EXIT
fi

# What a host prints that tells how its export went.
progress='^(module|component|movie|export|export from procedures|encoder|setting|progress):|^message box '

# export_road ROAD: runs its host; fails when the road is not done.
export_road() {
  local road="$1" host labels paths
  labels=("video and sound: " "" "encoder log:     ")
  if [ "$road" = premiere ]; then
    host=("$bin/premiere_host.exe" --out "$winout")
    [ "$attended" = 1 ] && host+=(--attended) && say "Premiere: pick a setting in the dialog on $DISPLAY and press Start"
    labels[1]="markers:         "
    paths=("$out/premiere_export.avi" "$out/premiere_export.markers.txt" "$out/encoder.log")
  else
    # The build's component, not whatever may be installed in QuickTime's folders.
    host=("$bin/quicktime_host.exe" --out "$winout" --qtx "Z:${bin//\//\\}\\Quillex.qtx")
    [ "$attended" = 1 ] && host+=(--attended)
    labels[1]="text:            "
    paths=("$out/quicktime_export.avi" "$out/quicktime_export.maml.txt" "$out/quicktime_encoder.log")
  fi
  echo "== $road"
  rm -f "${paths[@]}" || { say "the $road export was not tried: the last one's files in $out cannot be removed"; return 1; }
  local said status=0
  said="$("${rig[@]}" run "${host[@]}" 2>&1)" || status=$?
  said="${said//$'\r'/}"
  local missing=() i
  for i in "${!paths[@]}"; do
    [ -s "${paths[i]}" ] || missing+=("${paths[i]##*/}")
  done
  if [ "$status" -ne 0 ] || [ ${#missing[@]} -gt 0 ]; then
    [ -z "$said" ] || printf '%s\n' "$said"
    if [ "$status" -ne 0 ]; then
      say "the $road export failed: ${host[0]##*/} exited with status $status"
    else
      local list
      printf -v list '%s, ' "${missing[@]}"
      say "the $road export failed: missing or empty in $out: ${list%, }"
    fi
    [ ! -s "${paths[2]}" ] || say "what the encoder did: ${paths[2]}"
    return 1
  fi
  grep -E "$progress" <<<"$said"
  for i in "${!paths[@]}"; do
    printf '%s%s\n' "${labels[i]}" "${paths[i]}"
  done
}

status=0
for road in "${roads[@]}"; do
  export_road "$road" || status=1
done
exit "$status"
