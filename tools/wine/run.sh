#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, quietly and without a display, in the build's
# own prefix: WINEPREFIX when set, else the folder "wineprefix" beside the program's "bin".
#   tools/wine/run.sh build/windows/bin/program.exe [arguments...]
set -euo pipefail
program=$1
shift
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="$(cd "$(dirname "$program")/.." && pwd)/wineprefix"
fi
export WINEPREFIX
export WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installers, and never a window on a display.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY
exec wine "$program" "$@"
