#!/usr/bin/env bash
# Prepares the project's private Wine prefix and registers the given COM servers in it.
# usage: wine-prefix.sh DLL...   (WINEPREFIX defaults to build/wine)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wine}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
run() { "$here/wine-run.sh" "$@"; }

# A prefix made before the 32-bit loader was installed has an empty syswow64 and runs no 32-bit
# program ("could not load kernel32.dll"): make it again.
if [ -f "$WINEPREFIX/.ready" ] && [ -x /usr/lib/wine/wine ] &&
   [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  wineserver -k 2>/dev/null || true
  rm -f "$WINEPREFIX/.ready"
fi

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

# pe_machine FILE: the machine field of a Windows binary's header (8664 x86-64, 014c x86).
pe_machine() {
  local header
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j $((header + 4)) -N2 "$1" | tr -d ' '
}

# Each server registers with the regsvr32 of its own architecture, in that architecture's view
# of the registry: a 32-bit regsvr32 given a 64-bit DLL says nothing and registers nothing.
for dll in "$@"; do
  case $(pe_machine "$dll") in
    8664) regsvr32='C:\windows\system32\regsvr32.exe' ;;
    014c) regsvr32='C:\windows\syswow64\regsvr32.exe' ;;
    *) echo "not a Windows DLL: $dll" >&2; exit 1 ;;
  esac
  if ! run "$regsvr32" /s "$(run winepath.exe -w "$dll" 2>/dev/null)"; then
    echo "registration failed: $dll" >&2
    exit 1
  fi
done
