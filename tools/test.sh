#!/usr/bin/env bash
# Installs what is missing, checks the code style, builds, and runs the whole
# test suite through CTest: the normal build, the same tests under
# AddressSanitizer (leaks included, tests/support/lsan.supp) and
# UndefinedBehaviorSanitizer, and the RTF reader's fuzzer for a bounded time;
# the tests of the transcript file's writer thread under ThreadSanitizer
# (tests/support/tsan.supp); then the Windows build (tools/windows.sh) with
# its tests under Wine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" "${VZ_TEST_PACKAGES[@]}" \
    "${VZ_WINDOWS_PACKAGES[@]}" "${VZ_WINDOWS_TEST_PACKAGES[@]}"
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

echo "== the writer thread's tests under ThreadSanitizer"
# Only what those tests need is built: the rest has no thread of its own.
cmake -S "$VZ_ROOT" -B "$VZ_ROOT/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVZ_TSAN=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$VZ_ROOT/build-tsan" --parallel "$jobs" --target test_spill
(cd "$VZ_ROOT/build-tsan" && ctest --output-on-failure --timeout 900 --label-regex '^thread$') || status=1

echo "== the Windows program, its tests under Wine"
# The program's folder and zip first, as a Windows user gets them; the
# end-to-end scripts run that folder beside the Linux program built above.
"$VZ_ROOT/tools/windows.sh" || status=1
cmake "$VZ_ROOT/build-windows" "-DVZ_LINUX_BUILD_DIR=$VZ_ROOT/build" >/dev/null
cmake --build "$VZ_ROOT/build-windows" --parallel "$jobs"
log=$(mktemp)
(cd "$VZ_ROOT/build-windows" && ctest --output-on-failure --parallel "$jobs" --timeout 600 | tee "$log") || status=1
# Every Windows test counts: one that did not run is a failure here.
if grep -q 'tests did not run' "$log"; then
    echo "Tests under Wine did not run (see above): that counts as a failure." >&2
    status=1
fi
rm -f "$log"

exit $status
