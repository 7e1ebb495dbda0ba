#!/usr/bin/env bash
# Writes OUT_DIR/tessora-bridges-VERSION.zip: the four deliverables from BIN_DIR, the VERSION
# file and INSTALL.txt, in one folder named like the zip. Usage: package.sh BIN_DIR OUT_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ $# -eq 2 ] || { echo "usage: $0 BIN_DIR OUT_DIR" >&2; exit 2; }
bin="$1"
mkdir -p "$2"
out="$(cd "$2" && pwd)"

deliverables=(tsp_prm_nle.prm Quillex.qtx Kestrix.exe uninstpatch.exe)
missing=()
for f in "${deliverables[@]}"; do
  [ -f "$bin/$f" ] || missing+=("$f")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "package: missing deliverable(s) in $bin: ${missing[*]}; build them first (./run build)" >&2
  exit 1
fi

version="$(tr -d ' \r\n' < "$root/VERSION")"
name="tessora-bridges-$version"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
for f in "${deliverables[@]}"; do
  cp "$bin/$f" "$stage/$name/"
done
cp "$root/VERSION" "$root/packaging/INSTALL.txt" "$stage/$name/"

rm -f "$out/$name.zip"
(cd "$stage" && zip -q -X -r "$out/$name.zip" "$name")
echo "$out/$name.zip"
