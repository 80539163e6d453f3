#!/usr/bin/env bash
# Other programs paste a copy's transcript, several at once, under Xvfb: a
# peer (nc) fills the transcript with a few mebibytes, the user selects it
# all (Ctrl+A, the primary selection) and copies it (Ctrl+C), then xclip
# reads the clipboard three times and the primary selection once, all at
# the same time, while the text is made in slices between the window's
# events. Each gets the whole text, the same bytes. Then a reader that takes
# its paste slowly holds a transfer open while another paste is served and
# the window connects back to a new peer.
#
# Usage: paste.sh PATH/TO/varlo-zintabel PATH/TO/window_layout
# Needs root (for `ip netns`), Xvfb, xdotool, xclip, nc (OpenBSD), ss.
# Exits 0 when every check passed, 1 when one failed, 77 (skipped) when this
# machine cannot run it.

set -u
export LC_ALL=C.UTF-8

PROGRAM="${1:-}"
LAYOUT_TOOL="${2:-}"
source "$(dirname "$0")/e2e_support.sh"
source "$(dirname "$0")/window_driving.sh"

TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-150}"
NS="vz-e2e-$$-p"
declare -A WINDOW_OF=()

check_prerequisites() {
    [ -n "$LAYOUT_TOOL" ] || { echo "usage: $0 PATH/TO/varlo-zintabel PATH/TO/window_layout" >&2; exit 2; }
    [ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }
    load_layout "$LAYOUT_TOOL"
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to make network namespaces"
    skip_unless_tools ip ss Xvfb xdotool xclip nc timeout cmp
    nc -h 2>&1 | grep -q OpenBSD || skip_all "nc is not the OpenBSD one"
    unshare --mount true 2>/dev/null || skip_all "cannot make a mount namespace here"
}

# About 8 MiB of text without line breaks (accents, a euro sign, an emoji):
# the transcript is that text in entries as the peer's reads cut it, each
# after a line break.
make_text() {
    local line="Señor Núñez, ¿qué tal? 20 € 😀 y el pingüino comió ñoquis; "
    local i
    for i in $(seq 1 2048); do printf '%s' "$line"; done >"$WORK/line"
    for i in $(seq 1 64); do cat "$WORK/line"; done >"$WORK/text"
}

# xclip's output, its line breaks taken out.
without_breaks() { tr -d '\n' <"$1"; }

# True once the whole text is in the transcript.
transcript_is_whole() {
    transcript_to A "$WORK/poll" && cmp -s <(without_breaks "$WORK/poll") "$WORK/text"
}

paste_from() { timeout 60 xclip -o -selection "$1" -t UTF8_STRING; }

check_pastes_at_once() {
    echo "== pastes at once"
    click A TxtTexto
    key ctrl+a ctrl+c
    local i pids=()
    for i in 1 2 3; do
        paste_from clipboard >"$WORK/paste$i" &
        pids+=($!)
    done
    paste_from primary >"$WORK/primary" &
    pids+=($!)
    local status=0
    for i in "${pids[@]}"; do wait "$i" || status=1; done
    [ "$status" -eq 0 ] && pass "four pastes at once all ended" || fail "a paste failed or timed out"
    if head -c1 "$WORK/paste1" | cmp -s - <(printf '\n') && cmp -s <(without_breaks "$WORK/paste1") "$WORK/text"; then
        pass "the clipboard gives the whole transcript ($(wc -c <"$WORK/paste1") bytes)"
    else
        fail "the first paste is not the transcript: $(wc -c <"$WORK/paste1") bytes"
    fi
    for i in paste2 paste3 primary; do
        if cmp -s "$WORK/paste1" "$WORK/$i"; then
            pass "$i is the same bytes"
        else
            fail "$i differs from the first paste ($(wc -c <"$WORK/$i") bytes)"
        fi
    done
}

check_slow_reader() {
    echo "== a slow reader"
    # xclip stops taking the text once the pipe is full; the transfer stays
    # open until the reader wakes.
    paste_from clipboard | { sleep 3; cat >"$WORK/slow"; } &
    local slow=$!
    sleep 0.5
    if timeout 10 xclip -o -selection clipboard -t UTF8_STRING >"$WORK/meanwhile" \
        && cmp -s "$WORK/paste1" "$WORK/meanwhile"; then
        pass "another paste is served whole while a slow one is under way"
    else
        fail "no whole paste while a slow one is under way"
    fi
    # A peer connecting: the copy, which never connected, connects back.
    ip netns exec "$NS" nc -N 127.0.0.1 "$PORT" </dev/null
    check_title A "127.0.0.1 - Conectado"
    if kill -0 "$slow" 2>/dev/null; then
        pass "the window acted while the slow paste was still under way"
    else
        fail "the slow paste ended before the window was checked"
    fi
    wait "$slow"
    cmp -s "$WORK/paste1" "$WORK/slow" && pass "the slow reader got the whole text too" \
        || fail "the slow reader got $(wc -c <"$WORK/slow") bytes"
}

main() {
    check_prerequisites
    use_private_x_directory "$@"
    begin_checks
    make_namespace "$NS"
    start_x "$NS"
    start_copy A "$NS" 10 10
    wait_for "copy listening" listening_in "$NS" || { fail "the copy does not listen"; exit 1; }
    make_text
    ip netns exec "$NS" nc -N 127.0.0.1 "$PORT" <"$WORK/text" || fail "nc could not send the text"
    if WAIT_SECONDS=60 wait_for "the whole text in the transcript" transcript_is_whole; then
        pass "the transcript holds the $(wc -c <"$WORK/text") bytes sent"
    else
        fail "the transcript does not hold the text sent"
        exit 1
    fi
    check_pastes_at_once
    check_slow_reader
}

main "$@"
