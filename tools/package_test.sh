#!/usr/bin/env bash
# Test of tools/package.sh: packs BIN_DIR, unpacks the zip and compares every file with the
# build and the source tree byte for byte; unpacks the symbols zip and checks that each debug
# file is the one its binary's debug link names (name and CRC-32) and that the binaries carry no
# debug sections; checks the MSI's version and files. A missing deliverable must stop the
# packing. What makes a rebuild byte-identical, cheaply (tools/reproducible.sh builds twice): no
# link time in the PE headers, neither the source nor the build folder in a shipped or debug
# file, the zips' entry times from the last commit; and no signature (package_sign_test.sh signs),
# which the packing says. Usage: package_test.sh BIN_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# A certificate in the caller's environment would sign this package.
unset HX_SIGN_PFX HX_SIGN_PASSWORD HX_SIGN_TIMESTAMP

version="$(tr -d ' \r\n' < "$root/VERSION")"
[ -n "$version" ] || fail "VERSION is empty"
name="tessora-bridges-$version"
deliverables=(tsp_prm_nle.prm Quillex.qtx Kestrix.exe uninstpatch.exe)

made="$("$root/tools/package.sh" "$bin" "$work/dist" 2> "$work/message")" || fail "packing failed: $(cat "$work/message")"
[ "$made" = "$work/dist/$name.zip"$'\n'"$work/dist/$name-symbols.zip"$'\n'"$work/dist/$name.msi" ] ||
  fail "package.sh wrote:"$'\n'"$made"
grep -qx "package: unsigned (no certificate: set HX_SIGN_PFX and HX_SIGN_PASSWORD to sign)" "$work/message" ||
  fail "the unsigned packing does not say so: $(cat "$work/message")"
zip_path="$work/dist/$name.zip"
for f in "$zip_path" "$work/dist/$name-symbols.zip" "$work/dist/$name.msi"; do
  [ -f "$f" ] || fail "no $f"
done

expected="$(printf '%s\n' "$name/" "$name/INSTALL.txt" "$name/Kestrix.exe" "$name/Quillex.qtx" \
  "$name/VERSION" "$name/tsp_prm_nle.prm" "$name/uninstpatch.exe" | sort)"
listed="$(unzip -Z1 "$zip_path" | sort)"
[ "$listed" = "$expected" ] || fail "zip holds:"$'\n'"$listed"

mkdir "$work/unpacked"
unzip -q "$zip_path" -d "$work/unpacked"
for f in "${deliverables[@]}"; do
  cmp "$bin/$f" "$work/unpacked/$name/$f" || fail "$f differs from the build"
done
cmp "$root/VERSION" "$work/unpacked/$name/VERSION" || fail "VERSION differs"
# INSTALL.txt goes out with Windows line endings, every line of it, and otherwise as written.
shipped="$work/unpacked/$name/INSTALL.txt"
[ "$(grep -c $'\r$' "$shipped")" = "$(wc -l < "$shipped")" ] || fail "INSTALL.txt has lines without CRLF"
[ "$(tr -d '\r' < "$shipped")" = "$(tr -d '\r' < "$root/packaging/INSTALL.txt")" ] || fail "INSTALL.txt differs"

# The symbols: one debug file for each deliverable, the one its debug link names.
expected="$(printf '%s\n' "$name-symbols/" "$name-symbols/Kestrix.exe.debug" "$name-symbols/Quillex.qtx.debug" \
  "$name-symbols/tsp_prm_nle.prm.debug" "$name-symbols/uninstpatch.exe.debug" | sort)"
listed="$(unzip -Z1 "$work/dist/$name-symbols.zip" | sort)"
[ "$listed" = "$expected" ] || fail "symbols zip holds:"$'\n'"$listed"
unzip -q "$work/dist/$name-symbols.zip" -d "$work/unpacked"
# CRC-32 as the debug link stores it (little-endian): a gzip stream ends with it.
crc32() { gzip -c < "$1" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n'; }
for f in "${deliverables[@]}"; do
  shipped="$work/unpacked/$name/$f"
  debug="$work/unpacked/$name-symbols/$f.debug"
  sections="$(i686-w64-mingw32-objdump -h "$shipped")"
  ! grep -q ' \.debug_' <<<"$sections" || fail "$f ships with debug sections"
  i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$work/link" "$shipped" "$work/scratch" ||
    fail "$f has no debug link"
  link_name="$(head -c "$(($(stat -c %s "$work/link") - 4))" "$work/link" | tr -d '\0')"
  link_crc="$(tail -c 4 "$work/link" | od -An -tx1 | tr -d ' \n')"
  [ "$link_name" = "$f.debug" ] || fail "$f links to '$link_name'"
  [ "$link_crc" = "$(crc32 "$debug")" ] || fail "$f.debug is not the file $f links to (CRC $link_crc)"
  grep -q ' \.debug_info' <<<"$(i686-w64-mingw32-objdump -h "$debug")" || fail "$f.debug has no debug information"
done
# Reproducible: no time stamp in the PE file header or the export directory, no folder of this
# machine inside.
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }  # FILE OFFSET: a little-endian 32-bit field
for f in "${deliverables[@]}"; do
  shipped="$work/unpacked/$name/$f"
  [ "$(u32 "$shipped" $(( $(u32 "$shipped" 60) + 8 )))" = 0 ] || fail "$f has a link time in its PE header"
  # Read whole first: under pipefail a grep -q that stops at its match fails objdump with
  # SIGPIPE, and the negated check would pass.
  headers="$(i686-w64-mingw32-objdump -p "$shipped")" || fail "cannot read $f's headers"
  ! grep -qP '^Time/Date stamp\s+[1-9]' <<<"$headers" || fail "$f's exports carry a time stamp"
  for d in "$root" "$(cd "$bin/.." && pwd)"; do
    ! grep -qaF "$d" "$shipped" || fail "$f names $d"
    ! grep -qaF "$d" "$work/unpacked/$name-symbols/$f.debug" || fail "$f.debug names $d"
  done
done
# Unsigned: no certificate table (data directory 4, at 128 in the optional header), no
# signature stream in the MSI.
for f in "${deliverables[@]}"; do
  shipped="$work/unpacked/$name/$f"
  [ "$(u32 "$shipped" $(( $(u32 "$shipped" 60) + 24 + 132 )))" = 0 ] || fail "$f carries a certificate table"
done
! msiinfo streams "$work/dist/$name.msi" | grep -q DigitalSignature || fail "the MSI carries a signature"
# Entry times from the last commit, as UTC DOS times (even seconds).
if epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null)"; then
  even="$(TZ=UTC date -d "@$(( epoch & ~1 ))" +%Y%m%d.%H%M%S) $(TZ=UTC date -d "@$(( (epoch + 1) & ~1 ))" +%Y%m%d.%H%M%S)"
  for z in "$zip_path" "$work/dist/$name-symbols.zip"; do
    times="$(TZ=UTC zipinfo -T "$z" | awk '/^[-d]/ { print $7 }' | sort -u)"
    [ "$(wc -l <<<"$times")" = 1 ] && [[ " $even " == *" $times "* ]] ||
      fail "$(basename "$z")'s entries are dated $times, not at the commit's $even"
  done
fi

# The component's registration is still the file's end.
[ "$(tail -c 12 "$work/unpacked/$name/Quillex.qtx" | head -c 11)" = mkQuickTime ] || fail "Quillex.qtx does not end in its trailer"

# The MSI: this version, these files.
properties="$(msiinfo export "$work/dist/$name.msi" Property | tr -d '\r')"
grep -qx "ProductVersion"$'\t'"$version" <<<"$properties" || fail "MSI: $(grep ProductVersion <<<"$properties")"
grep -qx "Manufacturer"$'\t'"Halvex" <<<"$properties" || fail "MSI: no manufacturer Halvex"
files="$(msiinfo export "$work/dist/$name.msi" File | tr -d '\r' | tail -n +4 | cut -f1 | sort | tr '\n' ' ')"
[ "$files" = "INSTALL.txt Kestrix.exe Quillex.qtx tsp_prm_nle.prm uninstpatch.exe " ] || fail "MSI files: $files"
# Each deliverable's row carries its file version, so that Windows Installer compares versions.
IFS=. read -r major minor patch <<<"$version"
ours="$major.$minor.${patch:-0}.0"
versions="$(msiinfo export "$work/dist/$name.msi" File | tr -d '\r' | tail -n +4 | cut -f1,5 | sort | tr '\t\n' '= ')"
[ "$versions" = "INSTALL.txt= Kestrix.exe=$ours Quillex.qtx=$ours tsp_prm_nle.prm=5.0.1.0 uninstpatch.exe=$ours " ] ||
  fail "MSI file versions: $versions"

# Without one deliverable nothing is written and the message names what is missing.
mkdir "$work/partial"
for f in tsp_prm_nle.prm Kestrix.exe uninstpatch.exe; do
  cp "$bin/$f" "$bin/$f.debug" "$work/partial/"
done
if "$root/tools/package.sh" "$work/partial" "$work/partial_dist" 2> "$work/message"; then
  fail "packing without Quillex.qtx succeeded"
fi
grep -q "missing deliverable(s) in $work/partial: Quillex.qtx" "$work/message" || fail "message: $(cat "$work/message")"
[ ! -e "$work/partial_dist/$name.zip" ] || fail "a zip was written without Quillex.qtx"
echo "package $name: every file matches, each debug file matches its binary"
