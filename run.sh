#!/usr/bin/env bash
# Quick start. Installs what is missing, builds the optimised configuration, registers the
# plug-in into a registry under build/, then runs cardhost:
#   ./run.sh                         writes build/sample.msg and shows its card
#   ./run.sh show FILE... [--json]   any cardhost command, with its arguments as given
#   ./run.sh set FILE SUBJECT=Hello  ./run.sh scan DIR  ./run.sh log --tail 20  ./run.sh --help
# Build output goes to standard error, so standard output is cardhost's alone.
#   MSGPLUGIN_REGISTRY_DIR=DIR       use another registry folder (default: build/registry)
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"

(
  cd "$root"
  tools/install-deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target cardhost
) >&2

export MSGPLUGIN_REGISTRY_DIR="${MSGPLUGIN_REGISTRY_DIR:-$root/build/registry}"
cardhost="$root/build/release/Host/cardhost"
# Registering again is harmless and keeps the registered path that of this checkout's build.
"$cardhost" register >/dev/null

if [ $# -eq 0 ]; then
  "$cardhost" sample "$root/build/sample.msg" >/dev/null
  exec "$cardhost" show "$root/build/sample.msg"
fi
exec "$cardhost" "$@"
