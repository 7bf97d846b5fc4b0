#!/usr/bin/env bash
# Benchmarks of the module on the PC/SC bench (not part of the test suite):
# builds the release configuration and runs tools/perf with the given
# options (see tools/perf/perf_main.cpp), printing two Markdown tables: the
# APDUs, bytes and wall time of each call against a raw PC/SC replay of the
# same commands, and concurrent signing and memory; then the everyday client
# workloads of scripts/workloads.sh (pkcs11-tool, NSS, GnuTLS, OpenSSL) with
# and without the card hold. docs/performance.md explains them. About ten
# minutes with the defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target zentrik-perf zentrik-pkcs11 cardsim ifdzentrik -j "$jobs" >/dev/null
"$build/tools/perf/zentrik-perf" "$@"
bash "$root/scripts/workloads.sh" "$@"
