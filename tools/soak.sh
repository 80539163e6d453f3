#!/usr/bin/env bash
# Runs the slow, filling disk of test_disk_full many times over (20 unless
# VZ_DISK_FULL_RUNS says otherwise), to catch a race the suite's three runs
# may miss. As root: the test mounts a disk of its own. Builds in build/.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_TEST_PACKAGES[@]}"
vz_build "$VZ_ROOT/build" -DVZ_BUILD_TESTS=ON -DVZ_BUILD_BENCH=ON >/dev/null
export QT_QPA_PLATFORM=offscreen VZ_DISK_FULL_RUNS="${VZ_DISK_FULL_RUNS:-20}"
exec "$VZ_ROOT/tests/support/own_network.sh" "$VZ_ROOT/build/tests/robustness/test_disk_full"
