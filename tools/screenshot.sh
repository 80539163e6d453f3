#!/usr/bin/env bash
# Remakes docs/screenshot.png, the README's picture of the window: one copy
# under a virtual X server connects to itself at 127.0.0.1, so that what it
# sends also comes back as a received (blue) entry, a short exchange is typed
# in, and the window alone is captured.
#
# Usage: tools/screenshot.sh [PATH/TO/varlo-zintabel [PATH/TO/window_layout]]
# Without a path it builds build/ first.  Where to click comes from the
# program's own layout table, printed by window_layout, which is looked for
# under tests/e2e/ beside the program unless named.  Needs xvfb, xdotool
# and imagemagick (installed when missing and run as root).  As root the copy
# runs in a network namespace of its own (only its loopback), so that a copy
# or test already using the chat's port on this machine does not get in the
# way; otherwise the port must be free.
set -euo pipefail
source "$(dirname "$0")/common.sh"
export LC_ALL=C.UTF-8

OUTPUT="$VZ_ROOT/docs/screenshot.png"
PORT=49577
# Sent in this order; each shows twice: as sent (black) and as received (blue).
MESSAGES=("Hola, ¿qué tal?" "¡Muy bien! ¿Nos vemos mañana en el café?")
# Left typed but not sent, as someone about to answer.
DRAFT="Sí, a las diez"

WORK=""
XVFB_PID=""
COPY_PID=""
NETNS=""

cleanup() {
    [ -n "$COPY_PID" ] && kill "$COPY_PID" 2>/dev/null
    if [ -n "$NETNS" ]; then
        local pid
        for pid in $(ip netns pids "$NETNS" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
        ip netns del "$NETNS" 2>/dev/null
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
    [ -n "$WORK" ] && rm -rf "$WORK"
    return 0
}
trap cleanup EXIT

die() {
    echo "screenshot.sh: $*" >&2
    exit 1
}

# wait_for SECONDS COMMAND... : polls COMMAND until it succeeds or time is up.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

xdo() { timeout 10 xdotool "$@"; }

# Xvfb on a display number chosen here (high, varied by the process id):
# Xvfb's own search from :0 up would replace the socket files of servers that
# other programs are using.
start_x() {
    local first=$((300 + $$ % 400)) number fifo ready
    for number in $(seq "$first" $((first + 30))); do
        [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] && continue
        fifo="$WORK/ready-$number"
        mkfifo "$fifo"
        Xvfb ":$number" -displayfd 3 -nolisten tcp -noreset -screen 0 800x600x24 -dpi 96 \
            3>"$fifo" >"$WORK/xvfb.log" 2>&1 &
        XVFB_PID=$!
        ready=$(timeout 20 head -n1 "$fifo") || true
        if [ "$ready" = "$number" ]; then
            export DISPLAY=":$number"
            return 0
        fi
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    done
    die "could not start Xvfb: $(cat "$WORK/xvfb.log")"
}

# The command prefix that runs the copy: inside a namespace of its own when
# this is root and namespaces work, directly otherwise.
prepare_network() {
    if [ "$(id -u)" -eq 0 ] && ip netns add "vz-shot-$$" 2>/dev/null; then
        NETNS="vz-shot-$$"
        ip -n "$NETNS" link set lo up
        RUN=(ip netns exec "$NETNS")
    else
        RUN=()
        if ss -Htln "( sport = :$PORT )" | grep -q .; then
            die "port $PORT is in use here; close the other copy or run as root"
        fi
    fi
}

start_copy() {
    "${RUN[@]}" env DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8 "$PROGRAM" >"$WORK/copy.log" 2>&1 &
    COPY_PID=$!
    wait_for 20 find_window || die "no window appeared: $(cat "$WORK/copy.log")"
    WID=$(find_window)
    xdo windowmove "$WID" 20 20
    xdo windowfocus "$WID"
    wait_for 5 focus_is "$WID" || die "could not focus the window"
}

find_window() { xdo search --all --onlyvisible --pid "$COPY_PID" --name ' - ' | head -n1 | grep .; }

focus_is() { [ "$(xdo getwindowfocus)" = "$1" ]; }

# The window's layout in twips, "left top width height" by control name, and
# the client area's width, as the program's table has them.
declare -A LAYOUT=()
WINDOW_TWIPS_WIDTH=""
load_layout() {
    local name left top width height
    while read -r name left top width height; do
        LAYOUT[$name]="$left $top $width $height"
    done < <("$1")
    [ -n "${LAYOUT[Form1]:-}" ] || die "$1 did not print the window's layout"
    read -r _ _ WINDOW_TWIPS_WIDTH _ <<<"${LAYOUT[Form1]}"
}

# click CONTROL [X-PERMILLE Y-PERMILLE] : a click inside a control, at its
# middle unless told where (thousandths of its width and height).
click() {
    local width left top w h
    width=$(xdo getwindowgeometry "$WID" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    read -r left top w h <<<"${LAYOUT[$1]}"
    local x=$((left + w * ${2:-500} / 1000)) y=$((top + h * ${3:-500} / 1000))
    xdo mousemove --window "$WID" $((x * width / WINDOW_TWIPS_WIDTH)) $((y * width / WINDOW_TWIPS_WIDTH)) click 1
}

click_conectar() { click CmdConectar; }
click_mensaje() { click TxtMensaje; }
click_texto() { click TxtTexto; }

title_ends() { [[ "$(xdo getwindowname "$WID")" == *" - $1" ]]; }

# The transcript's plain text, copied out with Ctrl+A / Ctrl+C.
transcript() {
    printf 'x' | xclip -i -selection clipboard >/dev/null 2>&1
    click_texto
    xdo key ctrl+a ctrl+c
    sleep 0.3
    timeout 5 xclip -o -selection clipboard -t UTF8_STRING | tr -d '\r'
}

# True once TEXT shows twice in the transcript (sent, then received).
shown_twice() { [ "$(transcript | grep -cxF -- "$1")" -ge 2 ]; }

main() {
    if [ $# -ge 1 ]; then
        PROGRAM="$1"
    else
        vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}"
        vz_build "$VZ_ROOT/build" -DVZ_BUILD_TESTS=ON
        PROGRAM="$VZ_ROOT/build/varlo-zintabel"
    fi
    [ -x "$PROGRAM" ] || die "program not found: $PROGRAM"
    local layout_tool="${2:-$(dirname "$PROGRAM")/tests/e2e/window_layout}"
    [ -x "$layout_tool" ] || die "window_layout not found: $layout_tool (build the tests, or name it)"
    load_layout "$layout_tool"
    vz_ensure_packages xvfb xdotool xclip imagemagick iproute2
    WORK=$(mktemp -d /tmp/vz-shot.XXXXXX)

    start_x
    prepare_network
    start_copy

    # TxtIp holds 127.0.0.1 from the start: the copy connects to itself.
    click_conectar
    wait_for 10 title_ends Conectado || die "did not connect to itself: $(xdo getwindowname "$WID")"

    local message
    for message in "${MESSAGES[@]}"; do
        click_mensaje
        xdo type --delay 60 -- "$message"
        xdo key Return
        wait_for 10 shown_twice "$message" || die "'$message' did not come back; transcript: $(transcript)"
    done
    # A click below the last entry drops the selection made for reading it.
    click TxtTexto 500 965
    click_mensaje
    xdo type --delay 60 -- "$DRAFT"
    # Leaves the pointer off the buttons, so none is drawn hovered.
    xdo mousemove --window "$WID" 5 5
    sleep 0.5

    mkdir -p "$(dirname "$OUTPUT")"
    import -window "$WID" "$WORK/shot.png"
    # Without metadata that changes on every run (dates), so an unchanged
    # window gives an unchanged file.
    convert "$WORK/shot.png" -strip "$OUTPUT"
    echo "Wrote $OUTPUT ($(identify -format '%wx%h' "$OUTPUT"))"
}

main "$@"
