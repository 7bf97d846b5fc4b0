#!/usr/bin/env bash
# The Windows cross build and its tests under Wine:
#   1. configures build/windows with the mingw-w64 toolchain (Release, tests on)
#      and builds the module DLL and the Windows test executables;
#   2. prepares the build's own Wine prefix (once);
#   3. runs the unit tests of the libraries and the Windows suites through CTest
#      (with the release build's cardsim, when there is one, serving a card to
#      the module's token information tests);
#   4. checks the DLL's binary surface with objdump: exactly the three exports
#      at ordinals 1 to 3, and imports only from the expected system DLLs.
# Exits non-zero on any failure. Usage: scripts/test-windows.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-$root/build/windows}
jobs=$(nproc 2>/dev/null || echo 2)
objdump=x86_64-w64-mingw32-objdump
wine=/usr/lib/wine/wine64

for tool in x86_64-w64-mingw32-g++-posix "$objdump" "$wine"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "test-windows: missing $tool (mingw-w64 and wine64 are needed)" >&2
        exit 1
    fi
done

echo "--- configure $build"
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZENTRIK_TESTS=ON >/dev/null

# Only what this stage runs: the module, the libraries' unit tests and the
# Windows suites (whichever of them the tree defines so far).
wanted="zentrik-pkcs11 libcommon_tests cardterminal_tests cardterminal_disabled_pinpad_tests libamw_tests ctl_scripted_tests libamwferrix_tests libamwferrix_logmasking_tests libpkcs11_tests windows_platform_tests windows_module_load_tests winscard_bridge windows_pcsc_bridge_tests windows_rsa_scenario_tests"
available=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')
targets=()
for target in $wanted; do
    if grep -qx "$target" <<<"$available"; then
        targets+=("$target")
    fi
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "test-windows: none of the targets ($wanted) exist" >&2
    exit 1
fi
echo "--- build ${targets[*]}"
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Stop the prefix's wineserver (started by the tests) on every exit; the
# prefix is ours, so -k touches no other Wine session.
trap 'WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "--- wineboot $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
fi

# The pcscd variant of the module load test serves a simulated card with the
# Linux cardsim, built by the release stage that runs before this one.
cardsim="$root/build/release/tools/cardsim/cardsim"
if [ -x "$cardsim" ]; then
    export ZENTRIK_CARDSIM="$cardsim"
else
    unset ZENTRIK_CARDSIM
    echo "--- no $cardsim: the Windows token information tests skip"
fi

echo "--- tests under Wine"
(cd "$build" && ctest --output-on-failure -j "$jobs" -R '^(libcommon_tests|cardterminal_tests|cardterminal_disabled_pinpad_tests|libamw_tests|ctl_scripted_tests|libamwferrix_tests|libamwferrix_logmasking_tests|libpkcs11_tests|windows_)')

if [ ! -f "$root/module/CMakeLists.txt" ]; then
    echo "--- no module in the tree yet: binary surface check not run"
    exit 0
fi
dll=$(find "$build" -name zentrik-pkcs11.dll -not -path "*/wineprefix/*" | head -n 1)
if [ -z "$dll" ]; then
    echo "test-windows: zentrik-pkcs11.dll was not built" >&2
    exit 1
fi
echo "--- binary surface of $dll"
dump=$("$objdump" -p "$dll")

base=$(sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\).*/\1/p' <<<"$dump")
# "[Ordinal/Name Pointer] Table" lists "[index] name" with ordinal = base + index.
exports=$(awk -v base="${base:-1}" '
    /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && NF == 0 { inside = 0 }
    inside { gsub(/[\[\]]/, " "); print base + $1, $2 }' <<<"$dump" | sort -n)
expected_exports=$'1 C_GetPrivateFunctionList\n2 C_GetFunctionList\n3 C_Initialize'
echo "exports:"
sed 's/^/  /' <<<"$exports"
if [ "$exports" != "$expected_exports" ]; then
    echo "test-windows: exports differ from the expected three at ordinals 1-3" >&2
    exit 1
fi
address_count=$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$dump" | head -n 1)
if [ "$((16#${address_count:-0}))" -ne 3 ]; then
    echo "test-windows: export address table has $address_count entries, not 3" >&2
    exit 1
fi

imports=$(sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' <<<"$dump")
echo "imports:"
sed 's/^/  /' <<<"$imports"
unexpected=$(grep -viE '^(kernel32|msvcrt|shell32|winscard|bcrypt|advapi32)\.dll$' <<<"$imports" || true)
if [ -n "$unexpected" ]; then
    echo "test-windows: unexpected DLL dependencies: $unexpected" >&2
    exit 1
fi
echo "--- Windows stage passed"
