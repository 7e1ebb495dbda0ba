#!/usr/bin/env bash
# Writes the release into OUT_DIR, each named for VERSION (the VERSION file at the root unless
# --version gives another):
#   tessora-bridges-VERSION.zip          the four deliverables from BIN_DIR, VERSION and
#                                        INSTALL.txt, in one folder named like the zip
#   tessora-bridges-VERSION-symbols.zip  their debug files (NAME.debug, which each file's debug
#                                        link names), in one folder named like the zip
#   tessora-bridges-VERSION.msi          the Windows Installer package (packaging/*.wxs, wixl,
#                                        or the --wxs file)
# and prints their paths, one a line. INSTALL.txt ships with Windows line endings.
# Signed when a certificate is given (osslsigncode, Authenticode: SHA-1 with SHA-256 nested):
#   HX_SIGN_PFX        the certificate and its private key, a PKCS#12 (.pfx) file
#   HX_SIGN_PASSWORD   its password (read from the environment, never put on a command line)
#   HX_SIGN_TIMESTAMP  optional: an RFC 3161 time-stamp server's URL, so that the signatures
#                      stay valid after the certificate expires
# The deliverables are signed before they are packed, so the zip and the MSI carry the same
# signed files, and then the MSI itself. Quillex.qtx is the exception: QuickTime finds its
# registration in the trailer that must be the file's last bytes, where a signature would go;
# it ships unsigned, inside the signed MSI. Without a certificate the package is unsigned, and
# says so on standard error.
# The same inputs pack to the same bytes: the zips' entry times are SOURCE_DATE_EPOCH (the last
# commit's time unless set), and the MSI's package code is made from the version and its payload.
# A signature holds its signing time, so only an unsigned package is reproducible.
# Usage: package.sh [--version VERSION] [--wxs FILE] BIN_DIR OUT_DIR
set -euo pipefail
shopt -s extglob
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
version="$(tr -d ' \r\n' < "$root/VERSION")"
wxs="$root/packaging/tessora-bridges.wxs"
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version="$2"; shift 2 ;;
    --wxs) wxs="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"; shift 2 ;;
    *) break ;;
  esac
done
[ $# -eq 2 ] || { echo "usage: $0 [--version VERSION] [--wxs FILE] BIN_DIR OUT_DIR" >&2; exit 2; }
bin="$1"
[[ "$version" =~ ^[0-9]+(\.[0-9]+){1,2}$ ]] || { echo "package: version '$version' is not N.N or N.N.N" >&2; exit 2; }
# Windows Installer reads a version as numbers, major.minor.build, at most 255.255.65535: "1.0"
# and "1.0.0" are one version, and so one product.
IFS=. read -r major minor build <<<"$version"
major="${major##+(0)}" minor="${minor##+(0)}" build="${build##+(0)}"
major="${major:-0}" minor="${minor:-0}" build="${build:-0}"
if [ ${#major} -gt 3 ] || [ ${#minor} -gt 3 ] || [ ${#build} -gt 5 ] ||
  [ "$major" -gt 255 ] || [ "$minor" -gt 255 ] || [ "$build" -gt 65535 ]; then
  echo "package: version '$version' is beyond Windows Installer's 255.255.65535" >&2
  exit 2
fi
msi_version="$major.$minor.$build"

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
# Signing: all of it, or nothing and said so. A password or a time-stamp server without the
# certificate is a mistake to stop at, not a reason to ship unsigned.
signed=()
sign_tools=()
if [ -n "${HX_SIGN_PFX:-}" ]; then
  [ -f "$HX_SIGN_PFX" ] || { echo "package: HX_SIGN_PFX names no file: $HX_SIGN_PFX" >&2; exit 1; }
  signed=(tsp_prm_nle.prm Kestrix.exe uninstpatch.exe)
  sign_tools=(osslsigncode)
elif [ -n "${HX_SIGN_PASSWORD:-}" ] || [ -n "${HX_SIGN_TIMESTAMP:-}" ]; then
  echo "package: HX_SIGN_PASSWORD or HX_SIGN_TIMESTAMP is set, but no certificate (HX_SIGN_PFX)" >&2
  exit 1
fi
for tool in wixl msibuild "${sign_tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "package: $tool is not installed (./run setup installs it)" >&2; exit 1; }
done

mkdir -p "$2"
out="$(cd "$2" && pwd)"
name="tessora-bridges-$version"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT

# sign FILE: signs it in place, twice: a SHA-1 signature first, which Windows XP can check (it
# reads no SHA-256 file digest), and a SHA-256 one nested in it for later Windows. The password
# goes through a pipe, so that no other process can read it from a command line (osslsigncode
# reads no empty password from a file: that one, which tells nothing, is an argument).
sign() {
  local digest nest=()
  for digest in sha1 sha256; do
    local options=(-pkcs12 "$HX_SIGN_PFX" -n "Tessora Bridges" -h "$digest" "${nest[@]}")
    if [ -n "${HX_SIGN_PASSWORD:-}" ]; then options+=(-readpass /dev/stdin); else options+=(-pass ""); fi
    [ -z "${HX_SIGN_TIMESTAMP:-}" ] || options+=(-ts "$HX_SIGN_TIMESTAMP")
    if ! printf '%s' "${HX_SIGN_PASSWORD:-}" |
      osslsigncode sign "${options[@]}" -in "$1" -out "$1.signed" > "$stage/sign.txt" 2>&1; then
      echo "package: osslsigncode could not sign $(basename "$1"):" >&2
      cat "$stage/sign.txt" >&2
      return 1
    fi
    mv "$1.signed" "$1"
    nest=(-nest)
  done
}

# Entry times: SOURCE_DATE_EPOCH if set, else the last commit's time, else (a source tree
# outside git) the VERSION file's.
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)}"
epoch="${epoch:-$(stat -c %Y "$root/VERSION")}"
# A zip of FOLDER (under the stage) that depends on the files' bytes and the epoch only: names
# in a fixed order, fixed modes, the epoch as UTC DOS time, no extra fields (-X).
pack() {  # FOLDER ZIP
  find "$stage/$1" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
  find "$stage/$1" -exec touch -h -d "@$epoch" {} +
  rm -f "$2"
  (cd "$stage" && { echo "$1/"; find "$1" -type f | LC_ALL=C sort; } | TZ=UTC zip -q -X "$2" -@)
}

# The zip.
mkdir "$stage/$name"
for f in "${deliverables[@]}"; do
  cp "$bin/$f" "$stage/$name/"
done
for f in "${signed[@]}"; do
  sign "$stage/$name/$f"
done
cp "$root/VERSION" "$stage/$name/"
sed 's/\r*$/\r/' "$root/packaging/INSTALL.txt" > "$stage/$name/INSTALL.txt"
pack "$name" "$out/$name.zip"

# The symbols.
mkdir "$stage/$name-symbols"
for f in "${deliverables[@]}"; do
  cp "$bin/$f.debug" "$stage/$name-symbols/"
done
pack "$name-symbols" "$out/$name-symbols.zip"

# The installer. Its ProductCode is a name-based UUID (SHA-1, version 5) of the product and
# the normalised version: a rebuild of one version is the same product, each version another.
# The seed keeps its first spelling, so that released versions keep their codes.
uuid() {  # SEED: a name-based UUID in braces, upper case
  local hash variant
  hash="$(printf '%s' "$1" | sha1sum | tr 'a-f' 'A-F')"
  variant="$(printf '%X' $(( (0x${hash:16:1} & 0x3) | 0x8 )))"
  printf '{%s-%s-5%s-%s%s-%s}' "${hash:0:8}" "${hash:8:4}" "${hash:13:3}" "$variant" "${hash:17:3}" "${hash:20:12}"
}
product_code="$(uuid "Tessora bridges $msi_version")"
msi="$out/$name.msi"
rm -f "$msi"
# wixl drops what it cannot write (an attribute it does not know, a search it cannot encode)
# with a message and exit status 0: any message stops the packing.
if ! (cd "$stage/$name" && wixl -a x86 -D "Version=$version" -D "ProductCode=$product_code" \
  -o "$msi" "$wxs") 2> "$stage/wixl.txt" || [ -s "$stage/wixl.txt" ]; then
  echo "package: wixl reported, so the package would not be what $(basename "$wxs") says:" >&2
  cat "$stage/wixl.txt" >&2
  rm -f "$msi"
  exit 1
fi
sql() { msibuild "$msi" -q "$1"; }
# A table's rows, fields apart by \x1f: a tab is white space to read, and runs of it (empty
# fields) would fold into one.
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4 | tr '\t' '\037'; }
# wixl leaves every file unversioned. Windows Installer compares a versioned file with the copy
# on disk by version (and never replaces a versioned file by an unversioned one), so each
# deliverable's File row gets the version of its version resource, and loses the hash that only
# unversioned files carry.
for f in "${deliverables[@]}"; do
  file_version="$(i686-w64-mingw32-windres -i "$stage/$name/$f" -O rc |
    sed -n 's/^ *FILEVERSION *//p' | head -n 1 | tr -d ' ' | tr ',' '.')"
  [[ "$file_version" =~ ^[0-9]+(\.[0-9]+){3}$ ]] || { echo "package: $f has no version resource" >&2; exit 1; }
  sql "UPDATE \`File\` SET \`Version\` = '$file_version', \`Language\` = '1033' WHERE \`File\` = '$f'"
  sql "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$f'"
done

# Short names (ICE03): wixl writes long names only, and a name that is no valid 8.3 name needs
# a "SHORT|Long name" pair: the first six letters, ~N, the extension's first three, unique
# among its folder's files and folders.
valid83='^[A-Za-z0-9!#$%&'"'"'()@^_`{}~-]{1,8}(\.[A-Za-z0-9!#$%&'"'"'()@^_`{}~-]{1,3})?$'
declare -A taken=()
short_name() {  # FOLDER LONG_NAME
  local base="${2%.*}" ext="" n=1 short
  [ "$base" = "$2" ] || ext="${2##*.}"
  base="$(tr -cd 'A-Za-z0-9!#$%&'"'"'()@^_`{}~-' <<<"$base" | tr 'a-z' 'A-Z')"
  ext="$(tr -cd 'A-Za-z0-9!#$%&'"'"'()@^_`{}~-' <<<"$ext" | tr 'a-z' 'A-Z')"
  while :; do
    short="${base:0:$((7 - ${#n}))}~$n${ext:+.${ext:0:3}}"
    [ -n "${taken[$1/$short]:-}" ] || break
    n=$((n + 1))
  done
  taken[$1/$short]=1
  printf '%s' "$short"
}
# Each table read into a variable first: set -e never sees a process substitution fail, and
# the names would go out unshortened.
components="$(table Component)"
folders="$(table Directory)"
files="$(table File)"
declare -A component_folder=()
while IFS=$'\037' read -r component _ folder _; do
  component_folder[$component]="$folder"
done <<<"$components"
while IFS=$'\037' read -r folder parent long; do
  # The root (SourceDir) and "." (no folder of its own) are names of their own kind.
  [[ -z "$parent" || "$long" = . || "$long" =~ $valid83 || "$long" =~ [:|] ]] ||
    sql "UPDATE \`Directory\` SET \`DefaultDir\` = '$(short_name "$parent" "$long")|$long' WHERE \`Directory\` = '$folder'"
done <<<"$folders"
while IFS=$'\037' read -r file component long _; do
  [[ "$long" =~ $valid83 || "$long" =~ \| ]] ||
    sql "UPDATE \`File\` SET \`FileName\` = '$(short_name "${component_folder[$component]}" "$long")|$long' WHERE \`File\` = '$file'"
done <<<"$files"

# Secure properties: on Windows only these pass from the user's msiexec to the elevated install
# (a folder on an unelevated command line is dropped otherwise, and the files go to the
# defaults). Every public folder property and every search's property; wixl cannot mark any.
secure="$( { table Property | awk -F '\037' '$1 == "SecureCustomProperties" { gsub(";", "\n", $2); print $2 }'
  table AppSearch | cut -d $'\037' -f1
  table Directory | cut -d $'\037' -f1 | grep -vx TARGETDIR | grep -v '[a-z]'; } | LC_ALL=C sort -u | paste -sd ';')"
sql "DELETE FROM \`Property\` WHERE \`Property\` = 'SecureCustomProperties'"
sql "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SecureCustomProperties', '$secure')"

# The package code: Windows takes two packages with one code for the same package, and refuses
# a second package of an installed product (1638). Made from the version and the payload (every
# table and every packed file), the same commit packs to the same code and any change to
# another; a release whose files changed needs a new version, which makes a new product.
tables="$(msiinfo tables "$msi" | LC_ALL=C sort)"
payload="$( { for t in $tables; do
  [ "$t" = _SummaryInformation ] || msiinfo export "$msi" "$t"; done
  (cd "$stage/$name" && sha256sum $(LC_ALL=C ls)); } | sha256sum | cut -d' ' -f1)"
package_code="$(uuid "Tessora Bridges package $msi_version $payload")"
msibuild "$msi" -s "Tessora Bridges $version" Halvex "Intel;1033" "$package_code"

# The MSI's signature covers its tables and streams, the summary above among them: last.
if [ ${#signed[@]} -gt 0 ]; then
  sign "$msi" || { rm -f "$msi"; exit 1; }
  echo "package: signed with $HX_SIGN_PFX${HX_SIGN_TIMESTAMP:+, time-stamped by $HX_SIGN_TIMESTAMP}: ${signed[*]} and $name.msi (not Quillex.qtx, whose registration trailer must stay its last bytes)" >&2
else
  echo "package: unsigned (no certificate: set HX_SIGN_PFX and HX_SIGN_PASSWORD to sign)" >&2
fi

echo "$out/$name.zip"
echo "$out/$name-symbols.zip"
echo "$out/$name.msi"
