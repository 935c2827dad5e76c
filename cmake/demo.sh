#!/usr/bin/env bash
# The main job: the example page in the page host, on a virtual screen, with a screenshot
# of the control. usage: demo.sh BIN_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
bin=$(cd "$1" && pwd)
out=$root/build/demo
mkdir -p "$out"

# A prefix of its own that draws on the virtual screen (the test prefix has no display).
export WINEPREFIX=$root/build/wine-demo
bash "$here/wine-prefix.sh" "$bin/ovtransfer.dll" "$bin/ovnetsupport.dll"
"$here/wine-run.sh" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
# The dialog font and Wine's own user-interface font, drawn with a font that has Chinese.
for face in "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "SimSun"; do
  "$here/wine-run.sh" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f \
    >/dev/null 2>&1
done

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
export DISPLAY=$display
sleep 1

# The page as a site deploys it, kept on screen a few seconds for the picture.
sed 's|done(0);|host.sleep(6000); done(0);|' "$root/examples/upload.html" > "$out/upload.html"
( sleep 8; /usr/bin/import -display "$display" -window root "$out/control.png" ) &
shot=$!
cd "$out"
status=0
"$here/wine-run.sh" "$bin/ovhost.exe" upload.html || status=$?
wait $shot || true
echo "page exit code: $status; screenshot: $out/control.png"
exit $status
