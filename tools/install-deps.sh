#!/usr/bin/env bash
# Installs what the build and the tests need and is not there yet: Debian packages (with
# MinGW-w64's Win32-threads compilers, Wine and wixl for the Windows build, its installer and its
# tests), and the npm packages of the independent .msg reader used in cross-checks (into tools/node).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libcli11-dev nlohmann-json3-dev
  python3 python3-olefile libemail-outlook-message-perl
  nodejs npm
  g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev mingw-w64-tools wine64 wine wixl msitools
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# nodejs from another source may provide npm itself.
if [ ${#missing[@]} -gt 0 ] && command -v npm >/dev/null; then
  filtered=()
  for package in "${missing[@]}"; do [ "$package" = npm ] || filtered+=("$package"); done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

if [ ! -d tools/node/node_modules/@kenjiuno/msgreader ]; then
  (cd tools/node && npm install --no-audit --no-fund --no-package-lock --loglevel=error)
fi
