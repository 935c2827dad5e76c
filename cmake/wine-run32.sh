#!/usr/bin/env bash
# Runs a Windows program with Wine's 32-bit loader in the project's prefix: builtins named
# without a path (cscript, regsvr32, reg) then run as 32-bit programs.
export WINELOADER=/usr/lib/wine/wine
exec "$(dirname "${BASH_SOURCE[0]}")/wine-run.sh" "$@"
