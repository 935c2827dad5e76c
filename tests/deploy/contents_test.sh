#!/usr/bin/env bash
# The cabinet holds the INF and every file the INF names, each section is complete, the versions
# agree, and the zip holds the very same files.
# usage: contents_test.sh PACKAGE_DIR PAGE
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
package=$1 page=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/deploy-contents.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/cab"
gcab -x -C "$work/cab" "$package/ovtransfer.cab"
inf=$work/cab/ovtransfer.inf
[ -f "$inf" ] || { echo "ovtransfer.cab holds no ovtransfer.inf" >&2; exit 1; }
check grep -q '^signature="\$CHICAGO\$"' <(tr -d '\r' < "$inf")
check grep -q '^AdvancedINF=2.0$' <(tr -d '\r' < "$inf")

mapfile -t files < <(inf_files "$inf")
check test "${files[*]}" = "ovres.dll ovnetsupport.dll ovtransfer.dll"
mapfile -t listed < <(gcab -t "$package/ovtransfer.cab")
check test "${#listed[@]}" -eq $((${#files[@]} + 1))

version=$(python3 "$here/../../deploy/pe_version.py" "$work/cab/ovtransfer.dll")
check test "$version" = 2.0.672.0
for f in "${files[@]}"; do
  check grep -qx "$f" < <(printf '%s\n' "${listed[@]}")
  check test -s "$work/cab/$f"
  check test "$(inf_value "$inf" "$f" file-win32-x86)" = thiscab
  check test "$(inf_value "$inf" "$f" FileVersion)" = "${version//./,}"
  register=$(inf_value "$inf" "$f" RegisterServer)
  case $f in
    ovres.dll) check test "$register" = no ;;
    *) check test "$register" = yes
       check grep -qE '^\{[0-9A-F-]{36}\}$' <<<"$(inf_value "$inf" "$f" clsid)" ;;
  esac
done
check test "$(inf_value "$inf" ovtransfer.dll clsid)" = "{33CA74CD-E214-41D1-9E2D-507E7C17079E}"
# ovtransfer.dll loads ovres.dll: it must come first.
check test "${files[0]}" = ovres.dll

# The zip: one folder named after the version, the same bytes as the cabinet.
zipfile=$package/ovtransfer-$version.zip
check test -f "$zipfile"
mkdir -p "$work/zip" && unzip -q "$zipfile" -d "$work/zip"
for f in ovtransfer.inf "${files[@]}"; do
  check cmp -s "$work/cab/$f" "$work/zip/ovtransfer-$version/$f"
done
check test -f "$work/zip/ovtransfer-$version/deploy.md"

# The page a site deploys asks for this cabinet and version.
check grep -q 'codebase="ovtransfer.cab#version=2,0,672,0"' "$page"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "ovtransfer.cab: ${listed[*]}"
