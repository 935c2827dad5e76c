#!/usr/bin/env bash
# ovtransfer.cab installed as a browser's code download installs it, in a fresh Wine prefix.
#   install:   make the prefix, unpack the cabinet into its drive C:, register every file the
#              INF marks RegisterServer=yes, check the entries, run the example page in the page
#              host beside the files;
#   uninstall: unregister them again and check that the keys are gone.
# usage: cab_test.sh install PACKAGE_DIR OVHOST_EXE PAGE PREFIX
#        cab_test.sh uninstall PREFIX
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
cmake_dir=$(cd "$here/../../cmake" && pwd)
mode=$1
shift
if [ "$mode" = install ]; then
  package=$(realpath "$1") ovhost=$(realpath "$2") page=$(realpath "$3")
  shift 3
fi
[ -n "${1:-}" ] || { echo "no prefix given" >&2; exit 1; }
# Wine takes only an absolute prefix path.
export WINEPREFIX=$(realpath -m "$1")
[ "$WINEPREFIX" != / ] || { echo "refusing prefix /" >&2; exit 1; }
run() { "$cmake_dir/wine-run.sh" "$@"; }
folder=$WINEPREFIX/drive_c/ovtransfer-cab
win_folder='C:\ovtransfer-cab'

CLASS='HKCR\CLSID\{33CA74CD-E214-41d1-9E2D-507E7C17079E}'
REMOVED_KEYS=("$CLASS" 'HKCR\ovtransfer.OvTransferControl' 'HKCR\ovtransfer.OvTransferControl.1'
              'HKCR\AppID\{2F1E34C6-32EC-46DC-95BE-AFFA3B5B2724}' 'HKCR\AppID\ovtransfer.dll'
              'HKCR\TypeLib\{4DE7C373-9926-4FA2-AAD2-80E6073E3EBE}')
has_key() { run reg query "$1" >/dev/null 2>&1; }
lacks_key() { ! has_key "$1"; }
# value KEY NAME: the data of a value ("" for the default), as reg query prints it.
value() {
  local args=(/ve)
  [ -n "$2" ] && args=(/v "$2")
  run reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r' | awk -F'    ' 'NF >= 4 { print $4 }'
}
registered_files() {
  local f
  while read -r f; do
    [ "$(inf_value "$folder/ovtransfer.inf" "$f" RegisterServer | tr 'A-Z' 'a-z')" = yes ] && echo "$f"
  done < <(inf_files "$folder/ovtransfer.inf")
}

if [ "$mode" = install ]; then
  # A fresh prefix: nothing of an earlier run may be registered in it.
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  bash "$cmake_dir/wine-prefix.sh"
  check lacks_key "$CLASS"

  mkdir -p "$folder"
  gcab -x -C "$folder" "$package/ovtransfer.cab"
  mapfile -t files < <(inf_files "$folder/ovtransfer.inf")
  for f in "${files[@]}"; do check test -f "$folder/$f"; done
  mapfile -t servers < <(registered_files)
  check test "${servers[*]}" = "ovnetsupport.dll ovtransfer.dll"
  for f in "${servers[@]}"; do
    if ! run regsvr32 /s "$win_folder\\$f"; then echo "FAILED: regsvr32 $f" >&2; exit 1; fi
    # The class id the INF gives is the one the file registered, pointing at the file.
    clsid=$(inf_value "$folder/ovtransfer.inf" "$f" clsid)
    server=$(value "HKCR\\CLSID\\$clsid\\InprocServer32" "")
    check test "${server,,}" = "${win_folder,,}\\${f,,}"
  done

  check test "$(value "$CLASS" "")" = "Ov Transfer Class"
  check test "$(value "$CLASS\\ProgID" "")" = ovtransfer.OvTransferControl.1
  check test "$(value 'HKCR\ovtransfer.OvTransferControl\CurVer' "")" = ovtransfer.OvTransferControl.1
  check test "$(value 'HKCR\AppID\ovtransfer.dll' AppID)" = "{2F1E34C6-32EC-46DC-95BE-AFFA3B5B2724}"
  check has_key "$CLASS\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"
  check has_key "$CLASS\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"
  for key in "${REMOVED_KEYS[@]}"; do check has_key "$key"; done

  # The page as a site deploys it, opened by the page host beside the installed files, with
  # the files it queues in place.
  python3 "$cmake_dir/demo-media.py" "$WINEPREFIX/drive_c/ovdemo"
  cp "$ovhost" "$folder/ovhost.exe"
  cp "$page" "$folder/upload.html"
  status=0
  output=$(cd "$folder" && run "$win_folder\\ovhost.exe" upload.html 2>&1 </dev/null) || status=$?
  output=$(tr -d '\r' <<<"$output")
  printf '%s\n' "$output"
  check test "$status" -eq 0
  check grep -q '^opened user demo-user$' <<<"$output"
  queued=$(grep -c 'lResult = 0$' <<<"$output" || true)
  calls=$(grep -c 'lResult = ' <<<"$output" || true)
  check test "$queued" -ge 1
  check test "$queued" -eq "$calls"
else
  [ -f "$folder/ovtransfer.inf" ] || { echo "nothing installed in $WINEPREFIX" >&2; exit 1; }
  mapfile -t servers < <(registered_files)
  for f in "${servers[@]}"; do
    if ! run regsvr32 /s /u "$win_folder\\$f"; then echo "FAILED: regsvr32 /u $f" >&2; failures=$((failures + 1)); fi
    check lacks_key "HKCR\\CLSID\\$(inf_value "$folder/ovtransfer.inf" "$f" clsid)"
  done
  for key in "${REMOVED_KEYS[@]}"; do check lacks_key "$key"; done
  # The parents stay.
  check has_key 'HKCR\CLSID'
  check has_key 'HKCR\AppID'
  wineserver -k 2>/dev/null || true
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "$mode: passed"
