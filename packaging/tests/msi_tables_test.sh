#!/usr/bin/env bash
# The built package read the way Windows Installer and its validation read it (there is no ICE
# run on Linux, so the rules are checked on the tables msiinfo exports):
#   short names (ICE03), per-user components keyed under HKCU (ICE38, ICE43, ICE57), no immediate
#   custom action with the no-impersonate bit (ICE68), the folder and search properties secure,
#   both launch conditions, basic progress, the product's name spelled one way, Add/Remove
#   Programs' location and notes, RemoveExistingProducts before InstallInitialize, schema 200.
# And what package.sh promises: the package code follows the version and the payload, "1.0" and
# "1.0.0" are one product, a version beyond Windows Installer's limits and any wixl warning stop
# the packing. Usage: msi_tables_test.sh BIN_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bin="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Unsigned, whatever the caller's environment: a signature holds its signing time, and so would
# give every packing of the same files another package code.
unset HX_SIGN_PFX HX_SIGN_PASSWORD HX_SIGN_TIMESTAMP

version="$(tr -d ' \r\n' < "$root/VERSION")"
pack() { "$root/tools/package.sh" "$@" | tail -n 1; }  # [OPTIONS] BIN OUT: the MSI's path
msi="$(pack "$bin" "$work/dist")"
# TABLE MSI: its rows, fields apart by \x1f (runs of tabs, empty fields, would fold in read)
table() { msiinfo export "$2" "$1" | tr -d '\r' | tail -n +4 | tr '\t' '\037'; }
property() { table Property "$2" | awk -F '\037' -v p="$1" '$1 == p { print $2 }'; }
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
# The tables read here, each once into a variable: a loop fed by a process substitution, or a
# pipe into grep -q (which may end its writer with SIGPIPE under pipefail), would hide a failed
# read and pass its checks on nothing.
for t in Directory File Shortcut Component CustomAction AppSearch InstallExecuteSequence Registry; do
  rows="$(table "$t" "$msi")" || fail "cannot read the $t table"
  printf -v "rows_$t" '%s' "$rows"
done
summary="$(msiinfo suminfo "$msi")" || fail "cannot read the summary"

# ICE03: every file, folder and shortcut name is a valid 8.3 name or a "SHORT|Long name" pair.
valid83='^[A-Za-z0-9!#$%&'"'"'()@^_`{}~-]{1,8}(\.[A-Za-z0-9!#$%&'"'"'()@^_`{}~-]{1,3})?$'
check_name() {  # WHAT NAME
  local short="${2%%|*}"
  [ "$2" = . ] || [ "$2" = SourceDir ] || [[ "$short" =~ $valid83 ]] || fail "$1: '$2' has no valid short name"
}
while IFS=$'\037' read -r folder _ default; do
  IFS=: read -r target source <<<"$default"
  check_name "folder $folder" "$target"
  [ -z "$source" ] || check_name "folder $folder (source)" "$source"
done <<<"$rows_Directory"
while IFS=$'\037' read -r file _ name _; do check_name "file $file" "$name"; done <<<"$rows_File"
while IFS=$'\037' read -r shortcut _ name _; do check_name "shortcut $shortcut" "$name"; done <<<"$rows_Shortcut"
grep -qxF $'INSTALLDIR\037ProgramFilesFolder\037TESSOR~1|Tessora Bridges' <<<"$rows_Directory" ||
  fail "INSTALLDIR: $(grep ^INSTALLDIR <<<"$rows_Directory")"
grep -qxF $'TARGETDIR\037\037SourceDir' <<<"$rows_Directory" || fail "TARGETDIR: $(grep ^TARGETDIR <<<"$rows_Directory")"

# ICE38/43/57: a component in a folder of the user's profile is keyed by an HKCU value.
declare -A parent=()
while IFS=$'\037' read -r folder up _; do parent[$folder]="$up"; done <<<"$rows_Directory"
per_user='ProgramMenuFolder|StartMenuFolder|DesktopFolder|StartupFolder|AppDataFolder|LocalAppDataFolder|PersonalFolder|FavoritesFolder|SendToFolder|TemplateFolder|MyPicturesFolder|NetHoodFolder|PrintHoodFolder|RecentFolder'
in_profile() {
  local d="$1"
  while [ -n "$d" ]; do
    [[ "$d" =~ ^($per_user)$ ]] && return 0
    d="${parent[$d]:-}"
  done
  return 1
}
profile_components=0
while IFS=$'\037' read -r component _ folder attributes _ key; do
  in_profile "$folder" || continue
  profile_components=$((profile_components + 1))
  (( attributes & 4 )) || fail "$component (in $folder) is not keyed by a registry value"
  root_of_key="$(awk -F '\037' -v k="$key" '$1 == k { print $2 }' <<<"$rows_Registry")"
  [ "$root_of_key" = 1 ] || fail "$component (in $folder) is keyed by $key, root '$root_of_key', not HKCU (1)"
done <<<"$rows_Component"
[ "$profile_components" -ge 1 ] || fail "no component in the Start menu"

# ICE68: 0x800 (no impersonation) is for deferred (0x400) actions only.
while IFS=$'\037' read -r action type _; do
  (( (type & 0x400) || !(type & 0x800) )) || fail "immediate custom action $action has type $type (0x800 set)"
done <<<"$rows_CustomAction"

# Secure properties: the three folders, every search's property, and the upgrade's.
secure=";$(property SecureCustomProperties "$msi");"
for p in INSTALLDIR PREMIEREPLUGINSDIR QTCOMPONENTSDIR WIX_UPGRADE_DETECTED WIX_DOWNGRADE_DETECTED \
  $(cut -d $'\037' -f1 <<<"$rows_AppSearch"); do
  [[ "$secure" == *";$p;"* ]] || fail "$p is not in SecureCustomProperties$secure"
done

# Launch conditions: an administrator and XP SP3 or newer, each with a message saying what to do.
conditions="$(table LaunchCondition "$msi")"
grep -qP '^Privileged\x1f.*administrator' <<<"$conditions" || fail "no administrator condition: $conditions"
grep -qP '^VersionNT >= 501 AND \(VersionNT > 501 OR ServicePackLevel >= 3\)\x1f.*Windows XP' <<<"$conditions" ||
  fail "no Windows version condition: $conditions"
grep -qP '^LaunchConditions\x1f' <<<"$rows_InstallExecuteSequence" || fail "LaunchConditions is not sequenced"

# A double-click shows basic progress.
[ "$(property LIMITUI "$msi")" = 1 ] || fail "LIMITUI is not 1"

# One spelling of the product's name, everywhere in the tables and the summary.
tables="$(msiinfo tables "$msi")" || fail "cannot list the tables"
all="$( { for t in $tables; do [ "$t" = _SummaryInformation ] || table "$t" "$msi"; done
  printf '%s\n' "$summary"; } | tr -d '\0')"
spellings="$(grep -oi 'tessora bridges' <<<"$all" | sort -u | tr '\n' ' ')"
[ "$spellings" = "Tessora Bridges " ] || fail "the product's name is spelled: $spellings"
[ "$(property ProductName "$msi")" = "Tessora Bridges" ] || fail "ProductName: $(property ProductName "$msi")"
grep -qP '^[^\x1f]*\x1f2\x1fSOFTWARE\\Halvex\\Tessora Bridges\x1fPremierePluginsDir\x1f' <<<"$rows_Registry" ||
  fail "the folders are not remembered under HKLM\\SOFTWARE\\Halvex\\Tessora Bridges"

# Add/Remove Programs: the install location and the notes, set once INSTALLDIR is resolved.
sequence() { awk -F '\037' -v a="$1" '$1 == a { print $3 }' <<<"$rows_InstallExecuteSequence"; }
for p in ARPINSTALLLOCATION:'[INSTALLDIR]' ARPREADME:'[INSTALLDIR]INSTALL.txt'; do
  action="$(awk -F '\037' -v p="${p%%:*}" -v v="${p#*:}" '$3 == p && $4 == v { print $1 }' <<<"$rows_CustomAction")"
  [ -n "$action" ] || fail "no custom action sets ${p%%:*} to ${p#*:}"
  [ "$(sequence "$action")" -gt "$(sequence CostFinalize)" ] || fail "$action runs before CostFinalize"
done
grep -qx 'Version: 200 (c8)' <<<"$summary" || fail "schema: $(grep ^Version <<<"$summary")"

# The old release goes before anything is installed: the module's version never changes.
(( $(sequence InstallValidate) < $(sequence RemoveExistingProducts) &&
   $(sequence RemoveExistingProducts) < $(sequence InstallInitialize) )) ||
  fail "RemoveExistingProducts at $(sequence RemoveExistingProducts)"

# The package code follows the version and the payload, and nothing else.
code="$(package_code "$msi")"
[[ "$code" =~ ^\{[0-9A-F-]{36}\}$ ]] || fail "package code '$code'"
[ "$(package_code "$(pack "$bin" "$work/again")")" = "$code" ] || fail "packing again gave another package code"
mkdir "$work/changed"
cp "$bin"/*.prm "$bin"/*.qtx "$bin"/*.exe "$bin"/*.debug "$work/changed/"
printf 'x' >> "$work/changed/Kestrix.exe"
[ "$(package_code "$(pack "$work/changed" "$work/changed_dist")")" != "$code" ] ||
  fail "a changed file kept the package code"

# "2.1" and "2.01.0" are one version to Windows Installer, so one product; each field within
# Windows Installer's limits.
[ "$(property ProductCode "$(pack --version 2.1 "$bin" "$work/v1")")" = \
  "$(property ProductCode "$(pack --version 2.01.0 "$bin" "$work/v2")")" ] || fail "2.1 and 2.01.0 are two products"
for v in 256.0.0 1.256.0 1.0.65536; do
  if "$root/tools/package.sh" --version "$v" "$bin" "$work/limit" 2> "$work/message"; then
    fail "version $v was packed"
  fi
  grep -q "255.255.65535" "$work/message" || fail "version $v: $(cat "$work/message")"
done
[ -n "$(pack --version 255.255.65535 "$bin" "$work/limit")" ] || fail "255.255.65535 was refused"

# wixl drops an attribute it does not know with a warning only: that stops the packing.
sed 's|<File Id="uninstpatch.exe" |&ShortName="UNINST~1.EXE" |' "$root/packaging/tessora-bridges.wxs" > "$work/dropped.wxs"
grep -q ShortName "$work/dropped.wxs" || fail "the test's package source has no ShortName"
if "$root/tools/package.sh" --wxs "$work/dropped.wxs" "$bin" "$work/dropped" 2> "$work/message"; then
  fail "a package source with an attribute wixl drops was packed"
fi
grep -q "ShortName" "$work/message" || fail "the message does not name the dropped attribute: $(cat "$work/message")"
[ ! -e "$work/dropped/tessora-bridges-$version.msi" ] || fail "an MSI was left behind"
echo "msi tables: short names, per-user keys, impersonation, secure properties, launch conditions, progress, one name, package code"
