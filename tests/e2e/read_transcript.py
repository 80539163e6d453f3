#!/usr/bin/python3
"""Reads the chat window through the accessibility bus, as a screen reader
does: the window's role and name, the transcript's text, the insertion
event that a message sent to the window raises, and, while the window is
active with the focus in its message box, the one notification that tells
the message, with no selection change in the transcript to draw the screen
reader away from the focus.

Usage: read_transcript.py PORT MESSAGE
Prints what it found, one item a line. Exits 0 when the window is a frame,
the transcript a read-only multi-line text, the message arrived as two
text-changed:insert events, its line break and then its text, and the
transcript then reads it; 1 otherwise; 77 when no window of the program shows up on the bus.
"""
import socket
import sys
import time

import pyatspi
from gi.repository import GLib

PORT = int(sys.argv[1])
MESSAGE = sys.argv[2]


def find_window():
    desktop = pyatspi.Registry.getDesktop(0)
    for _ in range(100):
        for app in desktop:
            if app is not None and app.name.lower() == "varlo-zintabel" and app.childCount > 0:
                return app[0]
        time.sleep(0.1)
    return None


def find_transcript(node):
    for child in node:
        if child is None:
            continue
        if child.name == "Conversación":
            return child
        found = find_transcript(child)
        if found is not None:
            return found
    return None


window = find_window()
if window is None:
    print("no window of varlo-zintabel on the accessibility bus")
    sys.exit(77)
print("window: role=%s name=%r" % (window.getRoleName(), window.name))
transcript = find_transcript(window)
if transcript is None:
    print("no control named Conversación")
    sys.exit(1)
states = transcript.getState()
read_only = not states.contains(pyatspi.STATE_EDITABLE) and states.contains(pyatspi.STATE_READ_ONLY)
multi_line = states.contains(pyatspi.STATE_MULTI_LINE)
print("transcript: role=%s name=%r read-only=%s multi-line=%s" % (
    transcript.getRoleName(), transcript.name, read_only, multi_line))
try:
    text = transcript.queryText()
except NotImplementedError:
    print("the transcript has no text interface")
    sys.exit(1)
print("characterCount=%d" % text.characterCount)
print("text before=%r" % text.getText(0, -1))

inserted = []
notified = []
selections = []
active = window.getState().contains(pyatspi.STATE_ACTIVE)
print("window active=%s" % active)


def on_insert(event):
    if event.source == transcript:
        inserted.append((event.detail1, event.any_data))


def on_showing(event):
    # What a screen reader says of a notification: its name, or the labels in it.
    if event.detail1 == 1 and event.source.getRoleName() == "notification":
        labels = [event.source.getChildAtIndex(i) for i in range(event.source.childCount)]
        notified.append(event.source.name or "".join(c.name for c in labels if c.getRoleName() == "label"))


def on_selection(event):
    if event.source == transcript:
        selections.append(event.type)


def send():
    with socket.create_connection(("127.0.0.1", PORT)) as peer:
        peer.sendall(MESSAGE.encode("utf-8"))
        time.sleep(0.3)
    return False


pyatspi.Registry.registerEventListener(on_insert, "object:text-changed:insert")
pyatspi.Registry.registerEventListener(on_showing, "object:state-changed:showing")
pyatspi.Registry.registerEventListener(on_selection, "object:text-selection-changed")
GLib.timeout_add(300, send)
GLib.timeout_add(4000, lambda: pyatspi.Registry.stop())
pyatspi.Registry.start()
for offset, data in inserted:
    print("text-changed:insert offset=%d text=%r" % (offset, data))
content = text.getText(0, -1)
print("text after=%r characterCount=%d" % (content, text.characterCount))
line = text.getTextAtOffset(max(0, text.characterCount - 1), pyatspi.TEXT_BOUNDARY_LINE_START)
print("last line=%r" % (line,))
selection = text.getSelection(0) if text.getNSelections() > 0 else None
print("selection=%r caret=%d" % (selection, text.caretOffset))
print("notifications shown=%r selection events=%d" % (notified, len(selections)))
ok = (window.getRoleName() == "frame" and transcript.getRoleName() == "text" and read_only and multi_line
      and inserted == [(0, "\n"), (1, MESSAGE)] and content == "\n" + MESSAGE)
# Active, with the focus in the message box: told once, as a notification.
if active:
    ok = ok and notified == [MESSAGE] and not selections
sys.exit(0 if ok else 1)
