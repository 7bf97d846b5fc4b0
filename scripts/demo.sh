#!/usr/bin/env bash
# The demo: installs what it needs, builds the release configuration and
# shows the module through a real Cryptoki client.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh"

echo "=== building the release configuration ==="
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/release" --target zentrik-pkcs11 -j "$jobs"

module="$root/build/release/module/libzentrik-pkcs11.so"
echo "=== pkcs11-tool --module $module --show-info ==="
pkcs11-tool --module "$module" --show-info
