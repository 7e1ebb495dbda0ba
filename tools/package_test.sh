#!/usr/bin/env bash
# Test of tools/package.sh: packs BIN_DIR, unpacks the zip and compares every file with the
# build and the source tree byte for byte; a missing deliverable must stop the packing.
# Usage: package_test.sh BIN_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

version="$(tr -d ' \r\n' < "$root/VERSION")"
[ -n "$version" ] || fail "VERSION is empty"
name="tessora-bridges-$version"

zip_path="$("$root/tools/package.sh" "$bin" "$work/dist")"
[ "$zip_path" = "$work/dist/$name.zip" ] || fail "zip written as $zip_path"
[ -f "$zip_path" ] || fail "no zip at $zip_path"

expected="$(printf '%s\n' "$name/" "$name/INSTALL.txt" "$name/Kestrix.exe" "$name/Quillex.qtx" \
  "$name/VERSION" "$name/tsp_prm_nle.prm" "$name/uninstpatch.exe" | sort)"
listed="$(unzip -Z1 "$zip_path" | sort)"
[ "$listed" = "$expected" ] || fail "zip holds:"$'\n'"$listed"

mkdir "$work/unpacked"
unzip -q "$zip_path" -d "$work/unpacked"
for f in tsp_prm_nle.prm Quillex.qtx Kestrix.exe uninstpatch.exe; do
  cmp "$bin/$f" "$work/unpacked/$name/$f" || fail "$f differs from the build"
done
cmp "$root/VERSION" "$work/unpacked/$name/VERSION" || fail "VERSION differs"
cmp "$root/packaging/INSTALL.txt" "$work/unpacked/$name/INSTALL.txt" || fail "INSTALL.txt differs"

# Without one deliverable nothing is written and the message names what is missing.
mkdir "$work/partial"
for f in tsp_prm_nle.prm Kestrix.exe uninstpatch.exe; do
  cp "$bin/$f" "$work/partial/"
done
if "$root/tools/package.sh" "$work/partial" "$work/partial_dist" 2> "$work/message"; then
  fail "packing without Quillex.qtx succeeded"
fi
grep -q "missing deliverable(s) in $work/partial: Quillex.qtx" "$work/message" || fail "message: $(cat "$work/message")"
[ ! -e "$work/partial_dist/$name.zip" ] || fail "a zip was written without Quillex.qtx"
echo "package $name: every file matches"
