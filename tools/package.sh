#!/usr/bin/env bash
# Writes the release into OUT_DIR, each named for VERSION (the VERSION file at the root unless
# --version gives another):
#   tessora-bridges-VERSION.zip          the four deliverables from BIN_DIR, VERSION and
#                                        INSTALL.txt, in one folder named like the zip
#   tessora-bridges-VERSION-symbols.zip  their debug files (NAME.debug, which each file's debug
#                                        link names), in one folder named like the zip
#   tessora-bridges-VERSION.msi          the Windows Installer package (packaging/*.wxs, wixl)
# and prints their paths, one a line. INSTALL.txt ships with Windows line endings.
# Usage: package.sh [--version VERSION] BIN_DIR OUT_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
version="$(tr -d ' \r\n' < "$root/VERSION")"
if [ "${1:-}" = --version ]; then
  version="$2"
  shift 2
fi
[ $# -eq 2 ] || { echo "usage: $0 [--version VERSION] BIN_DIR OUT_DIR" >&2; exit 2; }
bin="$1"
[[ "$version" =~ ^[0-9]+(\.[0-9]+){1,2}$ ]] || { echo "package: version '$version' is not N.N or N.N.N" >&2; exit 2; }

deliverables=(tsp_prm_nle.prm Quillex.qtx Kestrix.exe uninstpatch.exe)
missing=()
for f in "${deliverables[@]}"; do
  [ -f "$bin/$f" ] || missing+=("$f")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "package: missing deliverable(s) in $bin: ${missing[*]}; build them first (./run build)" >&2
  exit 1
fi
for f in "${deliverables[@]}"; do
  [ -f "$bin/$f.debug" ] || missing+=("$f.debug")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "package: missing debug file(s) in $bin: ${missing[*]}; build again (./run build)" >&2
  exit 1
fi
for tool in wixl msibuild; do
  command -v "$tool" >/dev/null || { echo "package: $tool is not installed (./run setup installs it)" >&2; exit 1; }
done

mkdir -p "$2"
out="$(cd "$2" && pwd)"
name="tessora-bridges-$version"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT

# The zip.
mkdir "$stage/$name"
for f in "${deliverables[@]}"; do
  cp "$bin/$f" "$stage/$name/"
done
cp "$root/VERSION" "$stage/$name/"
sed 's/\r*$/\r/' "$root/packaging/INSTALL.txt" > "$stage/$name/INSTALL.txt"
rm -f "$out/$name.zip"
(cd "$stage" && zip -q -X -r "$out/$name.zip" "$name")

# The symbols.
mkdir "$stage/$name-symbols"
for f in "${deliverables[@]}"; do
  cp "$bin/$f.debug" "$stage/$name-symbols/"
done
rm -f "$out/$name-symbols.zip"
(cd "$stage" && zip -q -X -r "$out/$name-symbols.zip" "$name-symbols")

# The installer. Its ProductCode is a name-based UUID (SHA-1, version 5) of the product and
# version: a rebuild of one version is the same product, each version another.
hash="$(printf 'Tessora bridges %s' "$version" | sha1sum | tr 'a-f' 'A-F')"
variant="$(printf '%X' $(( (0x${hash:16:1} & 0x3) | 0x8 )))"
product_code="{${hash:0:8}-${hash:8:4}-5${hash:13:3}-${variant}${hash:17:3}-${hash:20:12}}"
rm -f "$out/$name.msi"
(cd "$stage/$name" && wixl -a x86 -D "Version=$version" -D "ProductCode=$product_code" \
  -o "$out/$name.msi" "$root/packaging/tessora-bridges.wxs")
# wixl leaves every file unversioned. Windows Installer compares a versioned file with the copy
# on disk by version (and never replaces a versioned file by an unversioned one), so each
# deliverable's File row gets the version of its version resource, and loses the hash that only
# unversioned files carry.
for f in "${deliverables[@]}"; do
  file_version="$(i686-w64-mingw32-windres -i "$stage/$name/$f" -O rc |
    sed -n 's/^ *FILEVERSION *//p' | head -n 1 | tr -d ' ' | tr ',' '.')"
  [[ "$file_version" =~ ^[0-9]+(\.[0-9]+){3}$ ]] || { echo "package: $f has no version resource" >&2; exit 1; }
  msibuild "$out/$name.msi" -q "UPDATE \`File\` SET \`Version\` = '$file_version', \`Language\` = '1033' WHERE \`File\` = '$f'"
  msibuild "$out/$name.msi" -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$f'"
done

echo "$out/$name.zip"
echo "$out/$name-symbols.zip"
echo "$out/$name.msi"
