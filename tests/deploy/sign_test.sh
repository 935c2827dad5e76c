#!/usr/bin/env bash
# With a code-signing certificate and key, every binary in both cabinets and both cabinets
# carry Authenticode signatures that verify against that certificate; a byte changed after
# signing is caught. Without them the package says it is unsigned.
# usage: sign_test.sh X86_BIN_DIR X64_BIN_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
package_sh=$here/../../deploy/package.sh
x86=$1 x64=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/deploy-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A throwaway self-signed code-signing certificate, its key protected by a password.
printf 'throwaway-pass\n' > "$work/pass"
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=ovtransfer test signer" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -passout file:"$work/pass" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

check bash "$package_sh" "$work/unsigned" x86="$x86" x64="$x64" > "$work/unsigned.out"
check grep -q 'not signed' "$work/unsigned.out"
check env SIGN_CERT="$work/cert.pem" SIGN_KEY="$work/key.pem" SIGN_PASS_FILE="$work/pass" bash "$package_sh" "$work/signed" x86="$x86" x64="$x64" > "$work/signed.out"
cat "$work/signed.out"
check grep -q 'signed, signatures verified' "$work/signed.out"

verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" > "$work/verify.out" 2>&1; }
for arch in x86 x64; do
  cab=$work/signed/ovtransfer-$arch.cab
  check verifies "$cab"
  check grep -q 'ovtransfer test signer' "$work/verify.out"
  check fails verifies "$work/unsigned/ovtransfer-$arch.cab"
  mkdir -p "$work/$arch"
  gcab -x -C "$work/$arch" "$cab"
  while read -r f; do
    check verifies "$work/$arch/$f"
  done < <(inf_files "$work/$arch/ovtransfer-$arch.inf")
done
# One byte changed in a signed control.
cp "$work/x64/ovtransfer.dll" "$work/tampered.dll"
printf 'X' | dd of="$work/tampered.dll" bs=1 seek=4096 conv=notrunc 2>/dev/null
check fails verifies "$work/tampered.dll"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
