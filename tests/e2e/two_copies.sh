#!/usr/bin/env bash
# Two copies of the chat on a small private network, driven through their
# windows the way a person would: click, type, press Enter, copy the
# transcript out with Ctrl+A / Ctrl+C.
#
# The network is two network namespaces made here and joined by a veth pair,
# so the copies talk over real addresses of their own (each copy listens on the
# same fixed port, which only works with one copy per network stack) and no
# byte leaves this machine.  Then nc plays a foreign peer: it sends text to a
# fresh copy and listens where that copy connects back.
#
# Usage: two_copies.sh PATH/TO/varlo-zintabel PATH/TO/window_layout
# Needs root (for `ip netns`), Xvfb, xdotool, xclip, nc (OpenBSD), ss; uses
# ImageMagick's import/convert for the colour check when present. The last
# step reads a copy through the accessibility bus (dbus-run-session,
# at-spi-bus-launcher, python3-pyatspi).
# Exits 0 when every check passed, 1 when one failed, 77 (skipped) when this
# machine cannot run it, or cannot start the accessibility bus for the last
# step.

set -u
export LC_ALL=C.UTF-8

PROGRAM="${1:-}"
LAYOUT_TOOL="${2:-}"
source "$(dirname "$0")/e2e_support.sh"
source "$(dirname "$0")/window_driving.sh"

# The whole script stops itself after this many seconds (CTest's own limit is
# a little longer, so that the cleanup still runs).
TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-200}"

NET_PREFIX=10.231.7
ADDR_A="$NET_PREFIX.1"
ADDR_B="$NET_PREFIX.2"
NS_A="vz-e2e-$$-a"
NS_B="vz-e2e-$$-b"
# Interface names are limited to 15 characters.
VETH_A="vze$$a"
VETH_B="vze$$b"

declare -A WINDOW_OF=()   # copy name -> X window id

# ---------------------------------------------------------------- set-up

check_prerequisites() {
    [ -n "$LAYOUT_TOOL" ] || { echo "usage: $0 PATH/TO/varlo-zintabel PATH/TO/window_layout" >&2; exit 2; }
    [ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }
    load_layout "$LAYOUT_TOOL"
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to make network namespaces"
    local tool
    for tool in ip ss Xvfb xdotool xclip nc timeout cmp od; do
        command -v "$tool" >/dev/null || skip_all "missing tool: $tool"
    done
    nc -h 2>&1 | grep -q OpenBSD || skip_all "nc is not the OpenBSD one"
    unshare --mount true 2>/dev/null || skip_all "cannot make a mount namespace here"
}

# ---------------------------------------------------------------- the checks

# Messages with Spanish letters and with characters that mean something to
# rich-text markup, which must come out as typed.
MSG_1="Hola, ¿qué tal, señor?"
MSG_2='Marcas: {\b x} \par }{ y \\ fin'
MSG_3="Muy bien, gracias. ¡Añoranza en Cádiz!"
MSG_4="Hola desde nc: ¿sí? {\i no} ü€"
MSG_5='Respuesta: ñandú {\rtf1 \b} ¿vale?'
MSG_6="Sigo aquí después de medio mega de saltos de línea"
MSG_7="Para el lector de pantalla: ¿me oyes?"

check_two_copies() {
    echo "== two copies"
    start_copy A "$NS_A" 10 10
    start_copy B "$NS_B" 460 10
    check_title A "$ADDR_A - Desconectado"
    check_title B "$ADDR_B - Desconectado"

    # Sending before connecting: Enter in A, the Enviar button in B.
    expect_refused A enter "hola"
    expect_refused B click "hola"

    # A connects to B; B, which never connected out, connects back to A.
    clear_field A TxtIp
    enter_text A TxtIp "$ADDR_B"
    click A CmdConectar
    check_title A "$ADDR_A - Conectado"
    check_title B "$ADDR_B - Conectado"
    expect_outgoing_to A "$NS_A" "$ADDR_B"
    # B's address box is disabled now, so it cannot be copied from; where B's
    # link goes shows what it took as A's address.
    expect_outgoing_to B "$NS_B" "$ADDR_A"

    # A writes twice with Enter, B answers with the Enviar button.
    send_with A enter "$MSG_1"
    expect_arrival B "$MSG_1"
    # The message box is emptied by sending: what is typed next stands alone.
    click A TxtMensaje
    key End
    type_text "#"
    if [ "$(field_text A TxtMensaje)" = "#" ]; then
        pass "copy A: TxtMensaje is empty after sending"
    else
        fail "copy A: TxtMensaje after sending and typing '#': '$(field_text A TxtMensaje)'"
    fi
    clear_field A TxtMensaje

    send_with A enter "$MSG_2"
    expect_arrival B "$MSG_2"
    send_with B click "$MSG_3"
    expect_arrival A "$MSG_3"

    expect_transcript A "$MSG_1" "$MSG_2" "$MSG_3"
    expect_transcript B "$MSG_1" "$MSG_2" "$MSG_3"
    expect_colour_order A dark-then-blue
    expect_colour_order B blue-then-dark

    # Once B is gone, A's link is down: its title says so and sending is
    # refused as before connecting.
    stop_copy B
    check_title A "$ADDR_A - Desconectado"
    expect_refused A enter "¿Sigues ahí?"
    stop_copy A
}

# expect_refused NAME HOW TEXT : sending while not connected leaves the
# warning in the message box instead of the text.
expect_refused() {
    local name="$1" how="$2"
    send_with "$@"
    if wait_for "NO ESTAS CONECTADO" field_is "$name" TxtMensaje "NO ESTAS CONECTADO"; then
        pass "copy $name: sending ($how) while not connected writes 'NO ESTAS CONECTADO'"
    else
        fail "copy $name: after sending ($how) unconnected, TxtMensaje holds '$(field_text "$name" TxtMensaje)'"
    fi
    clear_field "$name" TxtMensaje
}

# nc in namespace A speaks to a fresh copy C in namespace B; C connects back
# to nc's address, where another nc listens on the chat's port.
check_foreign_peer() {
    echo "== a foreign peer (nc)"
    local received="$WORK/nc-received" expected="$WORK/nc-expected"
    : >"$received"
    start_copy C "$NS_B" 460 10
    check_title C "$ADDR_B - Desconectado"

    ip netns exec "$NS_A" timeout 90 nc -l "$PORT" </dev/null >"$received" 2>"$WORK/nc-l.log" &
    disown
    if ! wait_for "nc listening" listening_in "$NS_A"; then
        fail "nc -l did not start listening in $NS_A"
        return
    fi
    # The sender keeps its connection open (the sleep holds its input) so that
    # it looks like a peer that stays.
    ip netns exec "$NS_A" timeout 90 bash -c \
        'printf "%s" "$1"; sleep 80' _ "$MSG_4" | ip netns exec "$NS_A" timeout 90 nc "$ADDR_B" "$PORT" >/dev/null 2>&1 &
    disown

    expect_arrival C "$MSG_4"
    check_title C "$ADDR_B - Conectado"
    expect_outgoing_to C "$NS_B" "$ADDR_A"

    send_with C enter "$MSG_5"
    printf '%s' "$MSG_5" >"$expected"
    local size
    size=$(wc -c <"$expected")
    WAIT_SECONDS=10 wait_for "nc to receive $size bytes" size_at_least "$received" "$size"
    expect_transcript C "$MSG_4" "$MSG_5"
    expect_colour_order C blue-then-dark
    # Compared only now, after the checks above, so that anything sent after
    # the text (a terminator, say) has had time to arrive as well.
    if cmp -s "$expected" "$received"; then
        pass "nc received copy C's message byte for byte ($size bytes of UTF-8, nothing more)"
    else
        fail "nc received other bytes; expected then got:"
        show_bytes <"$expected"
        show_bytes <"$received"
    fi
    stop_copy C
}

size_at_least() { [ "$(wc -c <"$1")" -ge "$2" ]; }

# A peer sends half a megabyte of line feeds at once: the window keeps
# answering, and what is typed afterwards reaches that peer.
check_burst() {
    echo "== a burst of 512 KiB of line feeds"
    local received="$WORK/burst-received" expected="$WORK/burst-expected"
    : >"$received"
    start_copy D "$NS_B" 460 10
    ip netns exec "$NS_A" timeout 90 nc -l "$PORT" </dev/null >"$received" 2>"$WORK/nc-burst.log" &
    disown
    if ! wait_for "nc listening" listening_in "$NS_A"; then
        fail "nc -l did not start listening in $NS_A"
        return
    fi
    ip netns exec "$NS_A" timeout 90 bash -c 'head -c 524288 /dev/zero | tr "\0" "\n"; sleep 80' |
        ip netns exec "$NS_A" timeout 90 nc "$ADDR_B" "$PORT" >/dev/null 2>&1 &
    disown
    expect_outgoing_to D "$NS_B" "$ADDR_A"
    check_title D "$ADDR_B - Conectado"
    send_with D enter "$MSG_6"
    printf '%s' "$MSG_6" >"$expected"
    if WAIT_SECONDS=10 wait_for "the line typed after the burst" size_at_least "$received" "$(wc -c <"$expected")" &&
        cmp -s "$expected" "$received"; then
        pass "copy D answered after the burst: nc received the typed line"
    else
        fail "copy D did not answer after the burst; nc received:"
        show_bytes <"$received"
    fi
    stop_copy D
}

# A screen reader's view of a fresh copy, through a real accessibility bus in
# a D-Bus session of its own: the window is a frame, the transcript a
# read-only text, and a message sent to the copy arrives as one
# text-changed:insert event carrying it. Where the bus cannot start, the step
# is skipped (and so the script, once every other check has passed).
SCREEN_READER_SKIPPED=""
check_screen_reader() {
    echo "== what a screen reader reads"
    local tool
    for tool in dbus-run-session dbus-send /usr/libexec/at-spi-bus-launcher /usr/bin/python3; do
        command -v "$tool" >/dev/null || { SCREEN_READER_SKIPPED="missing tool: $tool"; return; }
    done
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { SCREEN_READER_SKIPPED="python3-pyatspi is missing"; return; }
    local here status
    here="$(dirname "$0")"
    ip netns exec "$NS_B" env DISPLAY="$DISPLAY" LC_ALL=C.UTF-8 timeout 60 \
        dbus-run-session -- bash "$here/screen_reader.sh" "$PROGRAM" "$here/read_transcript.py" "$PORT" "$MSG_7" \
        >"$WORK/screen-reader.log" 2>&1
    status=$?
    sed 's/^/     /' "$WORK/screen-reader.log" | grep -v 'Failed to set fd limit'
    case $status in
    0) pass "a screen reader reads the transcript and hears the message arrive" ;;
    77) SCREEN_READER_SKIPPED=$(tail -n1 "$WORK/screen-reader.log") ;;
    *) fail "a screen reader did not read the transcript as expected (exit $status)" ;;
    esac
}

main() {
    check_prerequisites
    use_private_x_directory "$@"
    begin_checks
    make_network
    start_x "$NS_A"
    check_two_copies
    check_foreign_peer
    check_burst
    check_screen_reader
    if [ "$failed" -eq 0 ] && [ -n "$SCREEN_READER_SKIPPED" ]; then
        echo "$passed passed, $failed failed"
        skip_all "screen-reader step: $SCREEN_READER_SKIPPED"
    fi
    [ "$failed" -eq 0 ]
}

main "$@"
