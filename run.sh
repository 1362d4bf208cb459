#!/usr/bin/env bash
# Quick start. Installs what is missing, builds the optimised configuration, registers the
# plug-in into a registry under build/, then runs cardhost:
#   ./run.sh                         writes build/sample.msg and shows its card
#   ./run.sh show FILE... [--json]   any cardhost command, with its arguments as given
#   ./run.sh set FILE SUBJECT=Hello  ./run.sh scan DIR  ./run.sh log --tail 20  ./run.sh --help
# The build is quiet when there is nothing to build; its output shows when it builds or fails,
# on standard error, so standard output is cardhost's alone.
#   MSGPLUGIN_REGISTRY_DIR=DIR       use another registry folder (default: build/registry)
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"

build() {
  tools/install-deps.sh
  if [ ! -f build/release/CMakeCache.txt ]; then
    # The first build: its output as it goes.
    cmake --preset release >/dev/null
    cmake --build --preset release --target cardhost
    return
  fi
  local output status=0
  output="$(cmake --build --preset release --target cardhost 2>&1)" || status=$?
  if [ "$status" -ne 0 ] || ! grep -q '^ninja: no work to do' <<<"$output"; then
    printf '%s\n' "$output"
  fi
  return "$status"
}

(cd "$root" && build) >&2

export MSGPLUGIN_REGISTRY_DIR="${MSGPLUGIN_REGISTRY_DIR:-$root/build/registry}"
cardhost="$root/build/release/Host/cardhost"
# Registering again is harmless and keeps the registered path that of this checkout's build.
"$cardhost" register >/dev/null

if [ $# -eq 0 ]; then
  "$cardhost" sample "$root/build/sample.msg" >/dev/null
  exec "$cardhost" show "$root/build/sample.msg"
fi
exec "$cardhost" "$@"
