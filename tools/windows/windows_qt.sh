# The Windows Qt that the Windows build links: Qt 6.4.2's qtbase, built for
# x86_64 Windows with MinGW-w64 from Debian's own qt6-base source (LGPL).
# Sourced by tools/windows.sh and tools/test.sh after common.sh.
# shellcheck shell=bash

VZ_QT_ARCHIVE_NAME=qt-6.4.2-mingw64.tar.xz
VZ_QT_SHA256=e4ccea36f0efc59128efa1b45019a295dc13ec6f4439bfe7fab57b6dbb1f27d4
VZ_QT_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/varlo-zintabel/qt-6.4.2-mingw64"
VZ_WINDOWS_TOOLS="$VZ_ROOT/tools/windows"

# True when FILE is the archive this build expects.
vz_qt_archive_ok() {
    [ -f "$1" ] && echo "$VZ_QT_SHA256  $1" | sha256sum --check --status
}

# Unpacks a checked archive into the cache; the stamp records which one.
vz_qt_unpack() {
    local archive="$1"
    echo "Desempaquetando el Qt para Windows de $archive en $VZ_QT_CACHE" >&2
    rm -rf "$VZ_QT_CACHE"
    mkdir -p "$VZ_QT_CACHE"
    tar -xJf "$archive" -C "$VZ_QT_CACHE"
    echo "$VZ_QT_SHA256" >"$VZ_QT_CACHE/sha256"
}

# Prints the prefix of the Windows Qt, finding it in this order: the copy
# already unpacked in the user's cache; the archive in ../shared/windows/
# beside the checkout (how CI gets it); else it is built once from Debian's
# source with tools/windows/build-qt.sh (about 70 processor-minutes: more
# than an hour on two cores) and kept in the cache. The repository keeps the
# recipe and the archive's checksum, never the archive.
vz_windows_qt() {
    local prefix="$VZ_QT_CACHE/qt6-mingw"
    if [ "$(cat "$VZ_QT_CACHE/sha256" 2>/dev/null)" = "$VZ_QT_SHA256" ] \
        && [ -f "$prefix/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
        echo "$prefix"
        return 0
    fi
    local archive="$VZ_ROOT/../shared/windows/$VZ_QT_ARCHIVE_NAME"
    if vz_qt_archive_ok "$archive"; then
        vz_qt_unpack "$archive"
        echo "$prefix"
        return 0
    fi
    [ -s "$archive" ] && echo "Aviso: $archive no es el archivo esperado (sha256); no se usa." >&2
    echo "No hay un Qt para Windows ya hecho: se compila desde las fuentes de Debian" \
        "(unos 70 minutos de procesador, más de una hora con dos)." >&2
    local built
    built=$(mktemp -d)
    "$VZ_WINDOWS_TOOLS/build-qt.sh" "$built" >&2 || return 1
    # What this machine built is kept as it is, whatever its checksum.
    rm -rf "$VZ_QT_CACHE"
    mkdir -p "$VZ_QT_CACHE"
    tar -xJf "$built/$VZ_QT_ARCHIVE_NAME" -C "$VZ_QT_CACHE"
    echo "$VZ_QT_SHA256" >"$VZ_QT_CACHE/sha256"
    rm -rf "$built"
    echo "$prefix"
}

# vz_windows_configure <build dir> [cmake options...]
# Configures a cross build for Windows against that Qt. Qt's own toolchain
# file remembers the path of the toolchain it was built with; the project's
# copy of that file is chained in its place.
vz_windows_configure() {
    local dir="$1" qt
    shift
    qt=$(vz_windows_qt) || return 1
    cmake -S "$VZ_ROOT" -B "$dir" -G Ninja \
        "-DCMAKE_TOOLCHAIN_FILE=$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
        "-DQT_CHAINLOAD_TOOLCHAIN_FILE=$VZ_WINDOWS_TOOLS/mingw-w64-x86_64.cmake" \
        -DQT_HOST_PATH=/usr "-DQT_HOST_PATH_CMAKE_DIR=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
        "$@"
}
