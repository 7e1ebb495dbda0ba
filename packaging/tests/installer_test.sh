#!/usr/bin/env bash
# The installer under a real msiexec in the rig's Wine prefix (the rig is up: wineserver, Xvfb,
# the QuickTime runtime stand-in in the system folder, the stand-in encoder registered).
#   1. Silent install with QuickTime's InstallDir recorded and PREMIEREPLUGINSDIR given, a path
#      with blanks (Premiere's App Paths entry names another folder; the property wins): every
#      file where it belongs and byte for byte the packaged one, the Start menu shortcut, the
#      Add/Remove Programs entry with the version and location, the chosen folders remembered.
#   2. Exports through both roads, the host stand-ins finding the plug-ins in those folders.
#   3. Uninstall with no properties: no file, folder or entry left. Then the same with
#      QTCOMPONENTSDIR and INSTALLDIR given and no QuickTime value (the given folders win over
#      the system folder and the default): the module goes to the Plug-ins folder of
#      Premiere's folder, found from the App Paths entry whose Path value is a PATH fragment
#      (two folders, a trailing ';'), and the log names that folder.
#   4. Install with no properties and nothing recorded, with basic progress (/qb): the
#      component goes to the system folder's QuickTime folder (where the QuickTime host finds
#      it), the module to [ProgramFilesFolder]Adobe\Premiere 6.5\Plug-ins.
#   5. A rebuilt release with a higher version (these files, their version resources stamped
#      higher) replaces it: one copy of each file, at the new version, one entry. The same
#      package again changes nothing; the older one is refused with its message (read from the
#      box msiexec shows with /qb). Its uninstall leaves nothing.
# Whatever happens, it leaves the prefix as it found it: what it installed is uninstalled, the
# registry values and folders it made are removed.
# Usage: installer_test.sh BIN_DIR RIG RIG_DIR
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
[ $# -eq 3 ] || { echo "usage: $0 BIN_DIR RIG RIG_DIR" >&2; exit 2; }
bin="$(cd "$1" && pwd)"
rig=("$2" --dir "$3")
drive_c="$3/prefix/drive_c"
work="$(mktemp -d)"

say() { printf '[installer] %s\n' "$*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# A Windows program in the prefix; its output on stdout, its exit status returned.
win() { "${rig[@]}" run "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# Z:\... for a Linux path, and the Linux path of a C:\ path.
zpath() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }
cpath() { local p="${1#[Cc]:\\}"; printf '%s/%s' "$drive_c" "${p//\\//}"; }

# The data of one registry value, nothing when it is not there.
reg_value() {
  win reg query "$1" /v "$2" 2>/dev/null | sed -n "s/^ *$2 \{2,\}REG_[A-Z_]* \{2,\}//p" | head -n 1
}
reg_key_exists() { win reg query "$1" >/dev/null 2>&1; }
# How many Add/Remove Programs entries are called "Tessora Bridges".
arp_entries() {
  win reg query "$uninstall_key" /s 2>/dev/null | grep -c "^ *DisplayName \{2,\}REG_SZ \{2,\}Tessora Bridges$"
}
# The FILEVERSION of a file's version resource, as a.b.c.d.
file_version() {
  i686-w64-mingw32-windres -i "$1" -O rc 2>/dev/null | sed -n 's/^ *FILEVERSION *//p' | tr -d ' ' | tr ',' '.'
}

product_code() { msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductCode" { print $2 }'; }

msiexec() {
  local log="$1"
  shift
  win msiexec "$@" /l*v "$(zpath "$log")" >/dev/null
}

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
product_key='HKLM\SOFTWARE\Halvex\Tessora Bridges'
user_key='HKCU\Software\Halvex\Tessora Bridges'
apple_key='HKLM\SOFTWARE\Apple Computer, Inc.'
quicktime_key="$apple_key\\QuickTime"
app_paths_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Premiere.exe'
quicktime_home='C:\Program Files\QuickTime Stand-in'
premiere_home='C:\Program Files\Premiere Stand-in'
premiere_other='C:\Program Files\Premiere Stand-in Tools'
given_top='C:\Premiere Plug-ins Given'
given_plugins="$given_top\\Plug-ins"
given_components="$given_top\\QT Components"
given_program="$given_top\\Tessora program"
install_dir='C:\Program Files\Tessora Bridges'
adobe='C:\Program Files\Adobe'
default_plugins="$adobe\\Premiere 6.5\\Plug-ins"
system_quicktime='C:\windows\system32\QuickTime'
deliverables=(tsp_prm_nle.prm Quillex.qtx Kestrix.exe uninstpatch.exe)

product_codes=()
made_apple_key=0
cleanup() {
  local code
  for code in "${product_codes[@]}"; do
    if reg_key_exists "$uninstall_key\\$code"; then
      win msiexec /x "$code" /qn >/dev/null 2>&1
    fi
  done
  win reg delete "$app_paths_key" /f >/dev/null 2>&1
  if [ "$made_apple_key" = 1 ]; then
    win reg delete "$apple_key" /f >/dev/null 2>&1
  else
    win reg delete "$quicktime_key" /v InstallDir /f >/dev/null 2>&1
  fi
  win reg delete "$user_key" /f >/dev/null 2>&1
  rm -rf "$(cpath "$quicktime_home")" "$(cpath "$premiere_home")" "$(cpath "$premiere_other")" "$(cpath "$given_top")" \
    "$(cpath "$adobe")"
  rm -rf "$work"
}
trap cleanup EXIT

# ---- The packages ---------------------------------------------------------------------------
version="$(tr -d ' \r\n' < "$root/VERSION")"
# Through a variable: the status of a process substitution is lost, mapfile's is always 0.
made="$("$root/tools/package.sh" "$bin" "$work/dist")" || fail "package.sh failed"
mapfile -t made <<<"$made"
zip="${made[0]}"
msi="${made[2]}"
[ -f "$msi" ] || fail "no MSI: ${made[*]}"
mkdir "$work/unpacked"
unzip -q "$zip" -d "$work/unpacked" || fail "cannot unpack $zip"
packed="$work/unpacked/tessora-bridges-$version"
code="$(product_code "$msi")"
[[ "$code" =~ ^\{[0-9A-F-]{36}\}$ ]] || fail "ProductCode '$code'"
product_codes+=("$code")

# What this test makes must not be there already: the prefix is shared.
for k in "$uninstall_key\\$code" "$product_key" "$user_key" "$app_paths_key"; do
  reg_key_exists "$k" && fail "$k exists before the test; is Tessora Bridges installed in the prefix?"
done
for d in "$install_dir" "$system_quicktime" "$quicktime_home" "$premiere_home" "$premiere_other" "$given_top" "$adobe"; do
  [ ! -e "$(cpath "$d")" ] || fail "$d exists before the test"
done
reg_key_exists "$apple_key" || made_apple_key=1

# Where each file of the package lands, for a set of folders.
expect_installed() {  # PLUGINS_DIR COMPONENTS_DIR PROGRAM_DIR FROM_DIR
  local f
  cmp -s "$4/tsp_prm_nle.prm" "$(cpath "$1")/tsp_prm_nle.prm" || fail "tsp_prm_nle.prm is not in $1 as packaged"
  cmp -s "$4/Quillex.qtx" "$(cpath "$2")/Quillex.qtx" || fail "Quillex.qtx is not in $2 as packaged"
  for f in Kestrix.exe uninstpatch.exe INSTALL.txt; do
    cmp -s "$4/$f" "$(cpath "$3")/$f" || fail "$f is not in $3 as packaged"
  done
}
# The shortcut, per machine where Windows puts it, or per user where Wine 8 does.
shortcuts() {
  find "$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tessora Bridges" \
    "$drive_c"/users/*/AppData/Roaming/Microsoft/Windows/"Start Menu"/Programs/"Tessora Bridges" \
    -name Kestrix.lnk 2>/dev/null
}
expect_removed() {  # PLUGINS_DIR COMPONENTS_DIR PROGRAM_DIR
  local d
  for d in "$1" "$2" "$3"; do
    [ ! -e "$(cpath "$d")" ] || fail "$d is left: $(ls -A "$(cpath "$d")" | tr '\n' ' ')"
  done
  [ -z "$(shortcuts)" ] || fail "the shortcut is left: $(shortcuts)"
  [ -z "$(find "$drive_c" -name Quillex.qtx -o -name tsp_prm_nle.prm -o -name Kestrix.exe -o -name uninstpatch.exe)" ] ||
    fail "files are left: $(find "$drive_c" -name Quillex.qtx -o -name tsp_prm_nle.prm -o -name Kestrix.exe)"
  reg_key_exists "$product_key" && fail "$product_key is left"
  reg_key_exists "$user_key" && fail "$user_key is left"
  [ "$(arp_entries)" = 0 ] || fail "an Add/Remove Programs entry is left"
  return 0
}

# ---- 1. Install with InstallDir and a given plug-ins folder ---------------------------------
say "1. install $(basename "$msi") with QuickTime's InstallDir and PREMIEREPLUGINSDIR=$given_plugins"
mkdir -p "$(cpath "$quicktime_home")" "$(cpath "$premiere_home")" "$(cpath "$premiere_other")"
: > "$(cpath "$premiere_home")/Premiere.exe"
win reg add "$quicktime_key" /v InstallDir /d "$quicktime_home" /f >/dev/null || fail "reg add InstallDir"
# As a Premiere installer writes it: the program's full path, and a PATH fragment.
win reg add "$app_paths_key" /ve /d "$premiere_home\\Premiere.exe" /f >/dev/null || fail "reg add App Paths"
win reg add "$app_paths_key" /v Path /d "$premiere_home;$premiere_other;" /f >/dev/null || fail "reg add App Paths Path"
msiexec "$work/install1.log" /i "$(zpath "$msi")" /qn "PREMIEREPLUGINSDIR=$given_plugins" ||
  fail "msiexec /i exited $? (log: $(tail -5 "$work/install1.log"))"
expect_installed "$given_plugins" "$quicktime_home\\QTComponents" "$install_dir" "$packed"
[ ! -e "$(cpath "$premiere_home")/Plug-ins" ] || fail "the App Paths folder got a Plug-ins folder though one was given"
[ ! -e "$(cpath "$system_quicktime")" ] || fail "the system folder got a QuickTime folder though InstallDir was recorded"
[ "$(shortcuts | wc -l)" = 1 ] || fail "no Start menu shortcut to Kestrix"
grep -aq 'Kestrix\.exe' "$(shortcuts)" || fail "the shortcut does not lead to Kestrix.exe"
[ "$(reg_value "$uninstall_key\\$code" DisplayName)" = "Tessora Bridges" ] || fail "Add/Remove Programs: name"
[ "$(reg_value "$uninstall_key\\$code" InstallLocation)" = "$install_dir\\" ] || fail "Add/Remove Programs: location"
[ "$(reg_value "$user_key" StartMenu)" = 0x1 ] || fail "the shortcut's key path is not under $user_key"
[ "$(reg_value "$uninstall_key\\$code" Publisher)" = "Halvex" ] || fail "Add/Remove Programs: publisher"
[ "$(reg_value "$uninstall_key\\$code" DisplayVersion)" = "$version" ] || fail "Add/Remove Programs: version"
[ "$(reg_value "$product_key" PremierePluginsDir)" = "$given_plugins\\" ] || fail "the plug-ins folder is not remembered"
[ "$(reg_value "$product_key" QTComponentsDir)" = "$quicktime_home\\QTComponents\\" ] ||
  fail "the components folder is not remembered"

# ---- 2. Both roads from the installed folders -----------------------------------------------
say "2. export through both roads, the hosts scanning the installed folders"
out="$(win "$bin/premiere_host.exe" --plugins "$given_plugins" --out "$(zpath "$work/premiere")" --seconds 1 --size 160x120)" ||
  fail "the Premiere export exited $?: $out"
grep -qxF "plug-in: $given_plugins\\tsp_prm_nle.prm" <<<"$out" || fail "the Premiere host did not take the installed module: $out"
grep -q "^encoder: 160x120 30 frames" <<<"$out" || fail "the Premiere export did not reach the encoder: $out"
[ -s "$work/premiere/premiere_export.avi" ] || fail "no Premiere AVI"
out="$(win "$bin/quicktime_host.exe" --out "$(zpath "$work/quicktime")" --seconds 1 --quiet)" ||
  fail "the QuickTime export exited $?: $out"
grep -qixF "component: 'spit'/'Duff' from $quicktime_home\\QTComponents\\Quillex.qtx" <<<"$out" ||
  fail "QuickTime did not find the installed component: $out"
grep -q "^encoder: quicktime .* 30 frames" <<<"$out" || fail "the QuickTime export did not reach the encoder: $out"
[ -s "$work/quicktime/quicktime_export.avi" ] || fail "no QuickTime AVI"

# ---- 3. Uninstall without properties --------------------------------------------------------
say "3. uninstall with no properties"
msiexec "$work/uninstall1.log" /x "$(zpath "$msi")" /qn || fail "msiexec /x exited $?"
expect_removed "$given_plugins" "$quicktime_home\\QTComponents" "$install_dir"

say "3. install with QTCOMPONENTSDIR and INSTALLDIR given and no QuickTime InstallDir, uninstall"
win reg delete "$quicktime_key" /v InstallDir /f >/dev/null || fail "reg delete InstallDir"
msiexec "$work/install_given.log" /i "$(zpath "$msi")" /qn "QTCOMPONENTSDIR=$given_components" \
  "INSTALLDIR=$given_program" || fail "msiexec /i exited $?"
expect_installed "$premiere_home\\Plug-ins" "$given_components" "$given_program" "$packed"
[ ! -e "$(cpath "$premiere_other")/Plug-ins" ] || fail "the Path value's second folder got a Plug-ins folder"
# The log's closing list of properties (/l*v) names the folder chosen.
grep -qxF "Property(S): PREMIEREPLUGINSDIR = $premiere_home\\Plug-ins\\" <<<"$(tr -d '\r' < "$work/install_given.log")" ||
  fail "the log does not name $premiere_home\\Plug-ins: $(grep -a PREMIEREPLUGINSDIR "$work/install_given.log")"
[ ! -e "$(cpath "$system_quicktime")" ] || fail "the system folder got a QuickTime folder though one was given"
[ ! -e "$(cpath "$install_dir")" ] || fail "the default program folder was made though one was given"
msiexec "$work/uninstall_given.log" /x "$(zpath "$msi")" /qn || fail "msiexec /x exited $?"
expect_removed "$premiere_home\\Plug-ins" "$given_components" "$given_program"

# ---- 4. Install to the defaults, nothing recorded -------------------------------------------
say "4. install with no properties, no QuickTime InstallDir, no App Paths, with basic progress (/qb)"
win reg delete "$app_paths_key" /f >/dev/null || fail "reg delete App Paths"
msiexec "$work/install2.log" /i "$(zpath "$msi")" /qb || fail "msiexec /i exited $?"
expect_installed "$default_plugins" "$system_quicktime" "$install_dir" "$packed"
out="$(win "$bin/quicktime_host.exe" --out "$(zpath "$work/quicktime2")" --seconds 1 --quiet)" ||
  fail "the QuickTime export exited $?: $out"
grep -qixF "component: 'spit'/'Duff' from $system_quicktime\\Quillex.qtx" <<<"$out" ||
  fail "QuickTime did not find the component in the system folder: $out"

# ---- 5. A higher version over it ------------------------------------------------------------
IFS=. read -r major minor patch <<<"$version"
patch="${patch:-0}"
next="$major.$minor.$((patch + 1))"
[ ${#next} -le $((${#major} + ${#minor} + ${#patch} + 2)) ] || next="$major.$((minor + 1)).0"
[ ${#next} -le $((${#major} + ${#minor} + ${#patch} + 2)) ] || next="$((major + 1)).0.0"
say "5. upgrade to a rebuilt $next"
mkdir "$work/next"
for f in "${deliverables[@]}"; do
  cp "$bin/$f" "$bin/$f.debug" "$work/next/"
done
for f in Quillex.qtx Kestrix.exe uninstpatch.exe; do
  win "$bin/stamp_version.exe" "$(zpath "$work/next/$f")" "$next.0" >/dev/null || fail "cannot stamp $f"
done
made2="$("$root/tools/package.sh" --version "$next" "$work/next" "$work/dist2")" || fail "package.sh $next failed"
mapfile -t made2 <<<"$made2"
msi2="${made2[2]}"
code2="$(product_code "$msi2")"
[ "$code2" != "$code" ] || fail "$next has the ProductCode of $version"
product_codes+=("$code2")
mkdir "$work/unpacked2"
unzip -q "${made2[0]}" -d "$work/unpacked2"
packed2="$work/unpacked2/tessora-bridges-$next"
msiexec "$work/upgrade.log" /i "$(zpath "$msi2")" /qn || fail "the upgrade exited $?"
expect_installed "$default_plugins" "$system_quicktime" "$install_dir" "$packed2"
for f in "${deliverables[@]}"; do
  n="$(find "$drive_c" -name "$f" | wc -l)"
  [ "$n" = 1 ] || fail "$n copies of $f after the upgrade"
done
# Three files carry the project's version; the module keeps its own.
for f in "$install_dir\\Kestrix.exe" "$install_dir\\uninstpatch.exe" "$system_quicktime\\Quillex.qtx"; do
  v="$(file_version "$(cpath "$f")")"
  [ "$v" = "$next.0" ] || fail "$f has version $v, not $next.0"
done
v="$(file_version "$(cpath "$default_plugins")/tsp_prm_nle.prm")"
[ "$v" = 5.0.1.0 ] || fail "tsp_prm_nle.prm has version $v"
[ "$(arp_entries)" = 1 ] || fail "$(arp_entries) Add/Remove Programs entries after the upgrade"
[ "$(reg_value "$uninstall_key\\$code2" DisplayVersion)" = "$next" ] || fail "the entry is not at $next"
reg_key_exists "$uninstall_key\\$code" && fail "the $version entry is left"

say "5. the same package again, then the older one"
stamps() { local f; for f in "$@"; do stat -c '%n %s %Y' "$f"; done; }
files=("$(cpath "$default_plugins")/tsp_prm_nle.prm" "$(cpath "$system_quicktime")/Quillex.qtx"
  "$(cpath "$install_dir")/Kestrix.exe" "$(cpath "$install_dir")/uninstpatch.exe" "$(cpath "$install_dir")/INSTALL.txt")
before="$(stamps "${files[@]}")"
sleep 1
msiexec "$work/again.log" /i "$(zpath "$msi2")" /qn || fail "installing $next again exited $?"
[ "$(stamps "${files[@]}")" = "$before" ] || fail "installing $next again changed files"
[ "$(arp_entries)" = 1 ] || fail "installing $next again added an entry"
# With basic progress (/qb), so that msiexec says why; Wine shows it in a box captioned
# "Install Failed" and, silently, writes it nowhere.
win "$bin/answer_box.exe" "Install Failed" 300 >"$work/box.txt" 2>&1 &
box=$!
msiexec "$work/downgrade.log" /i "$(zpath "$msi")" /qb
status=$?
wait "$box" || fail "no message for the downgrade: $(cat "$work/box.txt")"
# ERROR_INSTALL_FAILURE, 1603, as a Linux exit status keeps its low 8 bits.
[ "$status" = $((1603 & 255)) ] || fail "installing $version over $next exited $status, not 1603"
grep -q "^A newer version of Tessora Bridges is already installed" "$work/box.txt" ||
  fail "the downgrade's message: $(cat "$work/box.txt")"
expect_installed "$default_plugins" "$system_quicktime" "$install_dir" "$packed2"
[ "$(arp_entries)" = 1 ] || fail "the refused downgrade added an entry"

say "5. uninstall $next"
msiexec "$work/uninstall2.log" /x "$(zpath "$msi2")" /qn || fail "msiexec /x exited $?"
expect_removed "$default_plugins" "$system_quicktime" "$install_dir"
say "every step passed"
