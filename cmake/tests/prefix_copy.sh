#!/usr/bin/env bash
# Gives a test a Wine prefix of its own, made from the build's in seconds (creating one takes a
# minute, several under emulation): the large folders of Windows binaries linked, everything
# Wine may write copied. A prefix of its own has a wineserver of its own, so a test's rig keeps
# its named objects, registry and windows apart from the tests' rig.
#   prefix_copy.sh FROM_PREFIX TO_PREFIX
set -uo pipefail
from="$1" to="$2"
[ -f "$from/.ready" ] || { echo "prefix_copy: $from is no finished prefix" >&2; exit 1; }
mkdir -p "$to/drive_c/windows" || exit 1
# Tests running beside this one write into the prefix meanwhile (its Temp folder): tar says so
# with status 1, which is no failure here.
tar -C "$from" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs \
  --warning=no-file-changed -cf - . | tar -C "$to" -xf -
statuses=("${PIPESTATUS[@]}")
[ "${statuses[0]}" -le 1 ] && [ "${statuses[1]}" -eq 0 ] || { echo "prefix_copy: cannot copy $from" >&2; exit 1; }
cp -al "$from/drive_c/windows/system32" "$from/drive_c/windows/winsxs" "$to/drive_c/windows/" ||
  { echo "prefix_copy: cannot link the binaries of $from" >&2; exit 1; }
