#!/usr/bin/env bash
# Runs a Windows program in the project's private Wine prefix (never the user's own).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${WINEPREFIX:=$here/../build/wine}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export ALSA_CONFIG_PATH=$here/alsa-null.conf
export LANG=C.UTF-8
# The 64-bit loader by default: once the 32-bit loader is installed, plain `wine` would run
# builtins (cscript, regsvr32, reg) as 32-bit programs that cannot see 64-bit COM servers.
: "${WINELOADER:=/usr/lib/wine/wine64}"
export WINELOADER
# The prefix's server and its service processes must not hold the caller's output open,
# or a caller reading that output (CTest, a pipe) waits for them long after the program ended.
if wineserver -p120 </dev/null >/dev/null 2>&1; then
  "$WINELOADER" cmd.exe /c exit </dev/null >/dev/null 2>&1
fi
exec "$WINELOADER" "$@"
