#!/usr/bin/env bash
# One architecture's cabinet installed as a browser's code download installs it, in a fresh Wine
# prefix, and used for real:
#   install:   make the prefix, unpack the cabinet into its drive C:, register every file the
#              INF marks RegisterServer=yes in the INF's order with that architecture's regsvr32,
#              check the entries in that architecture's view of the registry (and not in the
#              other's), then host examples/upload.html in the page host of the same
#              architecture beside the files and check that its files reach the receiver intact;
#   uninstall: unregister them in the reverse order and check that the classes part of the
#              registry, in both views, is as it was before the installation.
# usage: cab_test.sh install ARCH PREFIX PACKAGE_DIR OVHOST_EXE PAGE RECEIVER
#        cab_test.sh uninstall ARCH PREFIX
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/inf.sh"
cmake_dir=$(cd "$here/../../cmake" && pwd)
source "$cmake_dir/page-uploads.sh"
mode=$1 arch=$2
# Wine takes only an absolute prefix path.
export WINEPREFIX=$(realpath -m "$3")
[ "$WINEPREFIX" != / ] || { echo "refusing prefix /" >&2; exit 1; }
shift 3
case $arch in
  x86) run() { "$cmake_dir/wine-run32.sh" "$@"; }
       regsvr32='C:\windows\syswow64\regsvr32.exe' view=/reg:32 other=/reg:64 ;;
  x64) run() { "$cmake_dir/wine-run.sh" "$@"; }
       regsvr32='C:\windows\system32\regsvr32.exe' view=/reg:64 other=/reg:32 ;;
  *) echo "unknown architecture $arch" >&2; exit 1 ;;
esac
folder=$WINEPREFIX/drive_c/ovtransfer-$arch
win_folder="C:\\ovtransfer-$arch"
inf=$folder/ovtransfer-$arch.inf
state=$WINEPREFIX/../$(basename "$WINEPREFIX").state
mkdir -p "$state"

CLASS='HKCR\CLSID\{33CA74CD-E214-41d1-9E2D-507E7C17079E}'
# reg VIEW ARGS...: reg.exe in one view of the registry.
has_key() { run reg query "$2" "$1" >/dev/null 2>&1; }
lacks_key() { ! has_key "$@"; }
# value VIEW KEY NAME: the data of a value ("" for the default), as reg query prints it.
value() {
  local args=(/ve)
  [ -n "$3" ] && args=(/v "$3")
  run reg query "$2" "${args[@]}" "$1" 2>/dev/null | tr -d '\r' | awk -F'    ' 'NF >= 4 { print $4 }'
}
registered_files() {
  local f
  while read -r f; do
    [ "$(inf_value "$inf" "$f" RegisterServer | tr 'A-Z' 'a-z')" = yes ] && echo "$f"
  done < <(inf_files "$inf")
}
# The classes part of the machine's registry, both views, without Wine's time stamps; the
# server is stopped first so that the file holds everything.
classes_snapshot() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  awk '/^\[/ { keep = ($0 ~ /^\[Software\\\\(Wow6432Node\\\\)?Classes/); sub(/\] [0-9]+$/, "]") }
       /^#time=/ { next }
       keep' "$WINEPREFIX/system.reg" | sort
}

if [ "$mode" = install ]; then
  package=$(realpath "$1") ovhost=$(realpath "$2") page=$(realpath "$3") receiver=$(realpath "$4")
  # A fresh prefix: nothing of an earlier run may be registered in it.
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$state"
  mkdir -p "$state"
  bash "$cmake_dir/wine-prefix.sh"
  check lacks_key $view "$CLASS"
  classes_snapshot > "$state/classes-before"

  mkdir -p "$folder"
  gcab -x -C "$folder" "$package/ovtransfer-$arch.cab"
  [ -f "$inf" ] || { echo "ovtransfer-$arch.cab holds no ovtransfer-$arch.inf" >&2; exit 1; }
  mapfile -t files < <(inf_files "$inf")
  for f in "${files[@]}"; do check test -f "$folder/$f"; done
  mapfile -t servers < <(registered_files)
  check test ${#servers[@]} -ge 4
  for f in "${servers[@]}"; do
    if ! run "$regsvr32" /s "$win_folder\\$f"; then echo "FAILED: regsvr32 $f" >&2; exit 1; fi
    # The class id the INF gives is the one the file registered, pointing at the file, in this
    # architecture's view only.
    clsid=$(inf_value "$inf" "$f" clsid)
    server=$(value $view "HKCR\\CLSID\\$clsid\\InprocServer32" "")
    check test "${server,,}" = "${win_folder,,}\\${f,,}"
    check lacks_key $other "HKCR\\CLSID\\$clsid"
  done
  check test "$(value $view "$CLASS" "")" = "Ov Transfer Class"
  check test "$(value $view "$CLASS\\ProgID" "")" = ovtransfer.OvTransferControl.1
  check test "$(value $view 'HKCR\ovtransfer.OvTransferControl\CurVer' "")" = ovtransfer.OvTransferControl.1
  check test "$(value $view 'HKCR\AppID\ovtransfer.dll' AppID)" = "{2F1E34C6-32EC-46DC-95BE-AFFA3B5B2724}"
  check has_key $view "$CLASS\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"
  check has_key $view "$CLASS\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"
  check has_key $view 'HKCR\TypeLib\{4DE7C373-9926-4FA2-AAD2-80E6073E3EBE}'

  # The receiver on loopback ports of its own, knowing the page's user.
  received=$state/received
  mkdir -p "$received"
  printf 'Demo User:demo-password\n' > "$state/users"
  chmod 600 "$state/users"
  # Uploads go over TLS: a throwaway authority that only this prefix trusts, trusted by the
  # program of the cabinet's own architecture. The page's snapshot address is http://.
  bash "$cmake_dir/tls-authority.sh" "$state/tls" localhost 127.0.0.1
  run "$(dirname "$ovhost")/trust_root.exe" "$(run winepath.exe -w "$state/tls/ca.pem" 2>/dev/null)"
  "$receiver" --root "$received" --users "$state/users" --bind 127.0.0.1 --port 0 --http-port 0 \
    --tls-cert "$state/tls/server.pem" --tls-key "$state/tls/server.key" --http-plain \
    > "$state/receiver.out" 2>&1 &
  receiver_pid=$!
  trap 'kill $receiver_pid 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
  for _ in $(seq 100); do grep -q '^ovreceiver ready' "$state/receiver.out" && break; sleep 0.1; done
  ports=$(sed -n 's/^ovreceiver ready upload=\([0-9]*\) http=\([0-9]*\)$/\1 \2/p' "$state/receiver.out")
  [ -n "$ports" ] || { cat "$state/receiver.out" >&2; exit 1; }
  read -r upload_port http_port <<<"$ports"
  log=$received/.ovreceiver/received.log

  # The page as the site serves it to a browser of this architecture (a 64-bit one gets the
  # other cabinet), with the receiver's ports, kept open while its uploads run.
  media=$WINEPREFIX/drive_c/ovdemo
  python3 "$cmake_dir/demo-media.py" "$media"
  cp "$ovhost" "$folder/ovhost.exe"
  sed -e "s|ovtransfer-x86.cab#|ovtransfer-$arch.cab#|" -e "s|8852|$upload_port|g" -e "s|8853|$http_port|g" \
      -e "s|done(0);|while (!ovt.FileIsExist('C:/ovtransfer-$arch/arrived')) host.sleep(200); done(0);|" \
      "$page" > "$folder/upload.html"
  check grep -q "codebase=\"ovtransfer-$arch.cab#" "$folder/upload.html"
  (cd "$folder" && run "$win_folder\\ovhost.exe" upload.html > "$state/page.out" 2>&1 < /dev/null) &
  page_pid=$!
  # Every file, in at most three minutes (seconds at the page's rate limit); then the page,
  # seeing the mark through the control's own file helper, ends by itself.
  for _ in $(seq 1800); do
    [ "$(page_uploads_arrived "$log")" -ge ${#PAGE_UPLOADS[@]} ] && break
    kill -0 $page_pid 2>/dev/null || break
    sleep 0.1
  done
  touch "$folder/arrived"
  for _ in $(seq 300); do kill -0 $page_pid 2>/dev/null || break; sleep 0.1; done
  check fails kill -0 $page_pid 2>/dev/null
  wineserver -k 2>/dev/null || true
  wait $page_pid 2>/dev/null || true
  output=$(tr -d '\r' < "$state/page.out")
  printf '%s\n' "$output"
  check grep -q '^opened user demo-user$' <<<"$output"
  queued=$(grep -c 'lResult = 0$' <<<"$output" || true)
  calls=$(grep -c 'lResult = ' <<<"$output" || true)
  check test "$queued" -ge 4
  check test "$queued" -eq "$calls"
  check page_uploads_compare "$media" "$received" "$log"
else
  [ -f "$inf" ] || { echo "nothing installed in $WINEPREFIX" >&2; exit 1; }
  mapfile -t servers < <(registered_files)
  for ((i = ${#servers[@]} - 1; i >= 0; i--)); do
    f=${servers[i]}
    if ! run "$regsvr32" /s /u "$win_folder\\$f"; then echo "FAILED: regsvr32 /u $f" >&2; failures=$((failures + 1)); fi
    check lacks_key $view "HKCR\\CLSID\\$(inf_value "$inf" "$f" clsid)"
  done
  for key in "$CLASS" 'HKCR\ovtransfer.OvTransferControl' 'HKCR\ovtransfer.OvTransferControl.1' \
             'HKCR\AppID\{2F1E34C6-32EC-46DC-95BE-AFFA3B5B2724}' 'HKCR\AppID\ovtransfer.dll' \
             'HKCR\TypeLib\{4DE7C373-9926-4FA2-AAD2-80E6073E3EBE}'; do
    check lacks_key $view "$key"
  done
  # Nothing else is left behind either, in either view.
  classes_snapshot > "$state/classes-after"
  if ! diff "$state/classes-before" "$state/classes-after" > "$state/classes-diff"; then
    echo "FAILED: the registry's classes differ from before the installation:" >&2
    head -40 "$state/classes-diff" >&2
    failures=$((failures + 1))
  fi
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "$mode $arch: passed"
