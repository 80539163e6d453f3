#!/bin/sh
# wine_prefix.sh PREFIX
# Makes the Wine prefix that the Windows tests run in (the CTest fixture
# every Wine test needs), or leaves it as it is when this Wine made it:
# 64-bit, without the Mono and Gecko downloads, with no graphics driver
# (the tests draw on Qt's offscreen platform) and no crash dialog, so that
# nothing can wait for a person.
set -u
prefix="$1"
version=$(wine --version 2>/dev/null) || { echo "FAIL: wine is not installed"; exit 1; }
if [ "$(cat "$prefix/vz-made-by" 2>/dev/null)" = "$version" ]; then
    echo "The Wine prefix $prefix is ready ($version)."
    exit 0
fi
rm -rf "$prefix"
mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
wineserver -w
if ! [ -f "$prefix/system.reg" ]; then
    echo "FAIL: wineboot did not make the prefix $prefix"
    exit 1
fi
echo "$version" >"$prefix/vz-made-by"
echo "Made the Wine prefix $prefix ($version)."
