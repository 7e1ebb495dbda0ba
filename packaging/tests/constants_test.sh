#!/usr/bin/env bash
# Holds the shipped sources against packaging/constants.txt: no access right or flag newer than
# Windows XP (the imports test sees functions, not the values passed to them).
# - every line of the list names a Windows newer than XP and a name the Windows headers define;
# - no source under the given folders, their tests/ folders aside, names one of them outside
#   comments and string literals.
# Then shows that each rule bites: the encoder locator with the Vista-only right put back into
# its OpenProcess call, a list line of XP and a misspelt name must all fail, and the name in a
# comment or a string must not.
# Usage: constants_test.sh LIST COMPILER SOURCE_FOLDER...
set -uo pipefail
list="$1" compiler="$2"
shift 2
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

newer_than_xp=" Vista 7 8 8.1 10 11 "

# What the Windows headers of the compiler declare: every name of the list must be among it.
printf '#include <windows.h>\n#include <shellapi.h>\n' > "$work/headers.cpp"
"$compiler" -E -dD -x c++ "$work/headers.cpp" > "$work/headers.txt" || { echo "FAIL: the Windows headers do not preprocess" >&2; exit 1; }

# The shipped sources of the folders given, one path a line.
sources() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.S' -o -name '*.rc' -o -name '*.rc.in' \) \
    -not -path '*/tests/*' | sort
}

# A source without its comments (the preprocessor removes them and keeps lines; its line
# markers say where a line came from) and without its string literals, one "LINE<tab>text" a line.
code_lines() {
  "$compiler" -E -fpreprocessed -x c++ "$1" 2>/dev/null | awk '
    /^# [0-9]+ "/ { line = $2; next }
    { gsub(/"([^"\\]|\\.)*"/, "\"\""); print line "\t" $0; line++ }'
}

# check LIST FOLDER...: prints each fault, fails if there is one.
check() {
  local list="$1" f faults=0 name version
  shift
  local names="$work/names"
  grep -v '^[[:space:]]*#' "$list" | awk 'NF { print $1, $2 }' > "$names"
  [ -s "$names" ] || { echo "constants.txt: no names"; return 1; }
  while read -r name version; do
    if [[ "$newer_than_xp" != *" $version "* ]]; then
      echo "constants.txt: $name: '$version' is not a Windows newer than XP"
      faults=1
    fi
    if ! grep -qw -- "$name" "$work/headers.txt"; then
      echo "constants.txt: $name: not defined by the Windows headers"
      faults=1
    fi
  done < "$names"
  local pattern
  pattern="\\<($(awk '{ print $1 }' "$names" | paste -sd '|'))\\>"
  local n=0
  while read -r f; do
    n=$((n + 1))
    while IFS=$'\t' read -r line text; do
      for name in $(grep -oE "$pattern" <<<"$text" | sort -u); do
        version="$(awk -v n="$name" '$1 == n { print $2 }' "$names")"
        echo "$f:$line: $name, which came with Windows $version"
        faults=1
      done
    done < <(code_lines "$f" | grep -E "$pattern")
  done < <(sources "$@")
  [ "$n" -gt 0 ] || { echo "no sources found in $*"; faults=1; }
  return "$faults"
}

status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# The shipped sources.
if ! out="$(check "$list" "$@")"; then
  fail "the shipped sources use values newer than Windows XP:"$'\n'"$out"
fi

# Each rule bites. The locator as it was, asking for the Vista-only right beside SYNCHRONIZE:
locator=""
for folder in "$@"; do
  [ -f "$folder/link/hx_encoder_locator.cpp" ] && locator="$folder/link/hx_encoder_locator.cpp"
done
if [ -z "$locator" ]; then
  fail "hx_encoder_locator.cpp not found under $*"
else
  mkdir -p "$work/old"
  sed 's/OpenProcess(SYNCHRONIZE,/OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,/' "$locator" \
    > "$work/old/hx_encoder_locator.cpp"
  at="$(grep -n 'PROCESS_QUERY_LIMITED_INFORMATION, FALSE' "$work/old/hx_encoder_locator.cpp" | cut -d: -f1)"
  if [ -z "$at" ]; then
    fail "could not put the Vista-only right back into the locator's OpenProcess call"
  else
    out="$(check "$list" "$work/old")" && fail "the locator asking for PROCESS_QUERY_LIMITED_INFORMATION passed"
    grep -q "hx_encoder_locator.cpp:$at: PROCESS_QUERY_LIMITED_INFORMATION, which came with Windows Vista" <<<"$out" ||
      fail "the offending line $at not named:"$'\n'"$out"
  fi
fi

# A name in a comment, a string or a tests/ folder is no use of it; the same name in code is.
mkdir -p "$work/prose/tests"
cat > "$work/prose/prose.cpp" <<'SOURCE'
// XP refuses PROCESS_QUERY_LIMITED_INFORMATION.
/* LOAD_LIBRARY_SEARCH_SYSTEM32
   THREAD_ALL_ACCESS */
const char* why = "PROCESS_ALL_ACCESS grew with Vista";
SOURCE
echo 'unsigned rights = PROCESS_QUERY_LIMITED_INFORMATION;' > "$work/prose/tests/peer.cpp"
out="$(check "$list" "$work/prose")" || fail "names in comments, strings or tests/ were taken for uses:"$'\n'"$out"
echo 'unsigned flags = 0 | LOAD_LIBRARY_SEARCH_SYSTEM32; // system folder only' >> "$work/prose/prose.cpp"
out="$(check "$list" "$work/prose")" && fail "a LoadLibraryEx flag after the comments passed"
grep -q 'prose.cpp:5: LOAD_LIBRARY_SEARCH_SYSTEM32,' <<<"$out" || fail "the flag on line 5 not named:"$'\n'"$out"

{ cat "$list"; echo "SYNCHRONIZE  XP  as old as NT"; } > "$work/xp.txt"
out="$(check "$work/xp.txt" "$work/prose")" && fail "a list with an XP line passed"
grep -q "SYNCHRONIZE: 'XP' is not a Windows newer than XP" <<<"$out" || fail "the XP line not named:"$'\n'"$out"

{ cat "$list"; echo "PROCESS_QUERY_LIMITED_INFORMATON  Vista  misspelt"; } > "$work/typo.txt"
out="$(check "$work/typo.txt" "$work/prose")" && fail "a list with a misspelt name passed"
grep -q "PROCESS_QUERY_LIMITED_INFORMATON: not defined by the Windows headers" <<<"$out" ||
  fail "the misspelt name not named:"$'\n'"$out"

if [ "$status" -eq 0 ]; then
  echo "constants: $(sources "$@" | wc -l) shipped sources, none uses one of the $(grep -cv '^[[:space:]]*\(#\|$\)' "$list") values newer than Windows XP"
fi
exit "$status"
