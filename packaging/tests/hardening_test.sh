#!/usr/bin/env bash
# Reads each shipped file's PE headers as Windows' own binary checks read them:
# - ASLR: DYNAMIC_BASE, with the relocations that let the loader move the file: a base
#   relocation directory, a .reloc section, and no "relocations stripped" in the file header;
# - DEP: NX_COMPAT;
# - NO_SEH: a 32-bit file without a SafeSEH table must declare that it registers no exception
#   handler (Windows then refuses to call any handler inside it), so no code may reach the head
#   of the SEH chain, fs:[0] (the compiler's C++ exceptions unwind with DWARF tables instead);
# - a program (no DLL flag in its file header): TERMINAL_SERVER_AWARE;
# - no section both writable and executable;
# - the stack protector, read from the debug file beside it (FILE.debug): its runtime's
#   __stack_chk_fail and __stack_chk_guard are linked in, and every C and C++ unit of these
#   sources was compiled with -fstack-protector-strong (GCC records its switches in each unit's
#   DW_AT_producer).
# Then shows that each rule bites, on copies that break one rule each.
# Usage: hardening_test.sh SOURCE_DIR SHIPPED_FILE...
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: $0 SOURCE_DIR SHIPPED_FILE..." >&2; exit 2; }
src="$(cd "$1" && pwd)"
shift
objdump=i686-w64-mingw32-objdump
nm=i686-w64-mingw32-nm
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

u16() { od -An -tu2 -j"$2" -N2 "$1" | tr -d ' '; }  # FILE OFFSET: a little-endian 16-bit field
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }  # FILE OFFSET: a little-endian 32-bit field
put16() {  # FILE OFFSET VALUE
  printf "$(printf '\\%03o\\%03o' $(($3 & 255)) $((($3 >> 8) & 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
put32() {  # FILE OFFSET VALUE
  put16 "$1" "$2" $(($3 & 0xffff))
  put16 "$1" $(($2 + 2)) $((($3 >> 16) & 0xffff))
}

# Where the fields are: the PE signature at the offset stored at 0x3c, the 20-byte file header
# after it, then the optional header (PE32) and the section table.
pe_at() { u32 "$1" 60; }
file_header() { echo $(($(pe_at "$1") + 4)); }
optional_header() { echo $(($(pe_at "$1") + 24)); }
dll_characteristics_at() { echo $(($(optional_header "$1") + 70)); }
# The base relocation table is data directory 5, each directory 8 bytes (address, size) from 96.
reloc_directory_at() { echo $(($(optional_header "$1") + 96 + 5 * 8)); }
section_at() {  # FILE INDEX: the offset of that 40-byte section header
  local fh
  fh="$(file_header "$1")"
  echo $((fh + 20 + $(u16 "$1" $((fh + 16))) + 40 * $2))
}
section_count() { u16 "$1" $(($(file_header "$1") + 2)); }
section_name() { head -c $(($(section_at "$1" "$2") + 8)) "$1" | tail -c 8 | tr -d '\0'; }

IMAGE_FILE_RELOCS_STRIPPED=0x0001
IMAGE_FILE_DLL=0x2000
DYNAMIC_BASE=0x0040
NX_COMPAT=0x0100
NO_SEH=0x0400
TERMINAL_SERVER_AWARE=0x8000
SCN_MEM_EXECUTE=0x20000000
SCN_MEM_WRITE=0x80000000

# The compile units of a debug file, one "PRODUCER<tab>NAME" a line.
units() {
  "$objdump" --dwarf=info "$1" 2>/dev/null | awk '
    function value(line) {
      sub(/^[^:]*: /, "", line)
      if (line ~ /^\(indirect/) sub(/^\([^)]*\): /, "", line)
      return line
    }
    /Abbrev Number:/ { unit = ($0 ~ /\(DW_TAG_compile_unit\)/); producer = ""; next }
    unit && /DW_AT_producer/ { producer = value($0) }
    unit && /DW_AT_name/ { print producer "\t" value($0); unit = 0 }'
}

# check FILE...: prints each fault, fails if there is one.
check() {
  local f faults=0
  fault() { echo "$name: $*"; faults=1; }
  for f in "$@"; do
    local name
    name="$(basename "$f")"
    [ -f "$f" ] || { fault "missing"; continue; }
    if [ "$(od -An -tx1 -j"$(pe_at "$f")" -N4 "$f" | tr -d ' ')" != 50450000 ] ||
      [ "$(u16 "$f" "$(optional_header "$f")")" != $((0x10b)) ]; then
      fault "not a 32-bit PE file"
      continue
    fi
    local characteristics dll reloc_size
    characteristics="$(u16 "$f" $(($(file_header "$f") + 18)))"
    dll="$(u16 "$f" "$(dll_characteristics_at "$f")")"
    reloc_size="$(u32 "$f" $(($(reloc_directory_at "$f") + 4)))"

    ((dll & DYNAMIC_BASE)) || fault "no ASLR (DYNAMIC_BASE)"
    ((characteristics & IMAGE_FILE_RELOCS_STRIPPED)) && fault "its relocations are stripped (file header)"
    [ "$reloc_size" -gt 0 ] || fault "no base relocation table (data directory 5 is empty)"
    ((dll & NX_COMPAT)) || fault "no DEP (NX_COMPAT)"
    ((dll & NO_SEH)) || fault "not NO_SEH"
    ((characteristics & IMAGE_FILE_DLL)) || ((dll & TERMINAL_SERVER_AWARE)) ||
      fault "a program that is not TERMINAL_SERVER_AWARE"

    local i n reloc=0 section flags
    n="$(section_count "$f")"
    for ((i = 0; i < n; i++)); do
      section="$(section_name "$f" "$i")"
      flags="$(u32 "$f" $(($(section_at "$f" "$i") + 36)))"
      [ "$section" = .reloc ] && [ "$(u32 "$f" $(($(section_at "$f" "$i") + 16)))" -gt 0 ] && reloc=1
      if ((flags & SCN_MEM_WRITE)) && ((flags & SCN_MEM_EXECUTE)); then
        fault "section $section is both writable and executable"
      fi
    done
    [ "$reloc" = 1 ] || fault "no .reloc section"

    # The fs segment holds the thread's information block, whose first field is the SEH chain's
    # head: a handler goes on the chain with "push fs:[0]; mov fs:[0], esp", as mingw-w64's __try1 and
    # every other 32-bit registration writes it. Register-based fs operands are not looked at:
    # the DWARF exception tables that ld puts in .text decode as such.
    local use
    while read -r use; do
      fault "code reaches the SEH chain (fs:[0]): $use"
    done < <("$objdump" -d "$f" | grep -E '%fs:0x0([^0-9a-fx(]|$)' | tr -s ' \t' ' ')

    local debug="$f.debug"
    if [ ! -f "$debug" ]; then
      fault "no debug file $(basename "$debug") to read the stack protector from"
      continue
    fi
    local symbols
    symbols="$("$nm" "$debug" 2>/dev/null)"
    grep -qE ' ___stack_chk_fail$' <<<"$symbols" || fault "the stack protector's __stack_chk_fail is not linked in"
    grep -qE ' ___stack_chk_guard$' <<<"$symbols" || fault "the stack protector's __stack_chk_guard is not linked in"
    local producer unit ours=0 last
    while IFS=$'\t' read -r producer unit; do
      [[ "$producer" == "GNU C"* ]] || continue  # the assembler's units have no such switch
      [ -f "$src/${unit#./}" ] || continue       # the compiler's runtime, not these sources
      ours=$((ours + 1))
      last="$(grep -oE -- ' -f(no-)?stack-protector(-[a-z]+)?' <<<"$producer" | tail -n 1)"
      [[ "$last" =~ ^\ -fstack-protector-(strong|all)$ ]] || fault "$unit was compiled without -fstack-protector-strong"
    done < <(units "$debug")
    [ "$ours" -gt 0 ] || fault "no unit of $src in its debug information"
  done
  return "$faults"
}

status=0
fail() { echo "FAIL: $*" >&2; status=1; }

out="$(check "$@")" || fail "the shipped files break the rules:"$'\n'"$out"

# Each rule bites: a copy (with its debug file) that breaks one rule fails with that rule alone.
program=""
for f in "$@"; do [[ "$f" == *.exe ]] && { program="$f"; break; }; done
[ -n "$program" ] || fail "no program among the shipped files"
first="$1"
copy() {  # FILE TAG: a copy of FILE and its debug file, named as FILE, in a folder of TAG
  mkdir -p "$work/$2"
  cp "$1" "$1.debug" "$work/$2/"
  echo "$work/$2/$(basename "$1")"
}
bites() {  # FILE EXPECTED WHAT: every fault the copy shows is EXPECTED
  local out
  out="$(check "$1")" && { fail "$3 passed"; return; }
  grep -qF -- "$2" <<<"$out" && ! grep -vqF -- "$2" <<<"$out" || fail "$3: not just '$2':"$'\n'"$out"
}
dll_flags() {  # FILE: clears the bits of $2
  local at
  at="$(dll_characteristics_at "$1")"
  put16 "$1" "$at" $(($(u16 "$1" "$at") & ~$2))
}

f="$(copy "$first" aslr)"
dll_flags "$f" $DYNAMIC_BASE
bites "$f" "no ASLR (DYNAMIC_BASE)" "a file without DYNAMIC_BASE"

f="$(copy "$first" stripped)"
at=$(($(file_header "$f") + 18))
put16 "$f" "$at" $(($(u16 "$f" "$at") | IMAGE_FILE_RELOCS_STRIPPED))
bites "$f" "its relocations are stripped" "a file whose relocations are stripped"

f="$(copy "$first" no_directory)"
put32 "$f" $(($(reloc_directory_at "$f") + 4)) 0
bites "$f" "no base relocation table" "a file without a base relocation table"

f="$(copy "$first" no_reloc)"
for ((i = 0; i < $(section_count "$f"); i++)); do
  [ "$(section_name "$f" "$i")" = .reloc ] && printf '.relox' | dd of="$f" bs=1 seek="$(section_at "$f" "$i")" conv=notrunc status=none
done
bites "$f" "no .reloc section" "a file without a .reloc section"

f="$(copy "$first" nx)"
dll_flags "$f" $NX_COMPAT
bites "$f" "no DEP (NX_COMPAT)" "a file without NX_COMPAT"

f="$(copy "$first" seh)"
dll_flags "$f" $NO_SEH
bites "$f" "not NO_SEH" "a file without NO_SEH"

if [ -n "$program" ]; then
  f="$(copy "$program" tsaware)"
  dll_flags "$f" $TERMINAL_SERVER_AWARE
  bites "$f" "a program that is not TERMINAL_SERVER_AWARE" "a program without TERMINAL_SERVER_AWARE"
fi

# The first section (code) made writable too.
f="$(copy "$first" writable_code)"
at=$(($(section_at "$f" 0) + 36))
put32 "$f" "$at" $(($(u32 "$f" "$at") | SCN_MEM_WRITE))
bites "$f" "is both writable and executable" "a file with writable code"

# The C runtime's start-up reads the thread information block's stack base (mov eax, fs:[0x18],
# then [eax+4]); the same instruction reading fs:[0] is the first step of an SEH registration.
f="$(copy "$first" chain)"
at="$(LC_ALL=C grep -obUaP '\x64\xa1\x18\x00\x00\x00' "$f" | head -n 1 | cut -d: -f1)"
if [ -n "$at" ]; then
  printf '\000' | dd of="$f" bs=1 seek=$((at + 2)) conv=notrunc status=none
  bites "$f" "code reaches the SEH chain" "code reading fs:[0]"
else
  fail "$(basename "$first"): no mov eax, fs:[0x18] to turn into a read of fs:[0]"
fi

# Debug files of a build without the stack protector: the switch, then the runtime's symbols,
# changed in place (same lengths, so the files stay whole).
f="$(copy "$first" unprotected)"
LC_ALL=C sed -i 's/ -fstack-protector-strong/ -fno-stack-protector    /g' "$f.debug"
bites "$f" "compiled without -fstack-protector-strong" "units compiled without the stack protector"
f="$(copy "$first" no_runtime_fail)"
LC_ALL=C sed -i 's/___stack_chk_fail\x00/___stack_chk_faiX\x00/g' "$f.debug"
bites "$f" "__stack_chk_fail is not linked in" "a debug file without __stack_chk_fail"
f="$(copy "$first" no_runtime_guard)"
LC_ALL=C sed -i 's/___stack_chk_guard\x00/___stack_chk_guarX\x00/g' "$f.debug"
bites "$f" "__stack_chk_guard is not linked in" "a debug file without __stack_chk_guard"

[ "$status" -eq 0 ] && echo "hardening: $# shipped files have ASLR with relocations, DEP, NO_SEH and no writable code; the programs are terminal-server aware; all built with the stack protector"
exit "$status"
