#!/usr/bin/env bash
# Figures of the Windows program under Wine beside the Linux program, in the
# same run (bench/copy_figures.py): start-up and message latency of each copy
# as a user starts it. Builds both first: the Linux program in Release
# (build-bench/, as tools/bench.sh) and the Windows folder (tools/windows.sh).
# Needs root, for the network namespaces.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_TEST_PACKAGES[@]}" \
    "${VZ_WINDOWS_PACKAGES[@]}" "${VZ_WINDOWS_TEST_PACKAGES[@]}"
bench="${VZ_BENCH_DIR:-$VZ_ROOT/build-bench}"
cmake -S "$VZ_ROOT" -B "$bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$bench" --parallel "$(nproc)" --target varlo-zintabel
"$VZ_ROOT/tools/windows.sh" >/dev/null
windows="${VZ_WINDOWS_DIR:-$VZ_ROOT/build-windows}"
"$VZ_ROOT/tests/support/wine_prefix.sh" "$windows/wine-prefix"
python3 "$VZ_ROOT/bench/copy_figures.py" "$bench/varlo-zintabel" "$windows/varlo-zintabel" "$windows/wine-prefix" "$@"
