#!/usr/bin/env bash
# Each cabinet holds its INF and every file the INF names, built for its architecture; each
# section is complete with that architecture's platform key; every server the builds register
# ships and is registered; the versions agree; the zip holds the very same files for both.
# usage: contents_test.sh PACKAGE_DIR PAGE X86_REGISTERED_SERVERS X64_REGISTERED_SERVERS
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
package=$1 page=$2
declare -A registered=([x86]=$3 [x64]=$4) platform=([x86]=win32-x86 [x64]=win64-x64) machine=([x86]=014c [x64]=8664)
work=$(mktemp -d "${TMPDIR:-/tmp}/deploy-contents.XXXXXX")
trap 'rm -rf "$work"' EXIT
pe_machine() { od -An -tx2 -j $(($(od -An -tu4 -j60 -N4 "$1" | tr -d ' ') + 4)) -N2 "$1" | tr -d ' '; }

version=
for arch in x86 x64; do
  cab=$package/ovtransfer-$arch.cab
  mkdir -p "$work/$arch"
  gcab -x -C "$work/$arch" "$cab"
  inf=$work/$arch/ovtransfer-$arch.inf
  [ -f "$inf" ] || { echo "ovtransfer-$arch.cab holds no ovtransfer-$arch.inf" >&2; exit 1; }
  check grep -q '^signature="\$CHICAGO\$"' <(tr -d '\r' < "$inf")
  check grep -q '^AdvancedINF=2.0$' <(tr -d '\r' < "$inf")

  mapfile -t files < <(inf_files "$inf")
  mapfile -t listed < <(gcab -t "$cab")
  check test "${#listed[@]}" -eq $((${#files[@]} + 1))
  # Each file after those it loads while registering: the resource library first, the control last.
  check test "${files[0]}" = ovres.dll
  check test "${files[${#files[@]} - 1]}" = ovtransfer.dll
  version=$(python3 "$here/../../deploy/pe_version.py" "$work/$arch/ovtransfer.dll")
  check test "$version" = 2.0.672.0
  for f in "${files[@]}"; do
    check grep -qx "$f" < <(printf '%s\n' "${listed[@]}")
    check test "$(pe_machine "$work/$arch/$f")" = "${machine[$arch]}"
    check test "$(python3 "$here/../../deploy/pe_version.py" "$work/$arch/$f")" = "$version"
    check test "$(inf_value "$inf" "$f" "file-${platform[$arch]}")" = thiscab
    check test "$(inf_value "$inf" "$f" FileVersion)" = "${version//./,}"
    register=$(inf_value "$inf" "$f" RegisterServer)
    case $f in
      ovres.dll | *.exe) check test "$register" = no ;;
      *.dll) check test "$register" = yes
             check grep -qE '^\{[0-9A-F-]{36}\}$' <<<"$(inf_value "$inf" "$f" clsid)" ;;
    esac
  done
  # Every COM server the build registers for its tests is one the cabinet registers.
  while read -r server; do
    name=$(basename "$server")
    check test "$(inf_value "$inf" "$name" RegisterServer)" = yes
  done < "${registered[$arch]}"
  check test "$(inf_value "$inf" ovtransfer.dll clsid)" = "{33CA74CD-E214-41D1-9E2D-507E7C17079E}"
  echo "ovtransfer-$arch.cab: ${listed[*]}"
done

# The zip: one folder named after the version, a folder per architecture with the same bytes
# as its cabinet, and the guide.
zipfile=$package/ovtransfer-$version.zip
check test -f "$zipfile"
mkdir -p "$work/zip" && unzip -q "$zipfile" -d "$work/zip"
for arch in x86 x64; do
  for f in $(gcab -t "$package/ovtransfer-$arch.cab"); do
    check cmp -s "$work/$arch/$f" "$work/zip/ovtransfer-$version/$arch/$f"
  done
done
check test -f "$work/zip/ovtransfer-$version/deploy.md"

# The page a site deploys asks for the 32-bit cabinet of this version by default.
check grep -q 'codebase="ovtransfer-x86.cab#version=2,0,672,0"' "$page"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
