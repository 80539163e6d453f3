#!/usr/bin/env bash
# Installs what is missing, builds build/varlo-zintabel (the program alone: the
# tests and benchmarks are left to tools/test.sh) and opens the window.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}"
# --log-level=NOTICE: CMake's own progress notes are left out; its warnings
# and errors still show.
vz_build "$VZ_ROOT/build" --log-level=NOTICE -DVZ_BUILD_TESTS=OFF -DVZ_BUILD_BENCH=OFF

program="$VZ_ROOT/build/varlo-zintabel"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Compilado en $program." >&2
fi
# Without a display the program itself says how to open it, and ends.
exec "$program" "$@"
