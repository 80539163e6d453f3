#!/usr/bin/env python3
"""Checks Orca's debug log against the messages a test sent: each message is
in what Orca said exactly once, and in the order they were sent. A message
longer than Orca reads is said by its start: its first 60 characters count.

Usage: orca_check.py ORCA_LOG MESSAGES (lines "DELAY<TAB>WHERE<TAB>TEXT")
Exits 0 when all hold, 1 otherwise, printing each message and where it was said.
"""
import re
import sys

log = open(sys.argv[1], encoding="utf-8", errors="replace").read()
spoken = "\n".join(m.group(1) for m in re.finditer(r"SPEECH OUTPUT: '(.*?)'(?=\{|\[\{)", log, re.S))
ok = True
last = -1
for line in open(sys.argv[2], encoding="utf-8"):
    text = line.rstrip("\n").split("\t", 2)[2][:60]
    count = spoken.count(text)
    at = spoken.find(text)
    good = count == 1 and at > last
    ok = ok and good
    print("%s: said %d times%s: %r" % ("PASS" if good else "FAIL", count, "" if at > last else ", out of order", text))
    last = max(last, at)
sys.exit(0 if ok else 1)
