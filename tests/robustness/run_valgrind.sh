#!/bin/sh
# run_valgrind.sh <program> <suppressions>: runs the program under memcheck;
# any error, or a leak that is certainly one, fails the run. Exits 77 (CTest
# counts it as skipped) when valgrind is not installed.
command -v valgrind >/dev/null 2>&1 || { echo "valgrind is not installed"; exit 77; }
exec valgrind --quiet --error-exitcode=1 --errors-for-leak-kinds=definite --leak-check=full \
    --suppressions="$2" --gen-suppressions=all --num-callers=30 "$1"
