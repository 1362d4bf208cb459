#!/usr/bin/env bash
# Line and branch coverage of the tests, per folder of FileFormats/MsgPlugin/ and Platform/, with
# clang's source-based coverage (the `coverage` preset). Test code (test programs, their support
# files and the platform's test controls' own sources) is left out of the figures.
#
#   tools/coverage.sh                    configure, build, run every test, print the table
#   tools/coverage.sh --report           only the table, from the profiles of the last run
#   tools/coverage.sh --show REGEX       also the annotated source of the files matching REGEX
#                                        (unreached lines marked), e.g. --show 'storage/storage_save'
#   CTEST_ARGS="-R regex" tools/coverage.sh   run only some tests
#
# The profiles are written to build/coverage/profiles (one per process and binary); the merged
# profile is build/coverage/coverage.profdata.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/coverage
profiles=$build/profiles
report_only=0
show=""
while [ $# -gt 0 ]; do
  case "$1" in
    --report) report_only=1 ;;
    --show) show="$2"; shift ;;
    *) echo "usage: $0 [--report] [--show REGEX]" >&2; exit 2 ;;
  esac
  shift
done

# The LLVM tools of the installed clang (Debian names them with the version).
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
tool() {
  if command -v "$1-$clang_major" >/dev/null; then echo "$1-$clang_major"; else echo "$1"; fi
}
profdata=$(tool llvm-profdata)
cov=$(tool llvm-cov)
for needed in "$profdata" "$cov"; do
  command -v "$needed" >/dev/null || { echo "$needed is missing: install llvm-$clang_major" >&2; exit 1; }
done

status=0
if [ "$report_only" = 0 ]; then
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage
  rm -rf "$profiles"
  mkdir -p "$profiles"
  # shellcheck disable=SC2086
  ctest --preset coverage ${CTEST_ARGS:-} || status=$?
fi

shopt -s nullglob
raw=("$profiles"/*.profraw)
if [ ${#raw[@]} -eq 0 ]; then
  echo "no profiles in $profiles: run $0 without --report first" >&2
  exit 1
fi
"$profdata" merge -sparse "${raw[@]}" -o "$build/coverage.profdata"

# Every instrumented program and library of the build.
objects=()
while IFS= read -r file; do
  if readelf -S "$file" 2>/dev/null | grep -q __llvm_covmap; then objects+=("$file"); fi
done < <(find "$build" -type f \( -name '*.so' -o -perm -u+x \) ! -path '*/CMakeFiles/*' | sort)
# The build names its sources relative to its own folder: seen from the sources' root.
args=(-instr-profile="$build/coverage.profdata" -path-equivalence="$PWD/$build/../..,$PWD" "${objects[0]}")
for object in "${objects[@]:1}"; do args+=(-object "$object"); done
ignore='(_test\.cpp|_test_support|_test_util|_test_helper|test_support\.|/testing/|/testdata/|/testserver/|card_stress|/tools/|^/usr/|_resources\.cpp|_idl/)'

"$cov" export -summary-only -ignore-filename-regex="$ignore" "${args[@]}" >"$build/coverage.json"
python3 - "$build/coverage.json" "$PWD" <<'EOF'
import json, os, sys
from collections import defaultdict

data = json.load(open(sys.argv[1]))
root = sys.argv[2].rstrip("/") + "/"
folders = defaultdict(lambda: [0, 0, 0, 0])  # lines covered, lines, branches covered, branches
for f in data["data"][0]["files"]:
    name = os.path.normpath(f["filename"])  # the build names sources relative to its folder
    if not name.startswith(root):
        continue
    relative = name[len(root):]
    if not (relative.startswith("FileFormats/MsgPlugin/") or relative.startswith("Platform/")):
        continue
    folder = os.path.dirname(relative)
    s = f["summary"]
    keys = [folder]
    parts = folder.split("/")
    if parts[0] == "FileFormats":
        keys.append("FileFormats/MsgPlugin (all)")
    else:
        keys.append("Platform (all)")
    for key in keys:
        totals = folders[key]
        totals[0] += s["lines"]["covered"]
        totals[1] += s["lines"]["count"]
        totals[2] += s["branches"]["covered"]
        totals[3] += s["branches"]["count"]

def percent(covered, count):
    return f"{100.0 * covered / count:6.1f}%" if count else "     -"

print(f"{'folder':40} {'lines':>17} {'':>7}  {'branches':>15} {'':>7}")
for folder in sorted(folders, key=lambda k: (k.split("/")[0], "(all)" not in k, k)):
    lc, lt, bc, bt = folders[folder]
    print(f"{folder:40} {lc:8}/{lt:<8} {percent(lc, lt)}  {bc:7}/{bt:<7} {percent(bc, bt)}")
EOF

if [ -n "$show" ]; then
  "$cov" show -ignore-filename-regex="$ignore" -show-branches=count -show-line-counts-or-regions "${args[@]}" \
    $(find "$PWD/FileFormats/MsgPlugin" "$PWD/Platform" -name '*.cpp' -o -name '*.h' | grep -E "$show" | grep -Ev "$ignore")
fi
exit $status
