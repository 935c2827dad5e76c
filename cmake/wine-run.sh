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
# The prefix's server and its service processes outlive the program: they must not hold the
# caller's output open, or a caller reading it (CTest, a pipe) waits for them long after the
# program ended, nor any other descriptor of the caller (a lock it holds would stay taken).
detached() {
  (for fd in /proc/$BASHPID/fd/*; do
     n=${fd##*/}
     case $n in 0 | 1 | 2 | 255) ;; *) eval "exec $n>&-" ;; esac
   done
   exec "$@") </dev/null >/dev/null 2>&1
}
# The server stays 120 s after its last program ("-p 120" with a space would keep it for ever).
if detached wineserver -p120; then
  detached "$WINELOADER" cmd.exe /c exit
fi
exec "$WINELOADER" "$@"
