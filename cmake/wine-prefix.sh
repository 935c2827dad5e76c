#!/usr/bin/env bash
# Prepares the project's private Wine prefix and registers the given COM servers in it.
# usage: wine-prefix.sh DLL...   (WINEPREFIX defaults to build/wine)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wine}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
run() { "$here/wine-run.sh" "$@"; }

if [ ! -f "$WINEPREFIX/.ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  "${WINELOADER:-/usr/lib/wine/wine64}" wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  # No display needed: the null driver runs windows, dialogs and messages headless.
  # A crash must print a backtrace and exit, never wait on a dialog.
  run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  run reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # Programs started so far (the desktop among them) chose their graphics driver without these
  # settings: end them all, saving the registry, so that every later one starts with the null driver.
  wineserver -k
  wineserver -w
  grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" || { echo "prefix set-up: settings were not saved" >&2; exit 1; }
  touch "$WINEPREFIX/.ready"
fi

for dll in "$@"; do
  if ! run regsvr32 /s "$(run winepath.exe -w "$dll" 2>/dev/null)"; then
    echo "registration failed: $dll" >&2
    exit 1
  fi
done
