#!/usr/bin/env bash
# Two copies on two machines of the test's own find each other through
# DNS-SD, as a person sees it: the address box's list (read through the
# accessibility bus, as a screen reader reads it) shows the other copy, not
# this one; choosing it fills in the address, and Conectar then converses.
# avahi-browse on the private network sees the copy on the chat's port; a
# copy whose window is closed is gone from the other's list.
#
# Each machine is a network namespace, UTS namespace and mount namespace of
# the script's own, with its own host name, system bus and avahi-daemon
# (tests/support/dns_sd_network.sh); they are joined by one veth pair, and no
# multicast packet leaves them.
#
# Usage: found_copies.sh PATH/TO/varlo-zintabel PATH/TO/window_layout
# Needs root, avahi-daemon, avahi-browse, dbus-daemon, Xvfb, xdotool, xclip,
# at-spi-bus-launcher and python3-pyatspi. Exits 0 when every check passed,
# 1 when one failed, 77 (skipped) when this machine cannot run it.

set -u
export LC_ALL=C.UTF-8

PROGRAM="$(readlink -f "${1:-}")"
LAYOUT_TOOL="${2:-}"
HERE="$(cd "$(dirname "$0")" && pwd)"
source "$HERE/e2e_support.sh"
source "$HERE/window_driving.sh"
source "$HERE/../support/dns_sd_network.sh"

TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-200}"

ADDR_A=10.231.13.1
ADDR_B=10.231.13.2
HOST_A=equipo-alfa
HOST_B=equipo-beta
NS_A="vz-dns-$$-a"
NS_B="vz-dns-$$-b"
VETH_A="vzd$$a"
VETH_B="vzd$$b"
PROBE="$HERE/found_copies.py"
# What the address box says of itself while there is no list to open.
DESCRIPTION_ALONE="Dirección IP o nombre del equipo con el que conectar"
MESSAGE="Te encontré en la lista: ¿qué tal?"

declare -A WINDOW_OF=()
declare -A MACHINE_OF=()   # copy name -> machine key

check_prerequisites() {
    [ -n "$LAYOUT_TOOL" ] || { echo "usage: $0 PATH/TO/varlo-zintabel PATH/TO/window_layout" >&2; exit 2; }
    [ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }
    load_layout "$LAYOUT_TOOL"
    dns_sd_prerequisites
    skip_unless_tools Xvfb xdotool xclip xwininfo timeout dbus-send /usr/libexec/at-spi-bus-launcher /usr/bin/python3
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || skip_all "python3-pyatspi is missing"
}

# start_discovering_copy NAME KEY X Y : the program on machine KEY, with Qt's
# accessibility on.
start_discovering_copy() {
    local name="$1" key="$2" ns prefix
    ns=$([ "$key" = A ] && echo "$NS_A" || echo "$NS_B")
    mapfile -t prefix < <(dns_sd_in "$key")
    MACHINE_OF[$name]=$key
    start_copy "$name" "$ns" "$3" "$4" "${prefix[@]}" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$PROGRAM"
}

probe() {
    local name="$1"
    shift
    dns_sd_run "${MACHINE_OF[$name]}" env DISPLAY="$DISPLAY" timeout 20 /usr/bin/python3 "$PROBE" "$@"
}

# The list is a pop-up: a visible window of the copy's own that no window
# manager would place (override-redirect).
list_window_shown() {
    local window
    for window in $(xdo search --onlyvisible --pid "${PID_OF[$1]}" ''); do
        [ "$window" = "${WINDOW_OF[$1]}" ] && continue
        timeout 5 xwininfo -id "$window" | grep -q 'Override Redirect State: yes' && return 0
    done
    return 1
}

description_is() { [ "$(probe "$1" description)" = "$2" ]; }

# open_list NAME : Down in the address box opens the list, Down again puts
# the first row under the focus; the rows of the list into $WORK/rows, the
# list left open (status 3 when no list opened).
open_list() {
    local name="$1"
    click "$name" TxtIp
    probe "$name" list Down Down >"$WORK/rows"
}

# list_is NAME ROW... : the open list holds exactly these rows, in order;
# the list is left open when it does.
list_is() {
    local name="$1"
    shift
    if open_list "$name" && [ "$(cat "$WORK/rows")" = "$(printf '%s\n' "$@")" ]; then
        return 0
    fi
    key Escape
    return 1
}

# Every line of avahi-browse's resolved entries for the chat's service, as
# machine KEY sees them.
browse_from() {
    dns_sd_run "$1" timeout 15 avahi-browse -rpt _varlo-zintabel._tcp 2>/dev/null | grep '^='
}

browse_shows() { browse_from "$1" | grep -qxF -- "$2"; }

check_announced() {
    echo "== avahi-browse sees each copy, under its machine's name, on the chat's port"
    local line
    line="=;$VETH_B;IPv4;$HOST_A;_varlo-zintabel._tcp;local;$HOST_A.local;$ADDR_A;$PORT;"
    if wait_for "$HOST_A in avahi-browse on $HOST_B" browse_shows B "$line"; then
        pass "avahi-browse on $HOST_B: $line"
    else
        fail "avahi-browse on $HOST_B does not show copy A; it shows:"
        browse_from B | sed 's/^/     /'
    fi
    line="=;$VETH_A;IPv4;$HOST_B;_varlo-zintabel._tcp;local;$HOST_B.local;$ADDR_B;$PORT;"
    if wait_for "$HOST_B in avahi-browse on $HOST_A" browse_shows A "$line"; then
        pass "avahi-browse on $HOST_A: $line"
    else
        fail "avahi-browse on $HOST_A does not show copy B; it shows:"
        browse_from A | sed 's/^/     /'
    fi
}

check_lists() {
    echo "== each copy's list shows the other, not itself"
    # B's list first; then A's stays open to choose from.
    local row_a="$HOST_A — $ADDR_A" row_b="$HOST_B — $ADDR_B"
    if wait_for "B's list to be '$row_a'" list_is B "$row_a"; then
        pass "copy B's list (Down in the address box) is exactly '$row_a'"
        key Escape
    else
        fail "copy B's list is not just '$row_a'; it shows: $(tr '\n' '|' <"$WORK/rows")"
    fi
    if field_is B TxtIp 127.0.0.1; then
        pass "copy B's address box is still 127.0.0.1: nothing found fills it in by itself"
    else
        fail "copy B's address box changed by itself: '$(field_text B TxtIp)'"
    fi
    if wait_for "A's list to be '$row_b'" list_is A "$row_b"; then
        pass "copy A's list is exactly '$row_b'"
    else
        fail "copy A's list is not just '$row_b'; it shows: $(tr '\n' '|' <"$WORK/rows")"
        return
    fi

    echo "== choosing the row fills in the address, and Conectar converses"
    key Return
    if wait_for "A's address box to hold $ADDR_B" field_is A TxtIp "$ADDR_B"; then
        pass "choosing '$row_b' (Down, Enter) put $ADDR_B in copy A's address box"
    else
        fail "after choosing '$row_b', copy A's address box holds '$(field_text A TxtIp)'"
        return
    fi
    click A CmdConectar
    check_title A "$ADDR_A - Conectado"
    expect_outgoing_to A "$NS_A" "$ADDR_B"
    send_with A enter "$MESSAGE"
    expect_arrival B "$MESSAGE"
}

check_leaving() {
    echo "== a copy whose window is closed leaves the other's list"
    local pid="${PID_OF[A]}" status
    timeout 10 /usr/bin/python3 "$HERE/close_window.py" "${WINDOW_OF[A]}" ||
        fail "could not ask copy A's window to close"
    if timeout 20 tail --pid="$pid" -f /dev/null; then
        wait "$pid"
        status=$?
        if [ $status -eq 0 ]; then
            pass "copy A closed normally"
        else
            fail "copy A ended with status $status; its output:"
            sed 's/^/     /' "$WORK/A.log"
        fi
    else
        fail "copy A did not close within 20 s"
    fi
    unset "PID_OF[A]" "WINDOW_OF[A]"
    check_title B "$ADDR_B - Desconectado"
    if wait_for "B's address box to say there is no list" description_is B "$DESCRIPTION_ALONE"; then
        pass "copy B's address box says there is nothing to choose from: '$DESCRIPTION_ALONE'"
    else
        fail "copy B's address box still says: '$(probe B description)'"
    fi
    # B's own link back to A is left for the user to end; once ended, the
    # address box takes keys again.
    click B CmdDesconectar
    click B TxtIp
    key Down
    if WAIT_SECONDS=2 wait_for "a list to open in copy B" list_window_shown B; then
        fail "Down in copy B's address box still opens a list"
        key Escape
    else
        pass "Down in copy B's address box opens no list"
    fi
    if browse_from B | grep -q ";$HOST_A;"; then
        fail "avahi-browse on $HOST_B still shows $HOST_A"
    else
        pass "avahi-browse on $HOST_B no longer shows $HOST_A"
    fi
}

main() {
    check_prerequisites
    use_private_x_directory "$@"
    begin_checks
    trap 'status=$?; dns_sd_stop_all; (exit $status); cleanup' EXIT
    make_network
    dns_sd_start_host A "$NS_A" "$VETH_A" "$HOST_A" daemon
    dns_sd_start_host B "$NS_B" "$VETH_B" "$HOST_B" daemon
    dns_sd_session_bus A || { fail "no accessibility bus on $HOST_A"; exit 1; }
    dns_sd_session_bus B || { fail "no accessibility bus on $HOST_B"; exit 1; }
    start_x "$NS_A"
    start_discovering_copy A A 10 10
    start_discovering_copy B B 460 10
    check_announced
    check_lists
    check_leaving
    stop_copy B
    [ "$failed" -eq 0 ]
}

main "$@"
