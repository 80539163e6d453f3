#!/usr/bin/env bash
# The program on Wayland: one copy under Debian's weston with its headless
# backend (a compositor that draws into memory only), in a runtime folder and
# a network namespace of its own, with QT_QPA_PLATFORM=wayland.
#
# Checked from outside the program: the size the window asks the compositor
# for (libwayland's own protocol log) and what the compositor shows, through
# weston's screenshooter: the window's client area at its fixed size, and a
# message sent by nc in the transcript, in the received colour, read back from
# the picture by OCR.  Nothing can type into the window here (weston offers no
# input to outside programs), so only receiving is checked; sending is checked
# under X by two_copies.sh.
#
# Usage: wayland.sh PATH/TO/varlo-zintabel PATH/TO/window_layout
# Needs root (for `ip netns`), weston, Qt's Wayland plugin (qt6-wayland),
# ImageMagick, tesseract, nc (OpenBSD) and ss.
# Exits 0 when every check passed, 1 when one failed, 77 (skipped) when this
# machine cannot run it.

set -u
export LC_ALL=C.UTF-8

PROGRAM="${1:-}"
LAYOUT_TOOL="${2:-}"
source "$(dirname "$0")/e2e_support.sh"

TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-100}"
NS="vz-wl-$$"
SOCKET="vz-wayland-$$"
RUNTIME=""
# Letters and spaces only, which OCR reads back exactly.
MESSAGE="Hola desde nc por Wayland"
# The client area in pixels at Qt's 96 dots per inch, from its size in twips
# (set by check_prerequisites).
WIDTH=""
HEIGHT=""

check_prerequisites() {
    [ -n "$LAYOUT_TOOL" ] || { echo "usage: $0 PATH/TO/varlo-zintabel PATH/TO/window_layout" >&2; exit 2; }
    [ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }
    load_layout "$LAYOUT_TOOL"
    WIDTH=$(( (WINDOW_TWIPS_WIDTH * 96 + 720) / 1440 ))
    HEIGHT=$(( (WINDOW_TWIPS_HEIGHT * 96 + 720) / 1440 ))
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to make a network namespace"
    skip_unless_tools ip ss nc weston weston-screenshooter convert tesseract timeout
    nc -h 2>&1 | grep -q OpenBSD || skip_all "nc is not the OpenBSD one"
    compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null \
        || skip_all "Qt's Wayland plugin is not installed (qt6-wayland)"
}

# weston drawing with its software renderer (the headless backend draws
# nothing by default), a plain background and no panel, so that only the
# window is on the screen.  --debug lets the screenshooter in.
start_weston() {
    RUNTIME="$WORK/runtime"
    mkdir -m 700 "$RUNTIME"
    mkdir "$WORK/shots"
    cat >"$WORK/weston.ini" <<'INI'
[core]
idle-time=0
[shell]
background-color=0xff203040
panel-position=none
locking=false
animation=none
startup-animation=none
close-animation=none
focus-animation=none
INI
    XDG_RUNTIME_DIR="$RUNTIME" weston --backend=headless-backend.so --use-pixman \
        --width=640 --height=480 --socket="$SOCKET" --config="$WORK/weston.ini" --debug \
        </dev/null >"$WORK/weston.log" 2>&1 &
    SERVER_PIDS+=($!)
    if ! WAIT_SECONDS=20 wait_for "weston's socket" test -S "$RUNTIME/$SOCKET"; then
        sed 's/^/     /' "$WORK/weston.log"
        skip_all "weston's headless backend does not start here"
    fi
}

# Takes a picture of the whole screen into $WORK/shot.png.
screenshot() {
    rm -f "$WORK"/shots/*.png
    (cd "$WORK/shots" && XDG_RUNTIME_DIR="$RUNTIME" WAYLAND_DISPLAY="$SOCKET" \
        timeout 10 weston-screenshooter) >/dev/null 2>&1 || return 1
    local files=("$WORK"/shots/*.png)
    [ -f "${files[0]}" ] && mv "${files[0]}" "$WORK/shot.png"
}

save_failure_screenshot() {
    [ -n "$RUNTIME" ] && screenshot || return 0
    local dir
    dir=$(artifacts_dir)
    mkdir -p "$dir" && cp "$WORK/shot.png" "$dir/failure-$failed.png" \
        && note "screen at this failure: $dir/failure-$failed.png"
}

# The window's client area in the last picture, as "left top width height":
# the rectangle of its grey background (#808080), found from the stretches of
# grey at least three quarters of the window wide (the margins above and below
# the controls); nothing if there is none.
client_area() {
    local box
    box=$(timeout 20 convert "$WORK/shot.png" -fill black +opaque '#808080' -fill white -opaque '#808080' \
        -morphology Open "rectangle:$((WIDTH * 3 / 4))x1" -format '%@' info: 2>/dev/null) || return 1
    # WIDTHxHEIGHT+LEFT+TOP, or 0x0 when there is no such stretch.
    [[ "$box" =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ] || return 0
    echo "${BASH_REMATCH[3]} ${BASH_REMATCH[4]} ${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
}

# AREA: the client area once the window has been drawn whole at the size it
# asks for; the first frames on the screen may still be partial.
AREA=""

area_has_window_size() {
    screenshot || return 1
    AREA=$(client_area)
    local width height
    read -r _ _ width height <<<"$AREA"
    [ "${width:-0}" -eq "$WIDTH" ] && [ "${height:-0}" -eq "$HEIGHT" ]
}

start_copy() {
    ip netns exec "$NS" env -u DISPLAY XDG_RUNTIME_DIR="$RUNTIME" WAYLAND_DISPLAY="$SOCKET" \
        QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client "$PROGRAM" </dev/null >"$WORK/copy.log" 2>&1 &
    PID_OF[copy]=$!
}

check_size() {
    if WAIT_SECONDS=30 wait_for "the window drawn at ${WIDTH}x${HEIGHT}" area_has_window_size; then
        pass "the window's client area on the screen is ${WIDTH}x${HEIGHT} pixels ($WINDOW_TWIPS_WIDTH x $WINDOW_TWIPS_HEIGHT twips)"
    elif [ -n "$AREA" ]; then
        fail "the window's client area on the screen (left top width height): $AREA, expected ${WIDTH}x${HEIGHT}"
    else
        fail "no window appeared; its output:"
        grep -v '^\[' "$WORK/copy.log" | sed 's/^/     /'
        exit 1
    fi
    # What the window asked the compositor for: the same size as least and
    # most, so that it cannot be resized.
    local min max
    min=$(grep -o 'set_min_size([0-9, ]*)' "$WORK/copy.log" | tail -n1)
    max=$(grep -o 'set_max_size([0-9, ]*)' "$WORK/copy.log" | tail -n1)
    if [ "$min" = "set_min_size($WIDTH, $HEIGHT)" ] && [ "$max" = "set_max_size($WIDTH, $HEIGHT)" ]; then
        pass "the window asks for a fixed size: $min, $max"
    else
        fail "the window asked for '$min' and '$max', expected ${WIDTH}x${HEIGHT} for both"
    fi
}

# The transcript box, inside its border, in the last picture.
transcript_geometry() {
    local left top width height x y w h
    read -r left top width height <<<"$AREA"
    read -r x y w h <<<"${LAYOUT[TxtTexto]}"
    echo "$(( w * width / WINDOW_TWIPS_WIDTH - 8 ))x$(( h * width / WINDOW_TWIPS_WIDTH - 8 ))+$(( left + x * width / WINDOW_TWIPS_WIDTH + 4 ))+$(( top + y * width / WINDOW_TWIPS_WIDTH + 4 ))"
}

# The transcript's text as OCR reads it from the last picture, on one line.
transcript_ocr() {
    timeout 20 convert "$WORK/shot.png" -crop "$(transcript_geometry)" +repage -resize 300% "$WORK/transcript.png" &&
        timeout 30 tesseract "$WORK/transcript.png" stdout 2>/dev/null | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}

blue_in_transcript() { [ -n "$(colour_rows_in "$WORK/shot.png" "$(transcript_geometry)" blue)" ]; }

message_shown() { screenshot && blue_in_transcript && [[ "$(transcript_ocr)" == *"$MESSAGE"* ]]; }

check_listening_and_receiving() {
    if wait_for "the chat's port" listening_in "$NS"; then
        pass "the copy listens on port $PORT"
    else
        fail "nothing listens on port $PORT in the copy's namespace"
        return
    fi
    screenshot
    if blue_in_transcript; then
        fail "the transcript holds received-colour text before anything was sent"
    fi
    printf '%s' "$MESSAGE" | ip netns exec "$NS" timeout 10 nc -N 127.0.0.1 "$PORT" >/dev/null 2>&1
    if wait_for "'$MESSAGE' in the transcript" message_shown; then
        pass "the transcript shows '$MESSAGE' from nc, in the received colour"
    else
        fail "the transcript does not show '$MESSAGE' in the received colour; OCR read: '$(transcript_ocr)'"
    fi
}

main() {
    check_prerequisites
    begin_checks
    make_namespace "$NS"
    start_weston
    start_copy
    check_size
    check_listening_and_receiving
    [ "$failed" -eq 0 ]
}

main "$@"
