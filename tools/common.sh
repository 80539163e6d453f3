# Shared by the scripts in tools/: package checks and the build.
# shellcheck shell=bash

VZ_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# To build and run the program.
VZ_BUILD_PACKAGES=(build-essential cmake ninja-build qt6-base-dev qt6-qpa-plugins qt6-translations-l10n libgl-dev fonts-dejavu-core fonts-freefont-ttf)
# The Wayland display plugin, so that the program runs natively on a Wayland
# desktop, and libxkbcommon's headers, without which every configure reports
# a missing XKB (Qt looks for it; the program does not need it).
VZ_BUILD_PACKAGES+=(qt6-wayland libxkbcommon-dev)
# libxcb's headers: a long copy is handed to other X11 programs through it.
VZ_BUILD_PACKAGES+=(libxcb1-dev)
# avahi-daemon's client library: copies find each other through it.
VZ_BUILD_PACKAGES+=(pkg-config libavahi-client-dev)
# Glyphs for every script a peer may write: Chinese, Japanese and Korean
# (WenQuanYi Micro Hei, 1.6 MB, where Noto CJK takes 57 MB) and emoji
# (Symbola); the package recommends them.
VZ_BUILD_PACKAGES+=(fonts-wqy-microhei fonts-symbola)
# To build and check the Debian package (tools/package.sh).
VZ_PACKAGE_PACKAGES=(dpkg-dev file lintian appstream desktop-file-utils)
# To run the whole test suite as well.
VZ_TEST_PACKAGES=(xvfb xauth xdotool xclip imagemagick valgrind netcat-openbsd iproute2 unrtf pandoc clang libclang-rt-14-dev weston tesseract-ocr tesseract-ocr-eng)
# The screen-reader step of the end-to-end test: the accessibility bus and
# the client library that screen readers use.
VZ_TEST_PACKAGES+=(python3-pyatspi at-spi2-core dbus dbus-daemon)
# What Orca says of arriving messages (tests/e2e/orca_speech.sh): Orca itself,
# a notification service whose notifications it speaks, and xmessage as the
# other program that takes the focus.
VZ_TEST_PACKAGES+=(orca notification-daemon x11-utils)
# The tests of finding other copies start avahi-daemon themselves, each in
# network namespaces of its own, and look with avahi-browse. The daemon is
# installed so that it never starts by itself (vz_ensure_packages): its
# announcements would leave this machine.
VZ_TEST_PACKAGES+=(avahi-daemon avahi-utils)
# Qt's private headers, through which the tests switch accessibility on
# without a screen reader running (QPlatformAccessibility).
VZ_TEST_PACKAGES+=(qt6-base-private-dev)
# The code style check (.clang-format, written for clang-format 14).
VZ_TEST_PACKAGES+=(clang-format)
# To build the program for Windows (tools/windows.sh): the MinGW-w64 cross
# compiler, xz for the Windows Qt's archive, the zip, and NSIS for the setup
# program. The host Qt of the build packages provides moc and rcc.
VZ_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools xz-utils zip nsis)
# To run the Windows tests: Wine (64-bit, with its loader).
VZ_WINDOWS_TEST_PACKAGES=(wine wine64)

vz_missing_packages() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || echo "$pkg"
    done
}

# Installs what is missing with apt-get when root; otherwise prints the exact
# command to run and stops.
vz_ensure_packages() {
    local missing
    mapfile -t missing < <(vz_missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Faltan paquetes. Instálelos con:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Instalando: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    vz_refuse_service_starts
    local status=0
    if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
        apt-get update
        apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
    fi
    vz_allow_service_starts
    return $status
}

# While apt-get runs, no package starts a service: avahi-daemon, installed
# for the tests, would otherwise start on this machine and announce it to
# the network. A policy-rc.d the machine already has is put back after.
VZ_POLICY_RC=/usr/sbin/policy-rc.d
vz_refuse_service_starts() {
    [ -e "$VZ_POLICY_RC" ] && mv "$VZ_POLICY_RC" "$VZ_POLICY_RC.vz-saved"
    printf '#!/bin/sh\n# Written by varlo-zintabel tools/common.sh while apt-get runs.\nexit 101\n' >"$VZ_POLICY_RC"
    chmod 755 "$VZ_POLICY_RC"
}
vz_allow_service_starts() {
    rm -f "$VZ_POLICY_RC"
    [ -e "$VZ_POLICY_RC.vz-saved" ] && mv "$VZ_POLICY_RC.vz-saved" "$VZ_POLICY_RC"
    return 0
}

# vz_build <build dir> [cmake options...]
vz_build() {
    local dir="$1"
    shift
    cmake -S "$VZ_ROOT" -B "$dir" -G Ninja "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}
