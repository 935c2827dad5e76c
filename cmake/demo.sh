#!/usr/bin/env bash
# The main job: the receiver on loopback, the example page in the page host on a virtual
# screen uploading its files for real, screenshots of the control, and a table of what was
# sent against what arrived. Ends non-zero if anything is missing or differs.
# usage: demo.sh BIN_DIR RECEIVER
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
bin=$(cd "$1" && pwd)
receiver=$(realpath "$2")
out=$root/build/demo
mkdir -p "$out"
# The control measures and captures the video in its media helper beside it.
[ -f "$bin/ovprobe.exe" ] || { echo "demo: $bin/ovprobe.exe is missing" >&2; exit 1; }

# A prefix of its own that draws on the virtual screen (the test prefix has no display).
export WINEPREFIX=$root/build/wine-demo
bash "$here/wine-prefix.sh" "$bin/ovtransfer.dll" "$bin/ovnetsupport.dll" "$bin/ovengine.dll" "$bin/ovmediainfo.dll"
"$here/wine-run.sh" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
# The dialog font and Wine's own user-interface font, drawn with a font that has Chinese.
for face in "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "SimSun"; do
  "$here/wine-run.sh" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f \
    >/dev/null 2>&1
done
# One upload at a time, so the picture shows rows done, uploading and queued.
"$here/wine-run.sh" reg add 'HKCU\Software\Corvane\Tessaly' /v MaxTaskCount /t REG_DWORD /d 1 /f >/dev/null 2>&1
# A fresh start: the page's files, no queue left from an earlier run.
media=$WINEPREFIX/drive_c/ovdemo
rm -rf "$media" "$WINEPREFIX"/drive_c/windows/ovtransfer
python3 "$here/demo-media.py" "$media"

# The receiver, knowing the page's user, with a certificate for the page's server names
# (localhost and 127.0.0.1) from a throwaway authority that only the demo's prefix trusts.
received=$out/received
rm -rf "$received" "$out/tls"
mkdir -p "$received"
printf 'Demo User:demo-password\n' >"$out/users"
chmod 600 "$out/users"
bash "$here/tls-authority.sh" "$out/tls" localhost 127.0.0.1
log=$received/.ovreceiver/received.log
# The page's snapshot address is http://, so that endpoint stays in clear.
"$receiver" --root "$received" --users "$out/users" --bind 127.0.0.1 --port 8852 --http-port 8853 \
  --tls-cert "$out/tls/server.pem" --tls-key "$out/tls/server.key" --http-plain >"$out/receiver.out" 2>&1 &
receiver_pid=$!

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb $receiver_pid 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
export DISPLAY=$display
# Processes of the prefix that started without a display keep the null driver: start afresh.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
for _ in $(seq 50); do grep -q '^ovreceiver ready' "$out/receiver.out" && break; sleep 0.2; done
grep -q '^ovreceiver ready' "$out/receiver.out" || { cat "$out/receiver.out"; exit 1; }
# The authority becomes a root of this prefix while its server runs (never of the host).
"$here/wine-run.sh" "$bin/trust_root.exe" "Z:${out//\//\\}\\tls\\ca.pem"
# What the upload port speaks, as a client trusting only the demo's authority sees it.
channel=$(openssl s_client -connect 127.0.0.1:8852 -servername localhost -CAfile "$out/tls/ca.pem" \
  -verify_return_error -verify_hostname localhost </dev/null 2>/dev/null | awk '/^New, TLS/ {sub(/,$/, "", $2); print $2; exit}')

source "$here/page-uploads.sh"
arrived() { page_uploads_arrived "$log"; }

# The page as a site deploys it, kept open while its uploads run.
sed 's|done(0);|host.sleep(180000); done(0);|' "$root/examples/upload.html" >"$out/upload.html"
(cd "$out" && "$here/wine-run.sh" "$bin/ovhost.exe" upload.html >"$out/page.out" 2>"$out/page.err") &
page=$!
shot() { /usr/bin/import -display "$display" -window root "$out/$1"; }

# While the video uploads: the note done, the video's bar part-way, the rest queued.
for _ in $(seq 600); do [ "$(arrived)" -ge 1 ] && break; sleep 0.1; done
sleep 4
shot control.png
for _ in $(seq 1200); do [ "$(arrived)" -ge ${#PAGE_UPLOADS[@]} ] && break; sleep 0.1; done
# The playing time and the still are posted as the video's upload starts; give them a moment.
for _ in $(seq 100); do grep -q '^STILL' "$log" 2>/dev/null && break; sleep 0.1; done
sleep 1.5
shot control-done.png
kill $page 2>/dev/null || true
wineserver -k 2>/dev/null || true
kill -TERM $receiver_pid && wait $receiver_pid || true
tr -d '\r' <"$out/page.out"

status=0
page_uploads_compare "$media" "$received" "$log" || status=1
if [ -n "$channel" ]; then
  printf '\nupload channel: %s, the receiver'"'"'s certificate for localhost and 127.0.0.1 checked by the engine\n' "$channel"
else
  printf '\nupload channel: NOT TLS\n'
  status=1
fi
printf '\nreported to the snapshot address (plain http, as the example page gives it):\n'
awk -F'\t' '$1 == "DURATION" {print "  playing time " $3 " s  (" $2 ")"} $1 == "STILL" {print "  still " $5 ", " $4 " bytes, playing time " $3 " s"}' \
  "$log" 2>/dev/null || true
grep -q '^STILL' "$log" 2>/dev/null || { echo "  no still arrived"; status=1; }
# The picture while uploading holds bars of both row colours (a done row and a running one).
read -r even odd < <(/usr/bin/convert "$out/control.png" -depth 8 txt:- |
  awk '/#A1CF68/ {a++} /#00A458/ {b++} END {print a + 0, b + 0}')
printf '\nprogress bars on the screenshot: %s pixels RGB(161,207,104), %s pixels RGB(0,164,88)\n' "$even" "$odd"
[ "$even" -gt 100 ] && [ "$odd" -gt 10 ] || { echo "  the bars are missing from the screenshot"; status=1; }
echo "screenshots: $out/control.png (while uploading), $out/control-done.png (all done)"
exit $status
