#!/usr/bin/env bash
# Builds what a site deploys from the Windows binaries in BIN_DIR:
#   OUT_DIR/ovtransfer.cab            the code-download cabinet (ovtransfer.inf + the files it names)
#   OUT_DIR/ovtransfer-VERSION.zip    the same files for a manual install with regsvr32
# usage: package.sh BIN_DIR OUT_DIR
# The version is the file version of BIN_DIR/ovtransfer.dll; the INF, the zip's name and the
# example page's codebase must all agree with it, or nothing is written.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
fail() { echo "package: $*" >&2; exit 1; }

[ $# -eq 2 ] || fail "usage: package.sh BIN_DIR OUT_DIR"
[ -d "$1" ] || fail "no such folder: $1"
bin=$(cd "$1" && pwd)
out=$2
page=$root/examples/upload.html
command -v gcab >/dev/null || fail "gcab is not installed (Debian package gcab)"
command -v zip >/dev/null || fail "zip is not installed (Debian package zip)"

[ -f "$bin/ovtransfer.dll" ] || fail "missing $bin/ovtransfer.dll (build first)"
version=$(python3 "$here/pe_version.py" "$bin/ovtransfer.dll") \
  || fail "ovtransfer.dll has no readable file version"
commas=${version//./,}

# The INF, filled in with the version.
stage=$(mktemp -d "${TMPDIR:-/tmp}/ovtransfer-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/cab"
inf=$stage/cab/ovtransfer.inf
sed -e "s/@VERSION@/$version/g" -e "s/@FILE_VERSION@/$commas/g" "$here/ovtransfer.inf.in" | sed 's/$/\r/' > "$inf"
if grep -q '@[A-Z_]*@' "$inf"; then fail "ovtransfer.inf.in has a placeholder this script does not fill"; fi

# The files the INF installs, in its order, and a check of each one's section.
mapfile -t files < <(awk '
  { sub(/\r$/, "") }
  /^[ \t]*;/ || /^[ \t]*$/ { next }
  /^\[/ { section = tolower($0); next }
  section == "[add.code]" { split($0, kv, "="); gsub(/[ \t]/, "", kv[1]); print kv[1] }' "$inf")
[ ${#files[@]} -gt 0 ] || fail "ovtransfer.inf lists no files under [Add.Code]"
for f in "${files[@]}"; do
  [ -f "$bin/$f" ] || fail "ovtransfer.inf names $f, but $bin/$f does not exist"
  keys=$(awk -v want="[$(echo "$f" | tr 'A-Z' 'a-z')]" '
    { sub(/\r$/, "") }
    /^\[/ { inside = (tolower($0) == want); next }
    inside && /=/ { k = $0; sub(/=.*/, "", k); v = $0; sub(/^[^=]*=/, "", v); print tolower(k) "=" v }' "$inf")
  grep -qx 'file-win32-x86=thiscab' <<<"$keys" || fail "section [$f] lacks file-win32-x86=thiscab"
  grep -qx "fileversion=$commas" <<<"$keys" || fail "section [$f] lacks FileVersion=$commas"
  grep -qxE 'registerserver=(yes|no)' <<<"$keys" || fail "section [$f] lacks RegisterServer=yes or no"
  own=$(python3 "$here/pe_version.py" "$bin/$f") && rc=0 || rc=$?
  case $rc in
    0) [ "$own" = "$version" ] || fail "$f has file version $own, the package is $version" ;;
    2) ;;  # no version resource: the INF's FileVersion stands for it
    *) fail "$f is not a Windows binary" ;;
  esac
  cp "$bin/$f" "$stage/cab/"
done

# The page a site deploys must ask for this very cabinet and version.
grep -q "codebase=\"ovtransfer.cab#version=$commas\"" "$page" \
  || fail "examples/upload.html does not point its codebase at ovtransfer.cab#version=$commas"

# The cabinet: the INF first, then the files in its order.
( cd "$stage/cab" && gcab -c -z -n "$stage/ovtransfer.cab" ovtransfer.inf "${files[@]}" )
listed=$(gcab -t "$stage/ovtransfer.cab")
for f in ovtransfer.inf "${files[@]}"; do
  grep -qx "$f" <<<"$listed" || fail "ovtransfer.cab lacks $f"
done

# The zip for a manual install: one folder with the files, the INF and the deployment guide.
name=ovtransfer-$version
mkdir -p "$stage/zip/$name"
cp "$stage/cab/"* "$stage/zip/$name/"
cp "$root/docs/deploy.md" "$stage/zip/$name/deploy.md"
( cd "$stage/zip" && zip -q -r -X "$stage/$name.zip" "$name" )

# Only complete outputs replace the previous ones.
mkdir -p "$out"
rm -f "$out/ovtransfer.cab" "$out"/ovtransfer-*.zip
mv "$stage/ovtransfer.cab" "$out/ovtransfer.cab"
mv "$stage/$name.zip" "$out/$name.zip"
echo "package: $out/ovtransfer.cab ($(wc -w <<<"${files[*]}") files + ovtransfer.inf), $out/$name.zip"
