#!/usr/bin/env bash
# Holds every shipped file against packaging/imports.txt, by Windows' rules rather than Wine's
# (Wine exports every function whatever Windows it claims to be):
# - every imported function is on the list (by name; an import by ordinal never is);
# - every line of the list names a Windows system DLL and a Windows no newer than XP;
# - the PE header asks for no system newer than 5.1 (XP), as operating system and subsystem.
# Then shows that each rule bites: a program of the posix thread model (winpthreads imports
# GetTickCount64), a list with a line newer than XP, a list naming a DLL of our own, and a
# shipped file whose header asks for 6.0 must all fail.
# Usage: imports_test.sh LIST POSIX_PROGRAM SHIPPED_FILE...
set -uo pipefail
list="$1" posix_program="$2"
shift 2
objdump=i686-w64-mingw32-objdump
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Windows' own DLLs that a shipped file could sensibly import (lower case).
system_dlls=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll version.dll comctl32.dll comdlg32.dll shlwapi.dll msi.dll "
# What "oldest Windows" may say: XP SP3 is the oldest Windows supported, so nothing newer.
old_enough=" 95 98 NT4 2000 XP "

# The imports of a PE file, one DLL!function a line ("DLL!#N" for an import by ordinal).
imports() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = $3; next }
    dll != "" && /^\tvma:/ { next }
    dll != "" && /^\t[0-9a-f]+\t/ { if (NF >= 3) print dll "!" $3; else print dll "!#" $2; next }
    /^$/ { dll = "" }'
}

# check LIST FILE...: prints each fault, fails if there is one.
check() {
  local list="$1" f faults=0 entry version dll major minor
  shift
  local allowed="$work/allowed"
  grep -v '^[[:space:]]*#' "$list" | awk 'NF { print $1, $2 }' > "$allowed"
  while read -r entry version; do
    dll="${entry%%!*}"
    if [[ "$system_dlls" != *" ${dll,,} "* ]]; then
      echo "imports.txt: $entry: $dll is not a Windows system DLL"
      faults=1
    fi
    if [[ "$old_enough" != *" $version "* ]]; then
      echo "imports.txt: $entry: '$version' is newer than Windows XP (or no Windows at all)"
      faults=1
    fi
  done < "$allowed"
  for f in "$@"; do
    local name
    name="$(basename "$f")"
    [ -f "$f" ] || { echo "$name: missing"; faults=1; continue; }
    local headers
    headers="$("$objdump" -p "$f")" || { echo "$name: not a PE file"; faults=1; continue; }
    for what in OSystem Subsystem; do
      major="$(awk -v k="Major${what}Version" '$1 == k { print $2 }' <<<"$headers")"
      minor="$(awk -v k="Minor${what}Version" '$1 == k { print $2 }' <<<"$headers")"
      if [ -z "$major" ] || [ "$major" -gt 5 ] || { [ "$major" -eq 5 ] && [ "$minor" -gt 1 ]; }; then
        echo "$name: its PE header asks for $([ "$what" = OSystem ] && echo "operating system" || echo subsystem) version $major.$minor, newer than 5.1 (XP)"
        faults=1
      fi
    done
    local n=0 imp
    while read -r imp; do
      n=$((n + 1))
      # DLL names compare without case, as the loader does; function names exactly.
      if ! awk -v want="$imp" 'BEGIN { split(want, w, "!") }
             { split($1, e, "!"); if (tolower(e[1]) == tolower(w[1]) && e[2] == w[2]) found = 1 }
             END { exit !found }' "$allowed"; then
        echo "$name: imports $imp, which packaging/imports.txt does not list"
        faults=1
      fi
    done < <(imports "$f")
    [ "$n" -gt 0 ] || { echo "$name: no imports read"; faults=1; }
  done
  return "$faults"
}

status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# The shipped files.
if ! out="$(check "$list" "$@")"; then
  fail "the shipped files break the rules:"$'\n'"$out"
fi

# Each rule bites.
out="$(check "$list" "$posix_program")" && fail "a posix-built program passed"
grep -q 'imports KERNEL32.dll!GetTickCount64,' <<<"$out" || fail "GetTickCount64 of a posix-built program not named:"$'\n'"$out"

sed '0,/^KERNEL32.dll!CloseHandle /s/^\(KERNEL32.dll!CloseHandle  *\)[^ ]*/\1Vista/' "$list" > "$work/vista.txt"
grep -q '^KERNEL32.dll!CloseHandle  *Vista ' "$work/vista.txt" || fail "could not make a list with a Vista line"
out="$(check "$work/vista.txt")" && fail "a list with a Vista line passed"
grep -q "CloseHandle: 'Vista' is newer than Windows XP" <<<"$out" || fail "the Vista line not named:"$'\n'"$out"

{ cat "$list"; echo "QuickTime.qts!theQuickTimeDispatcher  XP  not a system DLL"; } > "$work/foreign.txt"
out="$(check "$work/foreign.txt")" && fail "a list naming QuickTime.qts passed"
grep -q 'QuickTime.qts is not a Windows system DLL' <<<"$out" || fail "the foreign DLL not named:"$'\n'"$out"

# MajorSubsystemVersion is a 16-bit word at 48 in the optional header, which follows the
# 4-byte signature and the 20-byte file header at the offset stored at 0x3c.
first="$1"
cp "$first" "$work/newer"
pe="$(od -An -tu4 -j 60 -N 4 "$first" | tr -d ' ')"
printf '\006\000' | dd of="$work/newer" bs=1 seek=$((pe + 24 + 48)) conv=notrunc status=none
out="$(check "$list" "$work/newer")" && fail "a file asking for subsystem 6.0 passed"
grep -q 'asks for subsystem version 6.0' <<<"$out" || fail "subsystem 6.0 not named:"$'\n'"$out"

[ "$status" -eq 0 ] && echo "imports: $# shipped files, every import listed and no newer than Windows XP"
exit "$status"
