# Shared by the end-to-end scripts that drive copies through their windows
# (two_copies.sh, windows_copy.sh): a private network of two namespaces, the
# copies' windows, typing and pasting, the clipboard, the transcript copied
# out, and the received colour read from a screenshot. Sourced after
# e2e_support.sh; the script sets NS_A, NS_B, ADDR_A, ADDR_B, VETH_A, VETH_B
# and PROGRAM, and declares WINDOW_OF.
# shellcheck shell=bash

# Two namespaces, lo up in each, joined by a veth pair whose ends are created
# right inside them (the pair never exists in this machine's own stack).
make_network() {
    ip netns add "$NS_A" 2>/dev/null || skip_all "cannot make network namespaces here"
    CREATED_NS+=("$NS_A")
    ip netns add "$NS_B" || { fail "making namespace $NS_B"; exit 1; }
    CREATED_NS+=("$NS_B")
    ip -n "$NS_A" link add "$VETH_A" type veth peer name "$VETH_B" netns "$NS_B" \
        || skip_all "cannot make a veth pair here"
    ip -n "$NS_A" addr add "$ADDR_A/24" dev "$VETH_A"
    ip -n "$NS_B" addr add "$ADDR_B/24" dev "$VETH_B"
    local ns
    for ns in "$NS_A" "$NS_B"; do
        ip -n "$ns" link set lo up
    done
    ip -n "$NS_A" link set "$VETH_A" up
    ip -n "$NS_B" link set "$VETH_B" up
    if ! wait_for "veth up in $NS_A" link_is_up "$NS_A" "$VETH_A" \
        || ! wait_for "veth up in $NS_B" link_is_up "$NS_B" "$VETH_B"; then
        fail "the veth pair did not come up"
        exit 1
    fi
}

link_is_up() { ip -n "$1" -br link show "$2" 2>/dev/null | grep -qw UP; }

# ---------------------------------------------------------------- copies

# Copies whose text is pasted rather than typed: Wine maps the keyboard once,
# so the characters that typing binds to a spare key for the moment (ñ, ¿,
# é...) never reach a program under Wine.
declare -A PASTES_TEXT=()

# start_copy NAME NAMESPACE X Y [COMMAND...] : runs the program (or COMMAND,
# which starts it) inside NAMESPACE, finds its window and puts it at X,Y
# (there is no window manager to place it, and two windows at 0,0 would hide
# each other from the clicks).
start_copy() {
    local name="$1" ns="$2" x="$3" y="$4"
    shift 4
    [ $# -gt 0 ] || set -- "$PROGRAM"
    ip netns exec "$ns" env DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8 \
        "$@" </dev/null >"$WORK/$name.log" 2>&1 &
    PID_OF[$name]=$!
    local wid=""
    local deadline=$((SECONDS + 20))
    while [ -z "$wid" ]; do
        # Qt marks its windows with the process id; the chat window is the
        # visible one whose title has the " - " before the status word.
        wid=$(xdo search --all --onlyvisible --pid "${PID_OF[$name]}" --name ' - ' 2>/dev/null | head -n1)
        if [ -z "$wid" ]; then
            if ! kill -0 "${PID_OF[$name]}" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
                fail "copy $name: no window appeared; its output:"
                sed 's/^/     /' "$WORK/$name.log"
                note "X sockets: $(ls /tmp/.X11-unix | tr '\n' ' ')"
                exit 1
            fi
            sleep 0.2
        fi
    done
    WINDOW_OF[$name]=$wid
    xdo windowmove "$wid" "$x" "$y"
    wait_for "copy $name at $x,$y" window_is_at "$wid" "$x" "$y"
}

window_is_at() { xdo getwindowgeometry "$1" | grep -q "Position: $2,$3 "; }

stop_copy() {
    local name="$1" pid="${PID_OF[$1]}"
    kill "$pid" 2>/dev/null
    timeout 10 tail --pid="$pid" -f /dev/null
    unset "PID_OF[$name]" "WINDOW_OF[$name]"
}

title_of() { xdo getwindowname "${WINDOW_OF[$1]}"; }

title_is() { [ "$(title_of "$1")" = "$2" ]; }

check_title() {
    local name="$1" expected="$2"
    if wait_for "title '$expected'" title_is "$name" "$expected"; then
        pass "copy $name title is '$expected'"
    else
        fail "copy $name title is '$(title_of "$name")', expected '$expected'"
    fi
}

# ---------------------------------------------------------------- input

# Gives copy NAME the keyboard.  Without a window manager nothing moves the
# focus on a click, so it is set directly and then waited for.
focus_copy() {
    local wid="${WINDOW_OF[$1]}"
    [ "$(xdo getwindowfocus 2>/dev/null)" = "$wid" ] && return 0
    xdo windowfocus "$wid"
    wait_for "focus on copy $1" focus_is "$wid"
}

focus_is() { [ "$(xdo getwindowfocus)" = "$1" ]; }

# click NAME WIDGET [X-FRACTION Y-FRACTION] : clicks inside a control of copy
# NAME, at its middle unless told where (fractions of its width and height).
click() {
    local name="$1" widget="$2" fx="${3:-0.5}" fy="${4:-0.5}"
    local wid="${WINDOW_OF[$name]}"
    focus_copy "$name"
    local width
    width=$(xdo getwindowgeometry "$wid" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    local left top w h
    read -r left top w h <<<"${LAYOUT[$widget]}"
    local px py
    px=$(awk -v l="$left" -v w="$w" -v f="$fx" -v s="$width" -v t="$WINDOW_TWIPS_WIDTH" \
        'BEGIN { printf "%d", (l + w * f) * s / t }')
    py=$(awk -v l="$top" -v w="$h" -v f="$fy" -v s="$width" -v t="$WINDOW_TWIPS_WIDTH" \
        'BEGIN { printf "%d", (l + w * f) * s / t }')
    xdo mousemove --window "$wid" "$px" "$py" click 1
}

key() { xdo key "$@"; }

# Typing goes through the X server's keyboard like a real keyboard; characters
# outside the keymap (ñ, ¿, é...) are bound to a spare key for the moment, so
# a small delay between keys lets the program see each new binding.
type_text() { xdo type --delay 60 -- "$1"; }

# ---------------------------------------------------------------- clipboard

# Pastes TEXT where the focus is, as a person would with Ctrl+V.
paste_text() {
    set_clipboard "$1"
    WAIT_SECONDS=5 wait_for "text on the clipboard" clipboard_holds "$1" || true
    key ctrl+v
}

SENTINEL="-- vz-e2e clipboard sentinel --"

set_clipboard() {
    printf '%s' "$1" | xclip -i -selection clipboard -t UTF8_STRING >/dev/null 2>&1
}

read_clipboard() { timeout 5 xclip -o -selection clipboard -t UTF8_STRING 2>/dev/null; }

clipboard_holds() { [ "$(read_clipboard)" = "$1" ]; }

clipboard_changed() { ! clipboard_holds "$SENTINEL"; }

# copy_out NAME WIDGET FILE : selects everything in a control with Ctrl+A,
# copies it with Ctrl+C and writes what the clipboard then holds to FILE,
# with Windows line ends made plain.  Fails if nothing was copied.
copy_out() {
    local name="$1" widget="$2" file="$3"
    set_clipboard "$SENTINEL"
    WAIT_SECONDS=5 wait_for "clipboard sentinel" clipboard_holds "$SENTINEL" || true
    click "$name" "$widget"
    key ctrl+a
    key ctrl+c
    if ! WAIT_SECONDS=5 wait_for "copy from $widget of copy $name" clipboard_changed; then
        : >"$file"
        return 1
    fi
    read_clipboard | tr -d '\r' >"$file"
}

# Text of a one-line control.
field_text() {
    local file="$WORK/field"
    copy_out "$1" "$2" "$file" || return 1
    cat "$file"
}

field_is() { [ "$(field_text "$1" "$2")" = "$3" ]; }

transcript_to() { copy_out "$1" TxtTexto "$2"; }

transcript_has() {
    transcript_to "$1" "$WORK/poll" && grep -qF -- "$2" "$WORK/poll"
}

# ---------------------------------------------------------------- actions

# Empties a one-line control the way a person would.
clear_field() {
    click "$1" "$2"
    key ctrl+a BackSpace
}

# enter_text NAME WIDGET TEXT : types TEXT into an empty control and checks it
# arrived whole; typing through the synthetic keyboard can now and then lose
# a remapped character, so it is typed again (at most twice more) before
# giving up.
enter_text() {
    local name="$1" widget="$2" text="$3" got attempt
    for attempt in 1 2 3; do
        click "$name" "$widget"
        key End
        if [ -n "${PASTES_TEXT[$name]:-}" ]; then
            paste_text "$text"
        else
            type_text "$text"
        fi
        got=$(field_text "$name" "$widget")
        [ "$got" = "$text" ] && return 0
        note "typed '$text' into $widget of copy $name but it holds '$got' (attempt $attempt)"
        clear_field "$name" "$widget"
    done
    fail "could not type '$text' into $widget of copy $name"
    return 1
}

# send_with NAME HOW TEXT : types TEXT into TxtMensaje and sends it by Enter
# (HOW=enter) or by clicking Enviar (HOW=click).
send_with() {
    local name="$1" how="$2" text="$3"
    enter_text "$name" TxtMensaje "$text" || return 1
    case "$how" in
        enter) click "$name" TxtMensaje; key End Return ;;
        click) click "$name" CmdEnviar ;;
    esac
}

# expect_arrival RECEIVER TEXT : waits until TEXT is in RECEIVER's transcript.
expect_arrival() {
    local receiver="$1" text="$2"
    if wait_for "'$text' in the transcript of copy $receiver" transcript_has "$receiver" "$text"; then
        pass "copy $receiver shows '$text'"
    else
        fail "copy $receiver does not show '$text'; its transcript:"
        show_bytes <"$WORK/poll"
    fi
}

# expect_transcript NAME ENTRY... : the whole transcript, each entry on a line
# of its own after a line break.
expect_transcript() {
    local name="$1"
    shift
    local expected="$WORK/expected" got="$WORK/got"
    printf '\n%s' "$@" >"$expected"
    if transcript_to "$name" "$got" && cmp -s "$expected" "$got"; then
        pass "transcript of copy $name is exactly the $# entries, one per line"
    else
        fail "transcript of copy $name differs; expected then got:"
        show_bytes <"$expected"
        show_bytes <"$got"
    fi
}

# The peer address of the one established connection from namespace NS to
# port PORT elsewhere (the copy's outgoing link).
outgoing_peer() {
    ip netns exec "$1" ss -Htn state established "( dport = :$PORT )" | awk '{ print $4 }'
}

outgoing_peer_is() { [ "$(outgoing_peer "$1")" = "$2" ]; }

expect_outgoing_to() {
    local name="$1" ns="$2" address="$3"
    if wait_for "copy $name connected to $address" outgoing_peer_is "$ns" "$address:$PORT"; then
        pass "copy $name has one outgoing connection, to $address:$PORT"
    else
        fail "copy $name's outgoing connections: '$(outgoing_peer "$ns" | tr '\n' ' ')', expected $address:$PORT"
    fi
}

# ---------------------------------------------------------------- colours

# Rows of the transcript box (in its own pixels) holding received-colour text
# (bluish) and default text (near black), as "first last" each; "" if none.
colour_rows() {
    local name="$1" wid="${WINDOW_OF[$1]}" kind="$2"
    local width
    width=$(xdo getwindowgeometry "$wid" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    local left top w h
    read -r left top w h <<<"${LAYOUT[TxtTexto]}"
    # Inside the box's border, left of its scroll bar.
    local x y cw ch
    x=$(( left * width / WINDOW_TWIPS_WIDTH + 4 ))
    y=$(( top * width / WINDOW_TWIPS_WIDTH + 4 ))
    cw=$(( w * width / WINDOW_TWIPS_WIDTH - 30 ))
    ch=$(( h * width / WINDOW_TWIPS_WIDTH - 8 ))
    timeout 10 import -window "$wid" "$WORK/shot.png" 2>/dev/null || return 1
    colour_rows_in "$WORK/shot.png" "${cw}x${ch}+${x}+${y}" "$kind"
}

# expect_colour_order NAME ORDER : ORDER is "dark-then-blue" when the sent
# entries come before the received ones, "blue-then-dark" the other way.
expect_colour_order() {
    local name="$1" order="$2"
    if ! command -v import >/dev/null || ! command -v convert >/dev/null; then
        echo "SKIP: colours of copy $name (ImageMagick not installed)"
        return 0
    fi
    # A click at the very end of the transcript drops the Ctrl+A selection;
    # then the focus goes back to the message box so no caret is drawn there.
    click "$name" TxtTexto 0.5 0.97
    click "$name" TxtMensaje
    local blue dark
    blue=$(colour_rows "$name" blue)
    dark=$(colour_rows "$name" dark)
    local b1 b2 d1 d2
    read -r b1 b2 <<<"$blue"
    read -r d1 d2 <<<"$dark"
    if [ -z "$blue" ] || [ -z "$dark" ]; then
        fail "copy $name: transcript colours: blue rows '$blue', black rows '$dark'"
    elif [ "$order" = dark-then-blue ] && [ "$d2" -lt "$b1" ]; then
        pass "copy $name: sent text black (rows $d1-$d2) above received text blue (rows $b1-$b2)"
    elif [ "$order" = blue-then-dark ] && [ "$b2" -lt "$d1" ]; then
        pass "copy $name: received text blue (rows $b1-$b2) above sent text black (rows $d1-$d2)"
    else
        fail "copy $name: expected $order, found blue rows $b1-$b2 and black rows $d1-$d2"
    fi
}
