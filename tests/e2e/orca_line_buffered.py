#!/usr/bin/env python3
"""Runs Orca with its debug log written a line at a time, so that a test can
read what Orca has said while it runs (Orca opens the file block-buffered).

Usage: orca_line_buffered.py LOG
"""
import builtins
import runpy
import sys

LOG = sys.argv[1]
_open = builtins.open


def _line_buffered(file, mode="r", *args, **kwargs):
    if file == LOG and "w" in mode:
        return _open(file, mode, buffering=1, encoding="utf-8", errors="replace")
    return _open(file, mode, *args, **kwargs)


builtins.open = _line_buffered
sys.argv = ["/usr/bin/orca", "--replace", "--debug-file=" + LOG]
runpy.run_path("/usr/bin/orca", run_name="__main__")
