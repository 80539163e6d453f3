#!/usr/bin/python3
"""Reads the address box of a copy through the accessibility bus, as a
screen reader does.

Usage: found_copies.py list KEY...   presses KEY... (xdotool) with the focus in
                                     the address box and prints the rows of
                                     the list of copies found that it opened,
                                     one a line; exit 3 when no list opened
       found_copies.py description   the address box's description
Exit 77 when no window of the program is on the bus.

The list is a pop-up, which is not among the window's children on the bus: a
screen reader finds it, as this does, by the row that takes the focus.
"""
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

LIST_NAME = "Copias encontradas en la red"
BOX_NAME = "Dirección del otro equipo"


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for _ in range(50):
        for app in desktop:
            if app is not None and app.name.lower() == "varlo-zintabel" and app.childCount > 0:
                return app
        time.sleep(0.1)
    return None


def find(node, name, depth=0):
    if node is None or depth > 12:
        return None
    if node.name == name:
        return node
    for child in node:
        found = find(child, name, depth + 1)
        if found is not None:
            return found
    return None


def list_rows(keys):
    lists = []

    def on_focus(event):
        row = event.source
        if event.detail1 == 1 and row is not None and row.getRoleName() == "list item":
            shown = row.parent
            if shown is not None and shown.name == LIST_NAME:
                lists.append(shown)

    def press():
        subprocess.run(["timeout", "10", "xdotool", "key"] + keys, check=False)
        return False

    pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")
    GLib.timeout_add(200, press)
    GLib.timeout_add(2500, lambda: pyatspi.Registry.stop())
    pyatspi.Registry.start()
    if not lists:
        return 3
    for row in lists[-1]:
        if row is not None and row.getRoleName() == "list item":
            print(row.name)
    return 0


app = application()
if app is None:
    print("no window of varlo-zintabel on the accessibility bus")
    sys.exit(77)
if sys.argv[1] == "list":
    sys.exit(list_rows(sys.argv[2:]))
box = find(app, BOX_NAME)
if box is None:
    print("no control named %r" % BOX_NAME)
    sys.exit(1)
print(box.description)
