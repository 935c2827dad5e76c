#!/usr/bin/env bash
# Builds what a site deploys from the Windows binaries of each architecture:
#   OUT_DIR/ovtransfer-x86.cab     the code-download cabinet for 32-bit hosts
#   OUT_DIR/ovtransfer-x64.cab     the code-download cabinet for 64-bit hosts
#   OUT_DIR/ovtransfer-VERSION.zip both, for manual installs (folders x86/ and x64/)
# usage: package.sh OUT_DIR ARCH=BIN_DIR...    (ARCH: x86 or x64; one or both)
# Each cabinet holds ovtransfer-ARCH.inf, made from ovtransfer.inf.in, and the files it names.
# The version is the file version of ovtransfer.dll; every file, both architectures, the INF
# and the example page's codebase must agree with it, or nothing is written.
# Signing: with SIGN_CERT (PEM certificate, chain included) and SIGN_KEY (PEM key; SIGN_PASS_FILE
# holds its password if it has one), every binary and both cabinets are signed (Authenticode)
# and verified against SIGN_CA (default: SIGN_CERT); without them the package is unsigned.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
fail() { echo "package: $*" >&2; exit 1; }

[ $# -ge 2 ] || fail "usage: package.sh OUT_DIR ARCH=BIN_DIR..."
out=$1
shift
page=$root/examples/upload.html
command -v gcab >/dev/null || fail "gcab is not installed (Debian package gcab)"
command -v zip >/dev/null || fail "zip is not installed (Debian package zip)"

signing=no
if [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
  [ -f "${SIGN_CERT:-}" ] || fail "SIGN_CERT names no file: ${SIGN_CERT:-(empty)}"
  [ -f "${SIGN_KEY:-}" ] || fail "SIGN_KEY names no file: ${SIGN_KEY:-(empty)}"
  command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (Debian package osslsigncode)"
  signing=yes
fi

# pe_machine FILE: the machine field of a Windows binary's header.
pe_machine() {
  local header
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j $((header + 4)) -N2 "$1" | tr -d ' '
}

# sign FILE: Authenticode signature in place, then checked.
sign() {
  local pass=()
  [ -n "${SIGN_PASS_FILE:-}" ] && pass=(-readpass "$SIGN_PASS_FILE")
  osslsigncode sign -certs "$SIGN_CERT" -key "$SIGN_KEY" "${pass[@]}" -h sha256 -n "ovtransfer" \
    -in "$1" -out "$1.signed" >/dev/null || fail "signing $(basename "$1") failed"
  mv "$1.signed" "$1"
  osslsigncode verify -CAfile "${SIGN_CA:-$SIGN_CERT}" -in "$1" >/dev/null 2>&1 \
    || fail "the signature of $(basename "$1") does not verify"
}

stage=$(mktemp -d "${TMPDIR:-/tmp}/ovtransfer-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
version=
archs=()
declare -A listing
for spec in "$@"; do
  arch=${spec%%=*} bin=${spec#*=}
  case $arch in
    x86) platform=win32-x86 machine=014c ;;
    x64) platform=win64-x64 machine=8664 ;;
    *) fail "unknown architecture '$arch' (x86 or x64)" ;;
  esac
  [ -z "${listing[$arch]:-}" ] || fail "$arch given twice"
  [ -d "$bin" ] || fail "no such folder: $bin"
  [ -f "$bin/ovtransfer.dll" ] || fail "missing $bin/ovtransfer.dll (build first)"
  own=$(python3 "$here/pe_version.py" "$bin/ovtransfer.dll") || fail "ovtransfer.dll has no readable file version"
  [ -z "$version" ] || [ "$own" = "$version" ] || fail "$arch ovtransfer.dll is version $own, the package is $version"
  version=$own
  commas=${version//./,}
  cabinet=ovtransfer-$arch.cab

  # The INF, filled in for this architecture.
  dir=$stage/$arch
  mkdir -p "$dir"
  inf=$dir/ovtransfer-$arch.inf
  sed -e "s/@VERSION@/$version/g" -e "s/@FILE_VERSION@/$commas/g" -e "s/@PLATFORM@/$platform/g" \
      -e "s/@ARCH@/$arch/g" -e "s/@CABINET@/$cabinet/g" "$here/ovtransfer.inf.in" | sed 's/$/\r/' > "$inf"
  if grep -q '@[A-Z_]*@' "$inf"; then fail "ovtransfer.inf.in has a placeholder this script does not fill"; fi

  # The files the INF installs, in its order, and a check of each one's section.
  mapfile -t files < <(awk '
    { sub(/\r$/, "") }
    /^[ \t]*;/ || /^[ \t]*$/ { next }
    /^\[/ { section = tolower($0); next }
    section == "[add.code]" { split($0, kv, "="); gsub(/[ \t]/, "", kv[1]); print kv[1] }' "$inf")
  [ ${#files[@]} -gt 0 ] || fail "ovtransfer.inf.in lists no files under [Add.Code]"
  lines=()
  for f in "${files[@]}"; do
    [ -f "$bin/$f" ] || fail "the INF names $f, but $bin/$f does not exist"
    keys=$(awk -v want="[$(echo "$f" | tr 'A-Z' 'a-z')]" '
      { sub(/\r$/, "") }
      /^\[/ { inside = (tolower($0) == want); next }
      inside && /=/ { k = $0; sub(/=.*/, "", k); v = $0; sub(/^[^=]*=/, "", v); print tolower(k) "=" v }' "$inf")
    grep -qx "file-$platform=thiscab" <<<"$keys" || fail "section [$f] lacks file-$platform=thiscab"
    grep -qx "fileversion=$commas" <<<"$keys" || fail "section [$f] lacks FileVersion=$commas"
    grep -qxE 'registerserver=(yes|no)' <<<"$keys" || fail "section [$f] lacks RegisterServer=yes or no"
    [ "$(pe_machine "$bin/$f")" = "$machine" ] || fail "$bin/$f is not an $arch binary"
    own=$(python3 "$here/pe_version.py" "$bin/$f") && rc=0 || rc=$?
    case $rc in
      0) [ "$own" = "$version" ] || fail "$f has file version $own, the package is $version" ;;
      2) fail "$f has no version resource" ;;
      *) fail "$f is not a Windows binary" ;;
    esac
    cp "$bin/$f" "$dir/"
    [ $signing = no ] || sign "$dir/$f"
    lines+=("$(printf '  %-18s %s' "$f" "$own")")
  done

  # The cabinet: the INF first, then the files in its order.
  ( cd "$dir" && gcab -c -z -n "$stage/$cabinet" "$(basename "$inf")" "${files[@]}" )
  listed=$(gcab -t "$stage/$cabinet")
  for f in "$(basename "$inf")" "${files[@]}"; do
    grep -qx "$f" <<<"$listed" || fail "$cabinet lacks $f"
  done
  [ $signing = no ] || sign "$stage/$cabinet"
  listing[$arch]=$(printf '%s\n' "$(basename "$inf")" "${lines[@]}")
  archs+=("$arch")
done

# The page a site deploys asks for the 32-bit cabinet of this very version (the server hands
# 64-bit browsers the other one, docs/deploy.md).
grep -q "codebase=\"ovtransfer-x86.cab#version=$commas\"" "$page" \
  || fail "examples/upload.html does not point its codebase at ovtransfer-x86.cab#version=$commas"

# The zip for a manual install: one folder per architecture, and the deployment guide.
name=ovtransfer-$version
mkdir -p "$stage/zip/$name"
for arch in "${archs[@]}"; do
  mkdir -p "$stage/zip/$name/$arch"
  cp "$stage/$arch/"* "$stage/zip/$name/$arch/"
done
cp "$root/docs/deploy.md" "$stage/zip/$name/deploy.md"
( cd "$stage/zip" && zip -q -r -X "$stage/$name.zip" "$name" )

# Only complete outputs replace the previous ones.
mkdir -p "$out"
rm -f "$out"/ovtransfer-*.cab "$out"/ovtransfer-*.zip
for arch in "${archs[@]}"; do mv "$stage/ovtransfer-$arch.cab" "$out/"; done
mv "$stage/$name.zip" "$out/$name.zip"
state=unsigned
[ $signing = no ] || state="signed, signatures verified"
for arch in "${archs[@]}"; do
  echo "package: $out/ovtransfer-$arch.cab ($state)"
  echo "${listing[$arch]}" | sed 's/^ovtransfer/  ovtransfer/'
done
echo "package: $out/$name.zip (${archs[*]})"
[ $signing = yes ] || echo "package: not signed (give SIGN_CERT and SIGN_KEY to sign)"
