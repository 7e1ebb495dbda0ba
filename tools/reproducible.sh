#!/usr/bin/env bash
# Builds one commit twice, in two fresh clones in folders of different names and depths, and
# compares byte for byte what a release ships: the four deliverables, their debug files, both
# zips and the MSI's package code. Two full builds of the deliverables (each clone has its own
# build folder and Wine prefix): run it before a release, not in every test run.
# Usage: reproducible.sh [COMMIT]   (HEAD of this tree unless given; it must be committed)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
commit="$(git -C "$root" rev-parse --verify "${1:-HEAD}^{commit}")"
work="$(mktemp -d)"
clones=("$work/a/tessora" "$work/second/clone/of-tessora-bridges")
cleanup() {
  local c
  for c in "${clones[@]}"; do
    [ ! -d "$c/build/wine" ] || "$c/cmake/rig" --dir "$c/build/wine" stop >/dev/null 2>&1 || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
say() { printf '[reproducible] %s\n' "$*" >&2; }
# A signed package is not reproducible (a signature holds its signing time): both unsigned.
unset HX_SIGN_PFX HX_SIGN_PASSWORD HX_SIGN_TIMESTAMP

deliverables=(tsp_prm_nle.prm Quillex.qtx Kestrix.exe uninstpatch.exe)
for c in "${clones[@]}"; do
  say "building $commit in $c"
  mkdir -p "$(dirname "$c")"
  git clone -q "$root" "$c"
  git -C "$c" checkout -q --detach "$commit"
  cmake --preset default -S "$c" >/dev/null
  cmake --build "$c/build" --target tsp_prm_nle quillex Kestrix uninstpatch -- -j2 >/dev/null
  "$c/tools/package.sh" "$c/build/bin" "$c/dist" >/dev/null
done

a="${clones[0]}" b="${clones[1]}"
version="$(tr -d ' \r\n' < "$a/VERSION")"
name="tessora-bridges-$version"
differ=0
compare() {  # WHAT FILE_A FILE_B
  if cmp -s "$2" "$3"; then
    echo "same:    $1 ($(stat -c %s "$2") bytes)"
  else
    echo "DIFFERS: $1"
    differ=1
  fi
}
for f in "${deliverables[@]}"; do
  compare "$f" "$a/build/bin/$f" "$b/build/bin/$f"
  compare "$f.debug" "$a/build/bin/$f.debug" "$b/build/bin/$f.debug"
done
compare "$name.zip" "$a/dist/$name.zip" "$b/dist/$name.zip"
compare "$name-symbols.zip" "$a/dist/$name-symbols.zip" "$b/dist/$name-symbols.zip"
code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
code_a="$(code "$a/dist/$name.msi")" code_b="$(code "$b/dist/$name.msi")"
if [ -n "$code_a" ] && [ "$code_a" = "$code_b" ]; then
  echo "same:    package code $code_a"
else
  echo "DIFFERS: package code $code_a and $code_b"
  differ=1
fi
[ "$differ" = 0 ] && echo "commit $commit builds to the same release in both folders"
exit "$differ"
