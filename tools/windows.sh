#!/usr/bin/env bash
# Builds the program for Windows on this Debian machine (a MinGW-w64 cross
# build against the Windows Qt of tools/windows/) and lays out
#   build-windows/varlo-zintabel/                 the program's folder: the .exe,
#                                                 the DLLs, plugins, Spanish
#                                                 translations and fonts it needs
#   build-windows/varlo-zintabel-1.00-win64.zip   that folder, zipped
#   build-windows/varlo-zintabel-1.00-win64-setup.exe
#                                                 the setup program of the same
#                                                 files (CPack's NSIS generator)
# Installs what is missing first. VZ_WINDOWS_DIR chooses another build folder.
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$VZ_ROOT/tools/windows/windows_qt.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_WINDOWS_PACKAGES[@]}"
dir="${VZ_WINDOWS_DIR:-$VZ_ROOT/build-windows}"
version="$(sed -n 's/^set(VZ_VERSION_TEXT "\(.*\)")$/\1/p' "$VZ_ROOT/CMakeLists.txt")"

echo "== build"
# The tests are configured too (tools/test.sh runs them under Wine from this
# same folder), but only the program is built here.
vz_windows_configure "$dir" --log-level=NOTICE -DCMAKE_BUILD_TYPE=Release -DVZ_BUILD_TESTS=ON -DVZ_BUILD_BENCH=OFF
cmake --build "$dir" --parallel "$(nproc)" --target varlo-zintabel

echo "== the program's folder and its zip"
folder="$dir/varlo-zintabel"
rm -rf "$folder"
cmake --install "$dir" --prefix "$folder" >/dev/null
zipfile="$dir/varlo-zintabel-$version-win64.zip"
rm -f "$zipfile"
(cd "$dir" && zip -q -r -9 -X "$zipfile" varlo-zintabel)

echo "== the setup program"
(cd "$dir" && cpack -G NSIS >/dev/null)
setup="$dir/varlo-zintabel-$version-win64-setup.exe"
echo "Carpeta: $folder"
echo "Zip: $zipfile ($(du -k "$zipfile" | cut -f1) KiB)"
echo "Instalador: $setup ($(du -k "$setup" | cut -f1) KiB)"
