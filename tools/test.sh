#!/usr/bin/env bash
# Installs what is missing, checks the code style, builds, and runs the whole
# test suite through CTest: the normal build, the same tests under
# AddressSanitizer (leaks included, tests/support/lsan.supp) and
# UndefinedBehaviorSanitizer, and the RTF reader's fuzzer for a bounded time.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_TEST_PACKAGES[@]}"
jobs="$(nproc)"
status=0

echo "== code style"
# Every C++ file as .clang-format at the root lays it out.
mapfile -d '' sources < <(find "$VZ_ROOT/src" "$VZ_ROOT/tests" "$VZ_ROOT/bench" \( -name '*.cpp' -o -name '*.h' \) -print0)
clang-format --dry-run --Werror "${sources[@]}" || status=1

echo "== build and tests"
# Everything, even where tools/run.sh built the program alone before.
vz_build "$VZ_ROOT/build" -DVZ_BUILD_TESTS=ON -DVZ_BUILD_BENCH=ON
(cd "$VZ_ROOT/build" && ctest --output-on-failure --parallel "$jobs" --timeout 600) || status=1

echo "== tests under AddressSanitizer (with leak checks) and UndefinedBehaviorSanitizer"
vz_build "$VZ_ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVZ_SANITIZE=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVZ_FUZZ=ON
(cd "$VZ_ROOT/build-asan" && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure --parallel "$jobs" --timeout 900 --label-exclude 'e2e') || status=1

exit $status
