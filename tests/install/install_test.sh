#!/usr/bin/env bash
# `cmake --install` into a staging root (DESTDIR): exactly the module, its
# p11-kit module file and zentrik-tool are installed, where Debian keeps them;
# the module file is valid pkcs11.conf syntax and names the installed module.
# Then, in a private mount namespace where the staged directories stand in
# for the system's p11-kit module-file and module directories, with a card
# in a private pcscd: `p11-kit list-modules` loads the module from the
# unchanged module file and lists the card's token, p11tool (GnuTLS) sees the
# token, and the installed zentrik-tool finds the installed module without
# --module.
#
# Arguments: BUILD_DIR MODULE_PATH MODULE_FILE_DIR TOOL_PATH, the last three
# as installed (absolute, without DESTDIR).
# Environment: CARDSIM and IFDZENTRIK (the bench's programs); without them,
# or where a mount namespace cannot be made, the p11-kit part is skipped
# (exit 77).
set -uo pipefail

build=$1 module_path=$2 module_file_dir=$3 tool_path=$4
here=$(cd "$(dirname "$0")" && pwd)
bench_sh="$here/../../tools/bench/bench.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

stage=$(mktemp -d /tmp/zentrik-install-XXXXXX)
bench_dir=""
cleanup() {
    if [ -n "$bench_dir" ]; then
        "$bench_sh" stop "$bench_dir" >/dev/null 2>&1
        rm -rf "$bench_dir"
    fi
    rm -rf "$stage"
}
trap cleanup EXIT

# --- the installed files --------------------------------------------------
if ! DESTDIR="$stage/root" cmake --install "$build" >"$stage/install.log" 2>&1; then
    cat "$stage/install.log" >&2
    fail "cmake --install failed"
    exit 1
fi
expected=$(printf '%s\n' "$module_path" "$module_file_dir/zentrik.module" "$tool_path" | sort)
installed=$(cd "$stage/root" && find . \( -type f -o -type l \) | sed 's|^\.||' | sort)
[ "$installed" == "$expected" ] || fail "installed files differ:
expected:
$expected
installed:
$installed"

case "$module_path" in
    /usr/lib/*/pkcs11/libzentrik-pkcs11.so | */lib*/pkcs11/libzentrik-pkcs11.so) ;;
    *) fail "the module is not installed in a pkcs11 library directory: $module_path" ;;
esac

# --- the module file: pkcs11.conf(5) syntax --------------------------------
module_file="$stage/root$module_file_dir/zentrik.module"
module_lines=0
while IFS= read -r line || [ -n "$line" ]; do
    trimmed=$(echo "$line" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//')
    [ -z "$trimmed" ] || [ "${trimmed:0:1}" == "#" ] && continue
    if ! [[ "$trimmed" =~ ^([A-Za-z0-9._-]+)[[:space:]]*:[[:space:]]*(.*)$ ]]; then
        fail "not a 'name: value' line in zentrik.module: $line"
        continue
    fi
    if [ "${BASH_REMATCH[1]}" == "module" ]; then
        module_lines=$((module_lines + 1))
        [ "${BASH_REMATCH[2]}" == "$module_path" ] ||
            fail "module: names '${BASH_REMATCH[2]}', not $module_path"
    fi
done <"$module_file"
[ "$module_lines" -eq 1 ] || fail "zentrik.module has $module_lines module: lines, not 1"
[ -f "$stage/root$module_path" ] || fail "the module file names a module that was not installed"
"$stage/root$tool_path" --help >/dev/null || fail "the installed zentrik-tool does not run"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi

# --- p11-kit sees the staged module -----------------------------------------
if [ -z "${CARDSIM:-}" ] || [ -z "${IFDZENTRIK:-}" ] || ! command -v p11-kit >/dev/null; then
    echo "SKIP: p11-kit part (no bench programs or no p11-kit)"
    exit 77
fi
if ! unshare -m true 2>/dev/null; then
    echo "SKIP: p11-kit part (no mount namespace here)"
    exit 77
fi
system_module_dir=$(dirname "$module_path")
if [ ! -d "$system_module_dir" ] || [ ! -d "$module_file_dir" ]; then
    echo "SKIP: p11-kit part ($system_module_dir or $module_file_dir does not exist here)"
    exit 77
fi

bench_dir=$(mktemp -d /tmp/zentrik-install-bench-XXXXXX)
eval "$("$bench_sh" start --dir "$bench_dir" --no-vpcd --reader plain:"Zentrik Install")" ||
    { fail "the bench did not start"; exit 1; }
image=$("$bench_sh" init "$bench_dir" card.img --version 3.1) || { fail "cardsim init failed"; exit 1; }
"$bench_sh" insert "$bench_dir" "Zentrik Install" "$image" >/dev/null || { fail "insert failed"; exit 1; }
printf 'cache =\n' >"$stage/zentrik.txt"

# Inside the namespace the staged directories replace the system's, so
# p11-kit reads only zentrik.module, as installed, and loads the staged module.
export STAGE="$stage/root" MODULE_FILE_DIR="$module_file_dir" SYSTEM_MODULE_DIR="$system_module_dir"
export TOOL_PATH="$tool_path" ZENTRIK_CONF="$stage/zentrik.txt"
cd "$stage" || exit 1
unshare -m bash -c '
    mount --make-rprivate / &&
    mount --bind "$STAGE$MODULE_FILE_DIR" "$MODULE_FILE_DIR" &&
    mount --bind "$STAGE$SYSTEM_MODULE_DIR" "$SYSTEM_MODULE_DIR" || exit 90
    p11-kit list-modules >list-modules.txt 2>&1 || exit 91
    if command -v p11tool >/dev/null; then p11tool --list-tokens >p11tool.txt 2>&1 || exit 92; fi
    "$STAGE$TOOL_PATH" info >tool-info.txt 2>&1 || exit 93
' 2>namespace.log
status=$?
[ "$status" -eq 0 ] || fail "in the namespace: exit $status ($(cat namespace.log))"

expect_in() {  # FILE TEXT WHAT
    grep -qF -- "$2" "$1" || fail "$3: no '$2' in $1:
$(cat "$1" 2>/dev/null)"
}
expect_in list-modules.txt "zentrik: $module_path" "p11-kit list-modules"
expect_in list-modules.txt "library-description: Zentrik" "p11-kit list-modules"
expect_in list-modules.txt "token: Zentrik 3.1 Ferrix" "p11-kit list-modules"
if command -v p11tool >/dev/null; then
    expect_in p11tool.txt "token=Zentrik%203.1%20Ferrix" "p11tool --list-tokens"
fi
expect_in tool-info.txt "Card in slot 0 (Zentrik Install" "installed zentrik-tool info"
expect_in tool-info.txt "Label:            Zentrik 3.1 Ferrix" "installed zentrik-tool info"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "installed files, module file and p11-kit discovery: all checks passed"
