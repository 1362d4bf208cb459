#!/usr/bin/env bash
# Makes a fresh Wine prefix for the Windows tests: nothing registered, no mail client installed.
#   tools/wine/fresh-prefix.sh PREFIX
set -euo pipefail
prefix=$1
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineserver -k 2>/dev/null || true
rm -rf "$prefix"
wine wineboot --init
wineserver -w
test -f "$prefix/system.reg"
