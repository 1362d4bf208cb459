#!/usr/bin/env bash
# Makes a fresh Wine prefix for the Windows tests (nothing registered, no mail client) and leaves
# its wineserver running, with Wine's own services started once, until `wineserver -k`.
#   tools/wine/fresh-prefix.sh PREFIX
#
# Debian's wineserver stops as soon as its last program ends (-p0), and the next program starts
# another, with Wine's services; a program that comes while a server is stopping is ended with it
# (exit code 1, no output). A server kept up for the whole run never stops under a test.
set -euo pipefail
prefix=$1
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
rm -rf "$prefix"
wine wineboot --init </dev/null >/dev/null 2>&1
wineserver -w
test -f "$prefix/system.reg"
# Nothing of the server's or the services' may hold the caller's output open.
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
