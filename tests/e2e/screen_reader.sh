#!/usr/bin/env bash
# Runs inside a D-Bus session of its own (dbus-run-session): starts the
# accessibility bus, the program with Qt's accessibility always on, and the
# probe that reads the window as a screen reader does.
#
# Usage: screen_reader.sh PATH/TO/varlo-zintabel PATH/TO/read_transcript.py PORT MESSAGE
# Exits with the probe's code; 77 when the accessibility bus does not start.

set -u
PROGRAM="$1" PROBE="$2" PORT="$3" MESSAGE="$4"

bus_is_up() {
    dbus-send --session --dest=org.a11y.Bus --print-reply /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1
}

/usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 >/dev/null 2>&1 &
LAUNCHER=$!
for _ in $(seq 50); do bus_is_up && break; sleep 0.2; done
if ! bus_is_up; then
    echo "the accessibility bus did not start"
    kill "$LAUNCHER" 2>/dev/null
    exit 77
fi

QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb "$PROGRAM" </dev/null >/dev/null 2>&1 &
APP=$!
# The window active with the focus in its message box, as a user leaves it
# (there is no window manager to give it the focus).
if command -v xdotool >/dev/null; then
    window=$(timeout 10 xdotool search --sync --onlyvisible --pid "$APP" 2>/dev/null | head -1)
    [ -n "$window" ] && xdotool windowfocus --sync "$window" 2>/dev/null
fi
timeout 30 /usr/bin/python3 "$PROBE" "$PORT" "$MESSAGE"
status=$?
# A window missing from a bus that is up is a failure, not a skip.
[ "$status" -eq 77 ] && status=1
kill "$APP" "$LAUNCHER" 2>/dev/null
wait "$APP" 2>/dev/null
exit "$status"
