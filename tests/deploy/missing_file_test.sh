#!/usr/bin/env bash
# Packaging refuses, says why, and leaves the previous package as it was: a file the INF names
# is missing, a companion's version disagrees with the control's, or the folders of the two
# architectures are swapped. With every file in place the same command succeeds.
# usage: missing_file_test.sh X86_BIN_DIR X64_BIN_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
package_sh=$here/../../deploy/package.sh
x86=$1 x64=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/deploy-missing.XXXXXX")
trap 'rm -rf "$work"' EXIT
mapfile -t shipped < <(sed 's/\r$//' "$here/../../deploy/ovtransfer.inf.in" | awk '
  /^\[/ { s = tolower($0); next } s == "[add.code]" && /=/ { sub(/=.*/, ""); print }')

mkdir -p "$work/x86" "$work/x64" "$work/out"
for f in "${shipped[@]}"; do cp "$x86/$f" "$work/x86/"; cp "$x64/$f" "$work/x64/"; done
echo previous > "$work/out/ovtransfer-x86.cab"
echo previous > "$work/out/ovtransfer-2.0.672.0.zip"
# refused PATTERN: packaging fails naming PATTERN, and the previous package stays.
refused() {
  local status=0
  bash "$package_sh" "$work/out" x86="$work/x86" x64="$work/x64" 2> "$work/err" || status=$?
  check test $status -ne 0
  check grep -q "$1" "$work/err"
  check test "$(cat "$work/out/ovtransfer-x86.cab")" = previous
  check test "$(cat "$work/out/ovtransfer-2.0.672.0.zip")" = previous
  check test ! -e "$work/out/ovtransfer-x64.cab"
}

rm "$work/x64/ovengine.dll"
refused 'ovengine.dll'
cp "$x64/ovengine.dll" "$work/x64/"

# A companion built from another release (FILEVERSION 2,0,672,1).
python3 - "$work/x86/ovres.dll" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.find(struct.pack("<I", 0xFEEF04BD))
struct.pack_into("<I", data, at + 12, (672 << 16) | 1)
open(sys.argv[1], "wb").write(data)
PY
refused 'ovres.dll has file version 2.0.672.1'
cp "$x86/ovres.dll" "$work/x86/"

# The 64-bit control in the 32-bit cabinet would load in no 32-bit browser.
cp "$x64/ovtransfer.dll" "$work/x86/ovtransfer.dll"
refused 'ovtransfer.dll is not an x86 binary'
cp "$x86/ovtransfer.dll" "$work/x86/"

check bash "$package_sh" "$work/out" x86="$work/x86" x64="$work/x64"
check test "$(gcab -t "$work/out/ovtransfer-x86.cab" | wc -l)" -eq $((${#shipped[@]} + 1))
check test "$(gcab -t "$work/out/ovtransfer-x64.cab" | wc -l)" -eq $((${#shipped[@]} + 1))
[ $failures -eq 0 ] || { cat "$work/err" >&2; echo "$failures check(s) failed" >&2; exit 1; }
