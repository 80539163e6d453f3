#!/usr/bin/env bash
# Installs what is missing, builds build/varlo-zintabel and opens the window.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}"
vz_build "$VZ_ROOT/build"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Compilado en build/varlo-zintabel, pero esta sesión no tiene pantalla (ni DISPLAY ni WAYLAND_DISPLAY)." >&2
    echo "Ábralo desde un escritorio, o con una pantalla virtual:" >&2
    echo "  xvfb-run -a build/varlo-zintabel" >&2
    echo "  build/varlo-zintabel -platform vnc    (y un visor VNC en el puerto 5900)" >&2
    exit 2
fi
exec "$VZ_ROOT/build/varlo-zintabel" "$@"
