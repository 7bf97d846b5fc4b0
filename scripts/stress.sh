#!/usr/bin/env bash
# The long stress run: 4 processes x 2 threads on one simulated card through
# a private pcscd, ROUNDS rounds each (default 500). Builds what it needs in
# build/release and exits non-zero on any error, stale read or lost object.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
rounds=${1:-500}
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/release" --target zentrik-stress -j "$(nproc 2>/dev/null || echo 2)"
exec "$root/build/release/tools/stress/zentrik-stress" --processes 4 --threads 2 --rounds "$rounds"
