#!/usr/bin/env bash
# The Windows setup program under Wine, as an administrator would use it: a
# silent install (/S) into a fresh Wine prefix; the files, the Start menu
# shortcut and the entry in the list of installed programs are there, and
# the setup's log tells the firewall step; the program started from its
# installed path opens its window and listens on 49577; the same setup run
# again replaces the installation; then a silent uninstall (/S) leaves no
# file, shortcut or registry key behind. Wine has no firewall: its netsh
# takes the command and does nothing, so only the setup's log can show that
# the rule was asked for.
#
# Usage: windows_setup.sh SETUP.exe  (VZ_WINE_PREFIX: the tests' Wine prefix)
# Runs in a network namespace of its own (own_network.sh), with an Xvfb of its
# own. Exits 0 when every check passed, 1 when one failed.

set -u
export LC_ALL=C.UTF-8
SETUP="${1:-}"
source "$(dirname "$0")/e2e_support.sh"
TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-200}"

[ -f "$SETUP" ] || { echo "FAIL: no setup program at '$SETUP' (tools/windows.sh makes it)"; exit 1; }
[ -f "${VZ_WINE_PREFIX:-}/system.reg" ] || { echo "FAIL: no Wine prefix at '${VZ_WINE_PREFIX:-}'"; exit 1; }
for tool in Xvfb xdotool ss wine iconv; do
    command -v "$tool" >/dev/null || skip_all "missing tool: $tool"
done

begin_checks
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cp -al "$VZ_WINE_PREFIX" "$WINEPREFIX"
for registry in "$VZ_WINE_PREFIX"/*.reg; do
    cp --remove-destination "$registry" "$WINEPREFIX/"
done
sed -i '/^"Graphics"="null"$/d' "$WINEPREFIX/user.reg"
for number in $(seq $((700 + $$ % 200)) $((730 + $$ % 200))); do
    [ -e "/tmp/.X$number-lock" ] && continue
    try_x "$number" && break
done
[ -n "$XVFB_PID" ] || { fail "could not start Xvfb"; exit 1; }
export DISPLAY=":$number"

FOLDER="$WINEPREFIX/drive_c/Program Files/Varlo-Zintabel"
SHORTCUT="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Varlo-Zintabel.lnk"
KEY='[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Varlo-Zintabel]'

# The registry as wineserver last saved it (it saves when its last client ends).
key_value() { grep -F -A16 "$KEY" "$WINEPREFIX/system.reg" | grep -m1 "^\"$1\"=" ; }
setup_log() { iconv -f UTF-16 -t UTF-8 "$FOLDER/instalacion.log" 2>/dev/null | tr -d '\r'; }

install_silently() {
    timeout 120 wine "$SETUP" /S
    local status=$?
    timeout 60 wineserver -w
    return $status
}

echo "== a silent install"
if install_silently; then pass "the setup ran with /S and ended with 0"; else fail "the setup ended with $?"; fi
for file in varlo-zintabel.exe Qt6Core.dll Qt6Widgets.dll platforms/qwindows.dll translations/qtbase_es.qm \
    fonts/DejaVuSans.ttf desinstalar.exe; do
    [ -f "$FOLDER/$file" ] || fail "not installed: $file"
done
[ -f "$FOLDER/varlo-zintabel.exe" ] && pass "the program and what it needs are in C:\\Program Files\\Varlo-Zintabel"
if [ -f "$SHORTCUT" ]; then pass "Varlo-Zintabel is in the Start menu for all users"; else fail "no Start menu shortcut"; fi
expected_values=('"DisplayName"="Varlo-Zintabel"' '"DisplayVersion"="1.00"' '"Publisher"="Varlo-Zintabel"'
    '"DisplayIcon"="C:\\Program Files\\Varlo-Zintabel\\varlo-zintabel.exe,0"')
missing=""
for value in "${expected_values[@]}"; do
    grep -F -A16 "$KEY" "$WINEPREFIX/system.reg" | grep -qxF "$value" || missing="$missing $value"
done
if [ -z "$missing" ] && key_value EstimatedSize >/dev/null && key_value QuietUninstallString >/dev/null; then
    pass "the list of installed programs has its name, version, publisher, icon, size and silent uninstall"
else
    fail "the uninstall key lacks:$missing (EstimatedSize: $(key_value EstimatedSize))"
fi
if setup_log | grep -q "^Cortafuegos: .*TCP 49577" && setup_log | grep -q "^Instalación terminada.$"; then
    pass "the setup's log tells the firewall step: $(setup_log | grep '^Cortafuegos')"
else
    fail "the setup's log:"
    setup_log | sed 's/^/     /'
fi

echo "== the installed program"
wine "C:\\Program Files\\Varlo-Zintabel\\varlo-zintabel.exe" </dev/null >"$WORK/program.log" 2>&1 &
PID_OF[installed]=$!
if WAIT_SECONDS=60 wait_for "its window" xdotool search --all --onlyvisible --pid "${PID_OF[installed]}" --name ' - Desconectado$' &&
    WAIT_SECONDS=30 wait_for "listening" eval "ss -Htln '( sport = :$PORT )' | grep -q ."; then
    pass "started from its installed path, it shows '$(xdotool search --all --onlyvisible --pid "${PID_OF[installed]}" --name ' - ' getwindowname)' and listens on $PORT"
else
    fail "the installed program did not open its window and listen; its output:"
    sed 's/^/     /' "$WORK/program.log"
fi
kill "${PID_OF[installed]}" 2>/dev/null
unset "PID_OF[installed]"
timeout 60 wineserver -w

echo "== the same setup again"
if install_silently && [ "$(grep -cF "$KEY" "$WINEPREFIX/system.reg")" = 1 ] &&
    setup_log | grep -q "^Quitada la versión 1.00 que estaba instalada en C:\\\\Program Files\\\\Varlo-Zintabel"; then
    pass "installing over the same version removed it first and installed it again"
else
    fail "the second install did not replace the first; its log:"
    setup_log | sed 's/^/     /'
fi

echo "== a silent uninstall"
timeout 120 wine "C:\\Program Files\\Varlo-Zintabel\\desinstalar.exe" /S
timeout 60 wineserver -w
left=$(find "$FOLDER" 2>/dev/null | head -5)
if [ -z "$left" ]; then pass "no file is left in Program Files"; else fail "left behind: $left"; fi
if [ ! -e "$SHORTCUT" ]; then pass "the Start menu shortcut is gone"; else fail "the shortcut is still there"; fi
if ! grep -qF "$KEY" "$WINEPREFIX/system.reg"; then pass "the uninstall key is gone"; else fail "the uninstall key is still there"; fi
[ "$failed" -eq 0 ]
