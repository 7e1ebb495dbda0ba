#!/usr/bin/env bash
# Reads each shipped program's embedded application manifest (resource type 24, id 1, which
# Windows reads when it starts the program) and checks it: runs as its caller (asInvoker, no UI
# access; without it Vista and later take a program whose name holds "patch" for an installer,
# run it elevated and refuse CreateProcess from an unelevated caller with 740), knows every
# Windows from Vista to 11 (supportedOS), and carries the product version. Then shows that the
# checks bite: a program without a manifest, and copies whose manifest asks for another level or
# carries another version, must fail.
# Usage: manifest_test.sh VERSION PROGRAM...    (VERSION with four numbers, e.g. 1.0.0.0)
set -uo pipefail
version="$1"
shift
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Vista, 7, 8, 8.1, and 10 (which 11 shares).
supported_os="e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a
  4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78
  8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"

# The text of resource 24/1 as windres decompiles it: quoted pieces, "" for a quote, C escapes.
manifest_of() {
  i686-w64-mingw32-windres -i "$1" -O rc 2>/dev/null | awk '
    /^1 24 / { inside = 1; next }
    inside && /^END/ { exit }
    inside && /^ *"/ {
      line = $0; sub(/^ *"/, "", line); sub(/"$/, "", line)
      gsub(/""/, "\"", line); gsub(/\\n/, "\n", line); gsub(/\\t/, "\t", line); gsub(/\\\\/, "\\", line)
      printf "%s", line
    }'
}

# check PROGRAM...: prints each fault, fails if there is one.
check() {
  local f faults=0
  for f in "$@"; do
    local name text guid
    name="$(basename "$f")"
    text="$(manifest_of "$f")"
    if [ -z "$text" ]; then
      echo "$name: no manifest (resource type 24, id 1)"
      faults=1
      continue
    fi
    # One line per element, so that attributes are read within their element.
    local elements
    elements="$(tr '\n' ' ' <<<"$text" | sed 's/</\n</g')"
    grep -q '^<?xml ' <<<"$elements" && grep -q '^</assembly>' <<<"$elements" ||
      { echo "$name: the manifest is not a whole assembly document"; faults=1; }
    grep -q '^<requestedExecutionLevel[^>]* level="asInvoker"' <<<"$elements" ||
      { echo "$name: requestedExecutionLevel is not asInvoker"; faults=1; }
    [ "$(grep -c '^<requestedExecutionLevel' <<<"$elements")" = 1 ] ||
      { echo "$name: not exactly one requestedExecutionLevel"; faults=1; }
    ! grep -q '^<requestedExecutionLevel[^>]* uiAccess="true"' <<<"$elements" ||
      { echo "$name: asks for UI access"; faults=1; }
    grep -q '^<trustInfo xmlns="urn:schemas-microsoft-com:asm.v[23]"' <<<"$elements" ||
      { echo "$name: no trustInfo of the asm.v2 or asm.v3 namespace"; faults=1; }
    grep -q "^<assemblyIdentity [^>]*version=\"$version\"" <<<"$elements" ||
      { echo "$name: assemblyIdentity does not carry version $version"; faults=1; }
    for guid in $supported_os; do
      grep -qi "^<supportedOS Id=\"{$guid}\"" <<<"$elements" ||
        { echo "$name: supportedOS {$guid} missing"; faults=1; }
    done
  done
  return "$faults"
}

status=0
fail() { echo "FAIL: $*" >&2; status=1; }
[ $# -gt 0 ] || { echo "usage: $0 VERSION PROGRAM..." >&2; exit 2; }
out="$(check "$@")" || fail "the shipped programs' manifests:"$'\n'"$out"

# The checks bite. A program without a manifest: the first one's version resource only.
i686-w64-mingw32-objcopy --remove-section=.rsrc "$1" "$work/bare.exe"
out="$(check "$work/bare.exe")" && fail "a program without a manifest passed"
grep -q 'no manifest' <<<"$out" || fail "the missing manifest not named:"$'\n'"$out"
# Copies with one attribute changed in place (same length, so the resource stays whole).
LC_ALL=C sed 's/level="asInvoker"/level="asInvokeX"/' "$1" > "$work/level.exe"
out="$(check "$work/level.exe")" && fail "a manifest asking for another level passed"
grep -q 'not asInvoker' <<<"$out" || fail "the other level not named:"$'\n'"$out"
other="${version%?}$(( (${version: -1} + 1) % 10 ))"
LC_ALL=C sed "s/version=\"$version\" processorArchitecture/version=\"$other\" processorArchitecture/" "$1" > "$work/version.exe"
out="$(check "$work/version.exe")" && fail "a manifest with version $other passed"
grep -q "does not carry version $version" <<<"$out" || fail "the other version not named:"$'\n'"$out"

[ "$status" -eq 0 ] && echo "manifests: $# programs run asInvoker, know Vista to 11 and carry $version"
exit "$status"
