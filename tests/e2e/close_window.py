#!/usr/bin/python3
"""Asks an X window to close, as a window manager's close button does: the
WM_DELETE_WINDOW message of the ICCCM, which the program answers by closing
normally (there is no window manager under the tests' Xvfb).

Usage: close_window.py WINDOW-ID   (DISPLAY set)
"""
import ctypes
import ctypes.util
import sys

xlib = ctypes.CDLL(ctypes.util.find_library("X11"))
xlib.XOpenDisplay.restype = ctypes.c_void_p
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XInternAtom.restype = ctypes.c_ulong
xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
xlib.XFlush.argtypes = [ctypes.c_void_p]
xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class Event(ctypes.Union):
    _fields_ = [("message", ClientMessage), ("pad", ctypes.c_long * 24)]


display = xlib.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
window = int(sys.argv[1], 0)
event = Event()
event.message.type = 33  # ClientMessage
event.message.window = window
event.message.message_type = xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.message.format = 32
event.message.data[0] = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
event.message.data[1] = 0  # CurrentTime
if not xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event)):
    sys.exit("XSendEvent failed")
xlib.XFlush(display)
xlib.XCloseDisplay(display)
