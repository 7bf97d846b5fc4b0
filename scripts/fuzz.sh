#!/usr/bin/env bash
# Builds the libFuzzer targets (build/fuzz, clang 14) and runs each for
# SECONDS (default 60) on its seeds and its working corpus, then reports the
# executions and coverage of every target from libFuzzer's final statistics.
# Exits non-zero when a target crashes, leaks, times out or cannot be built;
# crashing inputs are kept in build/fuzz/artifacts/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
all_targets=(tlv configuration cachefile objectheader cardresponses certificate templates cmapfile)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

for tool in clang-14 clang++-14; do
  if ! command -v "$tool" >/dev/null; then
    echo "fuzz: $tool not found; scripts/install-deps.sh installs it" >&2
    exit 1
  fi
done

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -DZENTRIK_FUZZ=ON -DZENTRIK_TESTS=OFF -DZENTRIK_TOOLS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}"

"$root/fuzz/make-corpus.sh" "$build/seeds" >/dev/null
mkdir -p "$build/artifacts" "$build/logs"
failed=()
printf '%-15s %12s %10s %8s %8s\n' target executions exec/s cov corpus > "$build/logs/summary.txt"
for t in "${targets[@]}"; do
  mkdir -p "$build/work/$t"
  log="$build/logs/$t.log"
  echo "=== fuzz_$t for ${seconds}s ==="
  status=0
  (cd "$build" && ./fuzz/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=4096 -artifact_prefix="$build/artifacts/$t-" \
      "$build/work/$t" "$build/seeds/$t") >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(grep -oE 'corp: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-15s %12s %10s %8s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${corpus:-?}" \
    | tee -a "$build/logs/summary.txt"
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$t FAILED (exit $status); log: $log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || true
    failed+=("$t")
  fi
done
echo
cat "$build/logs/summary.txt"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failing targets: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all targets ran ${seconds}s without a failure"
