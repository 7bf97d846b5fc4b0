#!/usr/bin/env bash
# Runs the module's in-process test suites under valgrind's memcheck (leaks
# included); exits non-zero when valgrind reports anything. Uses the release
# build (build/release, RelWithDebInfo) and each test's CTest environment.
# Optional arguments: a subset of the suite names below.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/release
suites=(libcommon_tests libcommon_posix_tests libcommon_logger_on_tests libcommon_logger_absent_tests
        libcommon_logger_zero_tests cardterminal_tests cardterminal_disabled_pinpad_tests
        libamw_tests libamw_cachelog_tests libamwferrix_tests libamwferrix_logmasking_tests
        libamwferrix_simulator_tests libpkcs11_tests cachedtoken_tests keys_tests objects_tests
        token_engine_tests token_trace_tests)
[ $# -gt 0 ] && suites=("$@")

command -v valgrind >/dev/null || { echo "valgrind is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Targets are the suite names, except the logger variants: one executable
# registered once per logger mode.
targets=$(printf '%s\n' "${suites[@]}" | sed 's/^libcommon_logger_.*_tests$/libcommon_logger_tests/' | sort -u)
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target $targets

# name<TAB>working directory<TAB>environment (K=V, NUL-free, ";"-joined)<TAB>command...
plan=$(cd "$build" && ctest --show-only=json-v1 | python3 -c '
import json, sys
wanted = sys.argv[1:]
tests = {t["name"]: t for t in json.load(sys.stdin)["tests"]}
for name in wanted:
    t = tests[name]
    props = {p["name"]: p["value"] for p in t.get("properties", [])}
    env = props.get("ENVIRONMENT", [])
    print("\t".join([name, props.get("WORKING_DIRECTORY", "."), ";".join(env)] + t["command"]))' "${suites[@]}")

failed=()
start=$SECONDS
while IFS=$'\t' read -r name workdir envs cmd; do
  echo "=== $name ==="
  log=$build/valgrind-$name.log
  env_args=()
  IFS=';' read -ra env_args <<<"$envs"
  if (cd "$workdir" && env "${env_args[@]}" valgrind --error-exitcode=1 --leak-check=full --suppressions="$root/scripts/valgrind.supp" \
        --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
        --track-origins=yes --log-file="$log" $cmd >/dev/null 2>&1); then
    echo "clean ($(grep -m1 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //'))"
  else
    echo "FAILED: see $log"
    failed+=("$name")
  fi
done <<<"$plan"
echo "valgrind: ${#suites[@]} suites in $((SECONDS - start)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "valgrind found errors in: ${failed[*]}" >&2
  exit 1
fi
echo "valgrind: all clean"
