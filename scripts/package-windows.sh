#!/usr/bin/env bash
# Builds the 32-bit Windows product and packs the release zip:
#   dist/tevuio-windows-x86.zip: tevuio.dll, tevutest.exe, morvantel.ini, README.txt
# Usage: scripts/package-windows.sh [OUTPUT_DIR]   (default: dist)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/tools.sh"
dist=${1:-$root/dist}
build="$root/build/win32"
zip_name=tevuio-windows-x86.zip

cmake --preset win32 -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2

for f in tevuio.dll tevutest.exe; do
    if ! i686-w64-mingw32-objdump -f "$build/$f" | grep 'file format pei-i386' >/dev/null; then
        echo "package-windows: $build/$f is not a 32-bit Windows image" >&2
        exit 1
    fi
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$build/tevuio.dll" "$build/tevutest.exe" "$stage/"
i686-w64-mingw32-strip --strip-unneeded "$stage/tevuio.dll" "$stage/tevutest.exe"
# Text files with Windows line ends, for Notepad.
for f in morvantel.ini README.txt; do
    sed 's/\r$//; s/$/\r/' "$root/packaging/$f" >"$stage/$f"
done
touch -d '2000-01-01 00:00:00 UTC' "$stage"/*

mkdir -p "$dist"
rm -f "$dist/$zip_name"
(cd "$stage" && zip -q -X "$dist/$zip_name" tevuio.dll tevutest.exe morvantel.ini README.txt)
echo "package-windows: $dist/$zip_name"
