#!/usr/bin/env bash
# The 32-bit control's queue and limits, read by the 64-bit control, and back: each side loads
# what the other saved, field by field, and both save the very same bytes.
# usage: store_exchange_test.sh X86_STORE_EXCHANGE_EXE X64_STORE_EXCHANGE_EXE
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
x86=$1 x64=$2
run() { "$here/../../cmake/wine-run.sh" "$@"; }
work=$(mktemp -d "${TMPDIR:-/tmp}/store-exchange.XXXXXX")
trap 'rm -rf "$work"' EXIT
database='{5A0C7E31-2B4D-4C8E-9F10-3D2E1B0A9C87}' user=store-exchange
store=$WINEPREFIX/drive_c/windows/ovtransfer/${database}_$user.ini

# exchange WRITER READER NAME: one side saves, a copy is kept, the other side loads and checks.
exchange() {
  check run "$1" write "$database" "$user"
  check test -f "$store"
  cp "$store" "$work/$3" 2>/dev/null || true
  check run "$2" check "$database" "$user"
}
exchange "$x86" "$x64" saved-by-x86
exchange "$x64" "$x86" saved-by-x64
check cmp "$work/saved-by-x86" "$work/saved-by-x64"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "the queue and the limits pass between the architectures unchanged"
