#!/usr/bin/env bash
# What Orca, the screen reader, says of messages that arrive: each one exactly
# once, in order, wherever the focus is. Orca runs with speech on and no
# synthesizer (Speech Dispatcher pointed at a socket that does not exist), so
# that its debug log holds everything it would say; the desktop's
# notifications come from notification-daemon. All of it in an X server, a
# D-Bus session and (through own_network.sh) a network namespace of the
# test's own.
#
# Usage: orca_speech.sh PATH/TO/varlo-zintabel PATH/TO/orca_check.py
# Exits 0 when every message was said once and in order, 1 when not, 77 when
# Orca or the accessibility bus is missing.
set -u
PROGRAM="$1" CHECK="$2"
SKIPPED=77
for tool in orca Xvfb xdotool xmessage dbus-run-session /usr/libexec/at-spi-bus-launcher \
    /usr/lib/notification-daemon/notification-daemon; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit $SKIPPED; }
done
if [ "${VZ_ORCA_STAGE:-}" != session ]; then
    WORK=$(mktemp -d)
    trap 'kill "$XVFB" 2>/dev/null; rm -rf "$WORK"' EXIT
    exec 3>"$WORK/display"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 >/dev/null 2>&1 &
    XVFB=$!
    for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.2; done
    export DISPLAY=":$(head -1 "$WORK/display")" VZ_ORCA_STAGE=session WORK
    # A home of the test's own, for the session bus and all it starts too.
    export HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run" XDG_CONFIG_HOME="$WORK/home/.config"
    export XDG_DATA_HOME="$WORK/home/.local/share"
    # Speech on, with no synthesizer: a socket that does not exist, and nothing
    # that Orca's speech client may start in its place.
    export SPEECHD_ADDRESS="unix_socket:$WORK/nowhere/speechd.sock" SPEECHD_CMD="$WORK/nowhere/speech-dispatcher"
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    timeout 240 dbus-run-session -- "$0" "$@"
    exit $?
fi

LOG="$WORK/orca.log" SCRIPT="$WORK/messages.txt"
/usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 >/dev/null 2>&1 &
for _ in $(seq 50); do
    dbus-send --session --dest=org.a11y.Bus --print-reply /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1 && break
    sleep 0.2
done
# As a desktop does when its user turns the screen reader on.
gsettings set org.gnome.desktop.a11y.applications screen-reader-enabled true 2>/dev/null
/usr/lib/notification-daemon/notification-daemon >/dev/null 2>&1 &
/usr/bin/python3 "$(dirname "$0")/orca_line_buffered.py" "$LOG" </dev/null >/dev/null 2>&1 &
ORCA=$!
said() { grep -q "SPEECH OUTPUT: .*$1" "$LOG" 2>/dev/null; }
wait_for() { for _ in $(seq 100); do said "$1" && return 0; sleep 0.2; done; return 1; }
# Until Orca has said all it has to: its log quiet for two seconds.
settle() { for _ in $(seq 30); do local a; a=$(stat -c %s "$LOG"); sleep 2; [ "$(stat -c %s "$LOG")" = "$a" ] && return; done; }
wait_for "Screen reader on" || { echo "SKIP: Orca did not start"; exit $SKIPPED; }

QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb "$PROGRAM" </dev/null >/dev/null 2>&1 &
APP=$!
window=$(timeout 15 xdotool search --sync --onlyvisible --pid "$APP" 2>/dev/null | head -1)
xdotool windowfocus --sync "$window"
wait_for "Mensaje text" || { echo "FAIL: Orca never read the window"; exit 1; }
settle

# The messages, each unique; the same lines go to the checker, in order.
/usr/bin/python3 - "$SCRIPT" <<'PY'
import sys
lines = []
def step(delay_ms, text, where):
    lines.append("%d\t%s\t%s" % (delay_ms, where, text))
for where in ("mensaje", "conversacion"):
    step(0, "par de %s uno" % where, where)
    step(5, "par de %s dos" % where, where)
    for i in range(1, 11):
        step(1000 if i == 1 else 0, "seguido %s %02d" % (where, i), where)
    step(1000, "corto antes del largo en %s" % where, where)
    step(700, "largo en %s " % where + "y" * 1180, where)
step(0, "fuera, primero", "fuera")
step(6000, "fuera, tras la pausa", "fuera")
open(sys.argv[1], "w", encoding="utf-8").write("\n".join(lines) + "\n")
PY
send_where() {
    /usr/bin/python3 - "$SCRIPT" "$1" <<'PY'
import socket, sys, time
peer = socket.create_connection(("127.0.0.1", 49577))
peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
for line in open(sys.argv[1], encoding="utf-8"):
    delay, where, text = line.rstrip("\n").split("\t", 2)
    if where == sys.argv[2]:
        time.sleep(int(delay) / 1000)
        peer.sendall(text.encode())
time.sleep(1)
PY
}
send_where mensaje
settle
# Into the conversation: Enviar, Desconectar, the transcript.
for _ in 1 2 3; do xdotool key Tab; sleep 0.5; done
wait_for "Conversación read only" || { echo "FAIL: the conversation never took the focus"; exit 1; }
settle
send_where conversacion
settle
# Another program active: the desktop's notification tells what arrives.
xmessage -geometry 200x50+500+400 "otro programa" &
OTHER=$!
other=$(timeout 15 xdotool search --sync --onlyvisible --pid "$OTHER" 2>/dev/null | head -1)
xdotool windowfocus --sync "$other"
sleep 1
send_where fuera
# notification-daemon shows one notification at a time: the second once the
# first has gone, 10 s after it came.
sleep 12
settle
kill "$APP" "$ORCA" "$OTHER" 2>/dev/null
wait "$APP" 2>/dev/null
/usr/bin/python3 "$CHECK" "$LOG" "$SCRIPT"
