#!/usr/bin/env bash
# Packaging without one of the files the INF names fails, says which file, and leaves the
# previous package as it was; so does a companion whose version disagrees with the control's.
# usage: missing_file_test.sh BIN_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
package_sh=$here/../../deploy/package.sh
bin=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/deploy-missing.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/bin" "$work/out"
cp "$bin/ovtransfer.dll" "$bin/ovres.dll" "$work/bin/"
echo previous > "$work/out/ovtransfer.cab"
echo previous > "$work/out/ovtransfer-2.0.672.0.zip"
status=0
bash "$package_sh" "$work/bin" "$work/out" 2> "$work/err" || status=$?
check test $status -ne 0
check grep -q 'ovnetsupport.dll' "$work/err"
check test "$(cat "$work/out/ovtransfer.cab")" = previous
check test "$(cat "$work/out/ovtransfer-2.0.672.0.zip")" = previous

# A binary with a version resource of another release (ovhost.exe has none; ovtransfer.dll
# under another name stands in for a companion built from an older tree).
cp "$bin/ovnetsupport.dll" "$work/bin/"
python3 - "$work/bin/ovres.dll" "$bin/ovtransfer.dll" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[2], "rb").read())
at = data.find(struct.pack("<I", 0xFEEF04BD))
struct.pack_into("<I", data, at + 12, (672 << 16) | 1)   # FILEVERSION 2,0,672,1
open(sys.argv[1], "wb").write(data)
PY
status=0
bash "$package_sh" "$work/bin" "$work/out" 2> "$work/err" || status=$?
check test $status -ne 0
check grep -q 'ovres.dll has file version 2.0.672.1' "$work/err"
check test "$(cat "$work/out/ovtransfer.cab")" = previous

# With every file in place the same command succeeds and replaces the previous package.
cp "$bin/ovres.dll" "$work/bin/"
check bash "$package_sh" "$work/bin" "$work/out"
check test "$(gcab -t "$work/out/ovtransfer.cab" | wc -l)" -eq 4
[ $failures -eq 0 ] || { cat "$work/err" >&2; echo "$failures check(s) failed" >&2; exit 1; }
