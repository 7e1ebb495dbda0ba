#!/usr/bin/env bash
# Test of tools/package.sh's signing, with a throwaway certificate made here (openssl, a
# self-signed code-signing certificate in a PKCS#12 file with a password): the package is built
# signed; osslsigncode verify, trusting that certificate, accepts tsp_prm_nle.prm, Kestrix.exe
# and uninstpatch.exe of the zip and the MSI, each signed by that publisher with SHA-1 and
# SHA-256 nested, and refuses a copy of each with one byte changed. A signature changes nothing else of a file; Quillex.qtx stays
# unsigned and as built (QuickTime reads its registration from its last bytes); the MSI carries
# the zip's signed files. A wrong password, a time-stamp server that does not answer, a
# certificate that is not there and a password without a certificate stop the packing before
# anything is written. No time-stamp server is reached: no network. Usage: package_sign_test.sh BIN_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
unset HX_SIGN_PFX HX_SIGN_PASSWORD HX_SIGN_TIMESTAMP

version="$(tr -d ' \r\n' < "$root/VERSION")"
name="tessora-bridges-$version"
signable=(tsp_prm_nle.prm Kestrix.exe uninstpatch.exe)

publisher="Tessora Bridges test publisher $$"
password="pass word $$"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$publisher" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2> "$work/openssl.txt" ||
  fail "openssl req: $(cat "$work/openssl.txt")"
password="$password" openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" \
  -passout env:password -out "$work/signing.pfx" 2> "$work/openssl.txt" || fail "openssl pkcs12: $(cat "$work/openssl.txt")"

made="$(HX_SIGN_PFX="$work/signing.pfx" HX_SIGN_PASSWORD="$password" "$root/tools/package.sh" "$bin" "$work/dist" 2> "$work/message")" ||
  fail "signed packing failed: $(cat "$work/message")"
[ "$made" = "$work/dist/$name.zip"$'\n'"$work/dist/$name-symbols.zip"$'\n'"$work/dist/$name.msi" ] ||
  fail "package.sh wrote:"$'\n'"$made"
grep -q "^package: signed with $work/signing.pfx: tsp_prm_nle.prm Kestrix.exe uninstpatch.exe and $name.msi" "$work/message" ||
  fail "message: $(cat "$work/message")"
! grep -qF "$password" "$work/message" || fail "the message shows the password"

# verify FILE: osslsigncode's answer, trusting the throwaway certificate; fails as it does.
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" > "$work/verify.txt" 2>&1; }
verified() {  # FILE: verifies, by the publisher, with a SHA-1 signature and a SHA-256 one nested
  verify "$1" || fail "$(basename "$1") does not verify:"$'\n'"$(cat "$work/verify.txt")"
  grep -q "Subject: /CN=$publisher\$" "$work/verify.txt" || fail "$(basename "$1") is not signed by $publisher"
  grep -qx "Number of verified signatures: 2" "$work/verify.txt" &&
    [ "$(grep -E '^Message digest algorithm +:' "$work/verify.txt" | awk '{ print $NF }' | tr '\n' ' ')" = "SHA1 SHA256 " ] ||
    fail "$(basename "$1") is not signed with SHA-1, then SHA-256 nested:"$'\n'"$(grep -E 'Signature Index|digest algorithm|verified' "$work/verify.txt")"
}
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }  # FILE OFFSET: a little-endian 32-bit field
tamper() {  # FILE OFFSET: a copy of FILE with the byte at OFFSET changed
  local copy byte
  copy="$work/tampered/$(basename "$1")"
  mkdir -p "$work/tampered"
  cp "$1" "$copy"
  byte="$(od -An -tu1 -j"$2" -N1 "$copy" | tr -d ' ')"
  printf "$(printf '\\%03o' $(((byte + 1) & 255)))" | dd of="$copy" bs=1 seek="$2" conv=notrunc status=none
  cmp -s "$1" "$copy" && fail "could not change a byte of $(basename "$1")"
  echo "$copy"
}
refused() {  # FILE WHAT
  ! verify "$1" || fail "$2 verifies"
  grep -q MISMATCH "$work/verify.txt" || fail "$2: not refused for its digest:"$'\n'"$(cat "$work/verify.txt")"
}

mkdir "$work/unpacked"
unzip -q "$work/dist/$name.zip" -d "$work/unpacked"
shipped="$work/unpacked/$name"
for f in "${signable[@]}"; do
  verified "$shipped/$f"
  # Signing wrote the checksum and the certificate table's directory (at 64 and 128 in the
  # optional header) and appended the table: every other byte is the build's.
  size="$(stat -c %s "$bin/$f")"
  opt=$(($(u32 "$bin/$f" 60) + 24))
  head -c "$size" "$shipped/$f" > "$work/stripped"
  cp "$bin/$f" "$work/built"
  for at in $((opt + 64)) $((opt + 128)) $((opt + 132)); do
    printf '\0\0\0\0' | dd of="$work/stripped" bs=1 seek="$at" conv=notrunc status=none
    printf '\0\0\0\0' | dd of="$work/built" bs=1 seek="$at" conv=notrunc status=none
  done
  cmp -s "$work/stripped" "$work/built" || fail "signing $f changed more than its checksum and certificate table"
  # One byte in the middle of the code.
  section=$((opt + $(od -An -tu2 -j$((opt - 4)) -N2 "$shipped/$f" | tr -d ' ')))
  at=$(($(u32 "$shipped/$f" $((section + 20))) + $(u32 "$shipped/$f" $((section + 16))) / 2))
  refused "$(tamper "$shipped/$f" "$at")" "$f with a byte of its code changed"
done
cmp "$bin/Quillex.qtx" "$shipped/Quillex.qtx" || fail "Quillex.qtx is not the build's"
[ "$(tail -c 12 "$shipped/Quillex.qtx" | head -c 11)" = mkQuickTime ] || fail "Quillex.qtx does not end in its trailer"

msi="$work/dist/$name.msi"
verified "$msi"
# One byte of the cabinet that carries the files (its first 512-byte sector).
cab="$(LC_ALL=C grep -obUa MSCF "$msi" | head -n 1 | cut -d: -f1)"
[ -n "$cab" ] || fail "no cabinet in the MSI"
refused "$(tamper "$msi" $((cab + 200)))" "the MSI with a byte of its cabinet changed"
mkdir "$work/installed"
(cd "$work/installed" && msiextract "$msi" > /dev/null)
for f in "${signable[@]}" Quillex.qtx; do
  copy="$(find "$work/installed" -type f -name "$f")"
  [ -n "$copy" ] && cmp -s "$copy" "$shipped/$f" || fail "the MSI's $f is not the zip's"
done

# What stops the packing, with nothing written.
stopped() {  # WHAT EXPECTED_MESSAGE ENV...
  local what="$1" expected="$2"
  shift 2
  rm -rf "$work/stopped"
  if env "$@" "$root/tools/package.sh" "$bin" "$work/stopped" > /dev/null 2> "$work/message"; then
    fail "packing with $what succeeded"
  fi
  grep -qF "$expected" "$work/message" || fail "$what: $(cat "$work/message")"
  [ -z "$(ls -A "$work/stopped" 2> /dev/null)" ] || fail "$what wrote $(ls "$work/stopped")"
}
stopped "a wrong password" "could not sign tsp_prm_nle.prm" HX_SIGN_PFX="$work/signing.pfx" HX_SIGN_PASSWORD=wrong
# A time-stamp server that cannot be reached (this machine's port 1: nothing goes out) stops it.
stopped "an unreachable time-stamp server" "could not sign tsp_prm_nle.prm" HX_SIGN_PFX="$work/signing.pfx" \
  HX_SIGN_PASSWORD="$password" HX_SIGN_TIMESTAMP=http://127.0.0.1:1/
stopped "no certificate file" "HX_SIGN_PFX names no file: $work/none.pfx" HX_SIGN_PFX="$work/none.pfx" HX_SIGN_PASSWORD="$password"
stopped "a password without a certificate" "no certificate (HX_SIGN_PFX)" HX_SIGN_PASSWORD="$password"
stopped "a time-stamp server without a certificate" "no certificate (HX_SIGN_PFX)" HX_SIGN_TIMESTAMP=http://timestamp.invalid
echo "package $name signed: ${signable[*]} and the MSI verify, a changed byte does not; Quillex.qtx unsigned as built"
