#!/usr/bin/env bash
# Builds the Debian package build-package/varlo-zintabel_<version>_<arch>.deb
# (Release, the program alone, stripped) and checks it the way Debian does:
# lintian with no error and no warning, appstreamcli on the software-centre
# entry and desktop-file-validate on the menu entry.  Install it with
#   sudo apt-get install ./build-package/varlo-zintabel_*.deb
# VZ_PACKAGE_DIR chooses another build directory.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_PACKAGE_PACKAGES[@]}"
dir="${VZ_PACKAGE_DIR:-$VZ_ROOT/build-package}"

# Debian's hardening flags (fortified functions, stack protector, full RELRO,
# immediate binding) as its own packages get them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

echo "== build"
rm -f "$dir"/varlo-zintabel_*.deb
vz_build "$dir" --log-level=NOTICE -DCMAKE_BUILD_TYPE=Release \
    -DVZ_BUILD_TESTS=OFF -DVZ_BUILD_BENCH=OFF -DVZ_SANITIZE=OFF -DVZ_FUZZ=OFF \
    "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/varlo-zintabel_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends Installed-Size

echo "== checks"
contents=$(mktemp -d)
trap 'rm -rf "$contents"' EXIT
dpkg-deb -x "$deb" "$contents"
status=0
echo "-- lintian"
# (lintian's note that it runs as root is left out.)
lintian --fail-on error,warning "$deb" 2> >(grep -v 'root privileges' >&2) || status=1
echo "-- appstreamcli validate"
# The component's ID is the menu entry's name: the project has no domain of its
# own yet to build the reverse-domain ID that AppStream recommends.
appstreamcli validate --no-net --override cid-desktopapp-is-not-rdns=info \
    "$contents/usr/share/metainfo/varlo-zintabel.metainfo.xml" || status=1
echo "-- desktop-file-validate"
desktop-file-validate "$contents/usr/share/applications/varlo-zintabel.desktop" || status=1

if [ $status -ne 0 ]; then
    echo "El paquete $deb no pasa las comprobaciones." >&2
    exit 1
fi
echo "Paquete listo: $deb"
echo "Instálelo con: sudo apt-get install $deb"
