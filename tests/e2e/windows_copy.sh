#!/usr/bin/env bash
# The Windows program under Wine beside the Linux one, each in a network
# namespace of its own joined by a veth pair, driven through their windows
# as a person would (xdotool reaches Wine's windows; text with accents is
# pasted, as typing cannot reach a program under Wine, see window_driving.sh):
# a conversation both ways with the connect-back, the captions, the received
# colour from a screenshot; no word of the finding of other copies, which
# Wine lacks; a foreign peer in UTF-8 and a legacy one in Windows-1252; a
# flood and a thousand connections against the Windows copy, which keeps
# answering; and Desconectar right after a long message to a slow reader,
# which still gets every byte and then the orderly end.
#
# Usage: windows_copy.sh WINDOWS_FOLDER LINUX_PROGRAM WINDOW_LAYOUT
#   WINDOWS_FOLDER  the program's folder as tools/windows.sh lays it out
#   LINUX_PROGRAM   the Linux build's varlo-zintabel
#   WINDOW_LAYOUT   the Linux build's tests/e2e/window_layout
# VZ_WINE_PREFIX is the tests' Wine prefix (the test wine_prefix makes it);
# the Windows copy runs in a copy of it whose wineserver starts in its
# namespace. Needs root, Xvfb, xdotool, xclip, nc (OpenBSD), python3, ss.
# Exits 0 when every check passed, 1 when one failed, 77 (skipped) when this
# machine cannot make the namespaces.

set -u
export LC_ALL=C.UTF-8

WINDOWS_FOLDER="${1:-}"
PROGRAM="${2:-}"
LAYOUT_TOOL="${3:-}"
HERE="$(cd "$(dirname "$0")" && pwd)"
source "$HERE/e2e_support.sh"
source "$HERE/window_driving.sh"

TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-450}"

NET_PREFIX=10.231.5
ADDR_A="$NET_PREFIX.1" # the Windows copy
ADDR_B="$NET_PREFIX.2" # the Linux copy and the other peers
NS_A="vz-e2e-$$-w"
NS_B="vz-e2e-$$-l"
VETH_A="vze$$w"
VETH_B="vze$$l"

declare -A WINDOW_OF=()

check_prerequisites() {
    [ -n "$LAYOUT_TOOL" ] || {
        echo "usage: $0 WINDOWS_FOLDER LINUX_PROGRAM WINDOW_LAYOUT" >&2
        exit 2
    }
    [ -f "$WINDOWS_FOLDER/varlo-zintabel.exe" ] || { echo "FAIL: no program in $WINDOWS_FOLDER (tools/windows.sh lays it out)"; exit 1; }
    [ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }
    [ -f "${VZ_WINE_PREFIX:-}/system.reg" ] || { echo "FAIL: no Wine prefix at '${VZ_WINE_PREFIX:-}'"; exit 1; }
    load_layout "$LAYOUT_TOOL"
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to make network namespaces"
    local tool
    for tool in ip ss Xvfb xdotool xclip xprop nc python3 wine timeout cmp od; do
        command -v "$tool" >/dev/null || skip_all "missing tool: $tool"
    done
    nc -h 2>&1 | grep -q OpenBSD || skip_all "nc is not the OpenBSD one"
    unshare --mount true 2>/dev/null || skip_all "cannot make a mount namespace here"
}

# The Windows copy's prefix: the tests' one, its files linked, save the
# registry, where the display driver becomes X11's again.
make_wine_prefix() {
    WINE_PREFIX="$WORK/wine-prefix"
    cp -al "$VZ_WINE_PREFIX" "$WINE_PREFIX"
    local registry
    for registry in "$VZ_WINE_PREFIX"/*.reg; do
        cp --remove-destination "$registry" "$WINE_PREFIX/"
    done
    sed -i '/^"Graphics"="null"$/d' "$WINE_PREFIX/user.reg"
}

start_windows_copy() {
    PASTES_TEXT[$1]=1
    start_copy "$1" "$NS_A" "$2" "$3" env QT_QPA_PLATFORM=windows WINEPREFIX="$WINE_PREFIX" WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml=" wine "$WINDOWS_FOLDER/varlo-zintabel.exe"
}

# The Windows copy's side has a default route (towards the Linux side), so
# that its caption's address comes from the route, as on a real network.
add_default_route() { ip -n "$NS_A" route add default via "$ADDR_B" dev "$VETH_A"; }

peers() { python3 "$HERE/peers.py" "$@"; }

MSG_1="Hola desde Windows: ¿qué tal, señor? ñandú €"
MSG_2="Muy bien desde Linux. ¡Añoranza en Cádiz!"
MSG_3="Hola desde nc en UTF-8: ¿sí? ü€"
LEGACY=$'caf\xE9 con leche, \xBFs\xED?' # Windows-1252
LEGACY_SHOWN="café con leche, ¿sí?"
MSG_4="Sigo aquí durante la inundación"
MSG_5="Y después de mil conexiones"

check_conversation() {
    echo "== a Windows copy (W) and a Linux copy (L)"
    # Below the top of the screen: without a notification area, Wine shows
    # the Windows copy's arrival balloons at the top left.
    start_windows_copy W 10 300
    start_copy L "$NS_B" 460 300
    check_title W "$ADDR_A - Desconectado"
    check_title L "$ADDR_B - Desconectado"
    check_discovery_silent

    clear_field W TxtIp
    enter_text W TxtIp "$ADDR_B"
    click W CmdConectar
    check_title W "$ADDR_A - Conectado"
    check_title L "$ADDR_B - Conectado"
    expect_outgoing_to W "$NS_A" "$ADDR_B"
    expect_outgoing_to L "$NS_B" "$ADDR_A"

    send_with W enter "$MSG_1"
    expect_arrival L "$MSG_1"
    send_with L click "$MSG_2"
    expect_arrival W "$MSG_2"
    expect_transcript W "$MSG_1" "$MSG_2"
    expect_transcript L "$MSG_1" "$MSG_2"
    expect_colour_order W dark-then-blue
    expect_colour_order L blue-then-dark
}

# Wine's dnsapi.dll has none of the DNS-SD functions of Windows 10, so the
# Windows copy, listening, finds no other copies: it goes on without them,
# and says nothing of it, no message box beside its window. (What Qt logs
# under Wine reaches neither its standard error nor Wine's debug channel, so
# only the box is looked for.)
check_discovery_silent() {
    local others
    others=$(xdo search --all --onlyvisible --pid "${PID_OF[W]}" --name '' | grep -vx "${WINDOW_OF[W]}")
    if [ -z "$others" ]; then
        pass "without DNS-SD the Windows copy shows its window only"
    else
        fail "the Windows copy shows more windows than its own: $(for w in $others; do xdo getwindowname "$w"; done | tr '\n' '|')"
    fi
}

# nc from the Linux side: UTF-8, then a legacy peer's Windows-1252.
window_size() { xdo getwindowgeometry "${WINDOW_OF[$1]}" | sed -n 's/.*Geometry: //p'; }

# What the window asks of any window manager: its smallest and largest size,
# "min max" as xprop prints them.
size_hints() {
    xprop -id "${WINDOW_OF[$1]}" WM_NORMAL_HINTS | sed -n 's/.*program specified \(minimum\|maximum\) size: //p' \
        | tr '\n' ' '
}

# What the window asks of any window manager: the Windows copy is the Linux
# copy's size, and asks for that size only. (There is no window manager
# here to honour it: a resize made by hand, with xdotool, would be kept by
# the X server whatever the window asks; test_windows_look tries one
# through Windows' own calls.)
check_fixed_size() {
    echo "== the Windows copy's window is fixed in size, as the Linux copy's"
    local size linux
    size=$(window_size W)
    linux=$(window_size L)
    if [ "$size" = "$linux" ]; then
        pass "the window is $size, as the Linux copy's"
    else
        fail "the window is $size, the Linux copy's $linux"
    fi
    local hints
    hints=$(size_hints W)
    if [ "$hints" = "${size/x/ by } ${size/x/ by } " ]; then
        pass "it asks any window manager for $size only"
    else
        fail "its size hints: '$hints' (expected $size as smallest and largest)"
    fi
}

check_foreign_peers() {
    echo "== foreign peers: UTF-8 and Windows-1252"
    printf '%s' "$MSG_3" | ip netns exec "$NS_B" timeout 20 nc -N "$ADDR_A" "$PORT"
    expect_arrival W "$MSG_3"
    printf '%s' "$LEGACY" | ip netns exec "$NS_B" timeout 20 nc -N "$ADDR_A" "$PORT"
    expect_arrival W "$LEGACY_SHOWN"
    expect_transcript W "$MSG_1" "$MSG_2" "$MSG_3" "$LEGACY_SHOWN"
}

# A peer that sends text as fast as it can for 20 seconds: meanwhile the
# Windows copy's window still sends what its user writes.
check_flood() {
    echo "== a flood against the Windows copy"
    ip netns exec "$NS_B" timeout 60 bash -c \
        'timeout 20 yes "inundación de prueba desde nc, 0123456789 abcdefghij"' |
        ip netns exec "$NS_B" timeout 60 nc -N "$ADDR_A" "$PORT" >/dev/null 2>&1 &
    local flood=$!
    WAIT_SECONDS=10 wait_for "the flood's connection" flood_connected
    send_with W enter "$MSG_4"
    expect_arrival L "$MSG_4"
    if kill -0 "$flood" 2>/dev/null; then
        pass "the message went out while the flood was still coming in"
    else
        fail "the flood had ended before the message went out"
    fi
    WAIT_SECONDS=60 wait_for "the end of the flood" eval '! kill -0 '"$flood"
}

flood_connected() {
    ip netns exec "$NS_A" ss -Htn state established "( sport = :$PORT )" | grep -q "$ADDR_B"
}

# A thousand connections from the Linux side fill the Windows copy's slots;
# the next one is refused and the user told once, and the copy still sends.
check_thousand_connections() {
    echo "== a thousand connections against the Windows copy"
    local crowd_in="$WORK/crowd-in" crowd_out="$WORK/crowd-out"
    mkfifo "$crowd_in"
    : >"$crowd_out"
    # The two connections of the checks above took slots 2 to 5 already.
    local taken=4
    ip netns exec "$NS_B" timeout 400 python3 "$HERE/peers.py" crowd "$ADDR_A" "$PORT" \
        $((1000 - taken + 1)) <"$crowd_in" >"$crowd_out" 2>&1 &
    exec {keep_open}>"$crowd_in"
    if ! WAIT_SECONDS=200 wait_for "the crowd connected" grep -q '^open' "$crowd_out"; then
        fail "the crowd could not connect: $(tail -n2 "$crowd_out")"
        exec {keep_open}>&-
        return
    fi
    if WAIT_SECONDS=240 wait_for "every connection taken in" accept_queue_empty &&
        WAIT_SECONDS=30 wait_for "one connection refused" grep -q '^closed 1$' "$crowd_out"; then
        sleep 2
        if [ "$(tail -n1 "$crowd_out")" = "closed 1" ]; then
            pass "the Windows copy took 1000 connections in its life and refused the next"
        else
            fail "the crowd saw $(tail -n1 "$crowd_out") connections ended, expected 1"
        fi
    else
        fail "the crowd saw: $(tail -n1 "$crowd_out")"
    fi
    local box
    box=$(xdo search --all --onlyvisible --pid "${PID_OF[W]}" --name '^Varlo-Zintabel$' | head -n1)
    if [ -n "$box" ]; then
        pass "the Windows copy tells its user that the limit was reached"
        # Its OK button, by the keyboard: the box stands over the window.
        xdo windowfocus "$box"
        wait_for "focus on the message" focus_is "$box"
        key Return
        wait_for "the message closed" eval "! xdotool search --all --onlyvisible --pid ${PID_OF[W]} --name '^Varlo-Zintabel$'" ||
            fail "the message about the limit did not close with its OK button"
    else
        fail "no message about the limit appeared"
    fi
    send_with W enter "$MSG_5"
    expect_arrival L "$MSG_5"
    exec {keep_open}>&-
}

accept_queue_empty() {
    [ "$(ip netns exec "$NS_A" ss -Htln "( sport = :$PORT )" | awk '{ print $2 }')" = 0 ]
}

# A long message, then Desconectar at once: the slow reader still gets every
# byte, then the end of the stream, not a reset.
check_desconectar() {
    echo "== Desconectar right after a long message"
    stop_copy L
    local received="$WORK/slow-received" report="$WORK/slow-report" expected="$WORK/slow-expected"
    ip netns exec "$NS_B" timeout 120 python3 "$HERE/peers.py" slow-reader "$ADDR_B" "$PORT" "$received" \
        >"$report" 2>&1 &
    wait_for "the slow reader listening" grep -q listening "$report"
    click W CmdDesconectar
    click W CmdConectar
    expect_outgoing_to W "$NS_A" "$ADDR_B"
    local long
    # One line of 512 KiB and a little more (the box takes no line break).
    long="$(yes "Un mensaje largo, con eñes y tildes: ¿llegará entero? " | head -n 9300 | tr -d '\n')fin"
    printf '%s' "$long" >"$expected"
    clear_field W TxtMensaje
    click W TxtMensaje
    paste_text "$long"
    key End Return
    click W CmdDesconectar
    check_title W "$ADDR_A - Desconectado"
    if WAIT_SECONDS=90 wait_for "the slow reader to finish" grep -qE '^(fin|reset)$' "$report" &&
        grep -qx fin "$report" && cmp -s "$expected" "$received"; then
        pass "after Desconectar the slow reader got all $(wc -c <"$expected") bytes, then the end of the stream"
    else
        fail "the slow reader got $(wc -c <"$received") of $(wc -c <"$expected") bytes, then '$(tail -n1 "$report")'"
    fi
}

main() {
    check_prerequisites
    use_private_x_directory "$@"
    begin_checks
    make_network
    add_default_route
    make_wine_prefix
    start_x "$NS_A"
    check_conversation
    check_fixed_size
    check_foreign_peers
    check_flood
    check_thousand_connections
    check_desconectar
    [ "$failed" -eq 0 ]
}

main "$@"
