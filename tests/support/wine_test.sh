#!/bin/sh
# wine_test.sh PROGRAM.exe [ARGUMENTS...]
# Runs a Windows test program under Wine for CTest: the Windows build's
# CROSSCOMPILING_EMULATOR, and the command that own_network.sh runs for the
# tests that open sockets. Qt Test under Wine prints nothing on standard
# output (its lines go to the debugger's channel), so the program writes
# them to a file with -o FILE,txt, printed here; the exit status is the
# program's own.
#
# From the test's environment: VZ_WINE_PREFIX, the prefix made by the test
# wine_prefix; VZ_WINE_DLL_DIRS, the folders of Qt's and MinGW's DLLs,
# separated by ':'.
#
# Wine's sockets are made by its wineserver, one per prefix. A test in a
# network namespace of its own (own_network.sh sets VZ_OUTER_NETNS) gets a
# copy of the prefix, so that a wineserver of its own starts inside that
# namespace; the copy links the template's files rather than copying them,
# save the registry, which Wine writes.
set -u
program="$1"
shift
: "${VZ_WINE_PREFIX:?the Wine prefix (the test wine_prefix makes it)}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPATH=$(printf '%s' "${VZ_WINE_DLL_DIRS:-}" | sed 's|^|Z:|; s|:/|;Z:/|g')
export WINEPATH
unset DISPLAY WAYLAND_DISPLAY

work=$(mktemp -d "${TMPDIR:-/tmp}/vz-wine-test.XXXXXX")
if [ -n "${VZ_OUTER_NETNS:-}" ]; then
    WINEPREFIX="$work/prefix"
    cp -al "$VZ_WINE_PREFIX" "$WINEPREFIX"
    for registry in "$VZ_WINE_PREFIX"/*.reg; do
        cp --remove-destination "$registry" "$WINEPREFIX/"
    done
    VZ_INNER_NETNS=$(readlink /proc/self/ns/net)
    export VZ_INNER_NETNS
else
    WINEPREFIX="$VZ_WINE_PREFIX"
fi
export WINEPREFIX
finish() {
    [ -n "${VZ_OUTER_NETNS:-}" ] && wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' TERM INT HUP

wine "$program" "$@" -o "Z:$work/result.txt,txt"
status=$?
cat "$work/result.txt" 2>/dev/null || echo "FAIL: $program wrote no results (exit status $status)"
exit $status
