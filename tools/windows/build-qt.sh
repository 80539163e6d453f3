#!/usr/bin/env bash
# build-qt.sh OUTPUT_DIR
# Makes OUTPUT_DIR/qt-6.4.2-mingw64.tar.xz, the Windows Qt that the Windows
# build uses, from Debian's own qt6-base source: Qt 6.4.2's qtbase for x86_64
# Windows, built with Debian's MinGW-w64 (posix threads), shared, release,
# with Core, Gui, Widgets, Network and Test, the windows, offscreen and
# minimal platform plugins and the vista style. On a 2-core machine this
# takes about 70 processor-minutes (68 min of wall time), plus the download
# of the 46 MB source. Needs root for the packages and the deb-src line.
#
# Debian's source needs two fixes for a Windows build, both here:
#  1. its src/3rdparty/wintab/ was removed (the Debian tarball is free of
#     what it cannot ship), and the windows platform plugin includes
#     wintab.h: the folder wintab/ beside this script goes there, a shim over
#     Wine's LGPL wintab.h and pktdef.h (from Debian's libwine-dev);
#  2. with Direct2D off, qwindows.dll fails to link, since Gui builds the
#     DirectWrite font database only with Direct2D:
#     qt-qwindowsintegration.patch, in src/plugins/platforms/windows/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../common.sh"

out="${1:?usage: build-qt.sh OUTPUT_DIR}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
# The host Qt's tools (moc, rcc, ...) must be the very version built here.
version="$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)"
vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_WINDOWS_PACKAGES[@]}" qt6-base-dev-tools dpkg-dev patch perl
version="$(dpkg-query -W -f='${Version}' qt6-base-dev)"

# Debian's source packages: a deb-src line beside the machine's own archive.
if ! apt-get source --print-uris "qt6-base=$version" >/dev/null 2>&1; then
    uri="$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)"
    uri="${uri:-http://deb.debian.org/debian}"
    suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    echo "Añadiendo las fuentes de Debian ($uri $suite main) a apt"
    cat >/etc/apt/sources.list.d/varlo-zintabel-src.sources <<EOF
Types: deb-src
URIs: $uri
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update
fi

work="$(mktemp -d /tmp/vz-qt-build.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== the source: qt6-base $version"
apt-get source --download-only "qt6-base=$version"
dpkg-source -x qt6-base_*.dsc source >/dev/null
src="$work/source"

echo "== the two fixes"
cp -r "$here/wintab" "$src/src/3rdparty/wintab"
patch "$src/src/plugins/platforms/windows/qwindowsintegration.cpp" <"$here/qt-qwindowsintegration.patch"

echo "== configure"
mkdir build
cd build
prefix="$work/install/qt6-mingw"
QT_SRC="$src" QT_PREFIX="$prefix" TOOLCHAIN="$here/mingw-w64-x86_64.cmake" sh "$here/configure-qtbase.sh"

echo "== build (about 70 processor-minutes)"
nice -n 19 cmake --build . --parallel "$(nproc)"
cmake --install . >/dev/null

echo "== pack"
tar -cJf "$out/qt-6.4.2-mingw64.tar.xz" -C "$work/install" qt6-mingw
sha256sum "$out/qt-6.4.2-mingw64.tar.xz"
