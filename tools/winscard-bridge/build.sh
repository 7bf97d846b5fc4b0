#!/bin/sh
# Builds the winscard bridge into a directory:
#   zpcscbridge.dll.so  the winelib library (ELF) that calls libpcsclite;
#   zpcscbridge.dll     its placeholder PE, which tells Wine's loader to load
#                       the .so found on WINEDLLPATH;
#   winscard.dll        a native winscard.dll forwarding to zpcscbridge.
# Put the two .dll files next to the Windows executable, point WINEDLLPATH at
# the directory and set WINEDLLOVERRIDES=winscard=n (see run-with-bridge.sh).
#   build.sh <output directory>
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh <output directory>}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# winegcc and winebuild recognise the export list by its file extension.
cp "$here/zpcscbridge.exports" "$work/zpcscbridge.spec"

winegcc -m64 -shared -O2 -Wall -Wextra -Werror -Wno-unused-parameter \
    -o "$work/zpcscbridge.dll" "$work/zpcscbridge.spec" "$here/bridge.c" -ldl -lpthread
winebuild -m64 --dll --fake-module -E "$work/zpcscbridge.spec" -F zpcscbridge.dll \
    -o "$work/zpcscbridge-placeholder.dll"
x86_64-w64-mingw32-gcc-posix -shared -nostdlib -Wl,--entry,0 \
    -o "$work/winscard.dll" "$here/winscard.def"

cp "$work/zpcscbridge.dll.so" "$out/zpcscbridge.dll.so"
cp "$work/zpcscbridge-placeholder.dll" "$out/zpcscbridge.dll"
cp "$work/winscard.dll" "$out/winscard.dll"
