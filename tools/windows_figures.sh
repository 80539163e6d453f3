#!/usr/bin/env bash
# Figures of the Windows program under Wine beside the Linux program and
# beside baselines of the same Windows build under Wine, in the same run
# (bench/copy_figures.py): the flood, latency, start-up, memory at rest and
# answering under a flood. Builds them first: the Linux program in Release
# (build-bench/, as tools/bench.sh), the Windows folder (tools/windows.sh) and
# the Windows baselines (bench/wine_baseline.cpp). Needs root, for the
# network namespaces.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_TEST_PACKAGES[@]}" \
    "${VZ_WINDOWS_PACKAGES[@]}" "${VZ_WINDOWS_TEST_PACKAGES[@]}"
bench="${VZ_BENCH_DIR:-$VZ_ROOT/build-bench}"
cmake -S "$VZ_ROOT" -B "$bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$bench" --parallel "$(nproc)" --target varlo-zintabel
"$VZ_ROOT/tools/windows.sh" >/dev/null
windows="${VZ_WINDOWS_DIR:-$VZ_ROOT/build-windows}"
source "$VZ_ROOT/tools/windows/windows_qt.sh"
vz_windows_configure "$windows" -DVZ_BUILD_BENCH=ON >/dev/null
cmake --build "$windows" --parallel "$(nproc)" --target wine_baseline
"$VZ_ROOT/tests/support/wine_prefix.sh" "$windows/wine-prefix"
# Where the baselines find Qt Test's DLL, which the program's folder lacks.
VZ_WINDOWS_QT_BIN="$(vz_windows_qt)/bin"
export VZ_WINDOWS_QT_BIN
python3 "$VZ_ROOT/bench/copy_figures.py" "$bench/varlo-zintabel" "$windows/varlo-zintabel" \
    "$windows/bench/wine_baseline.exe" "$windows/wine-prefix" "$@"
