#!/usr/bin/python3
"""A hostile mDNS responder for the tests and the benchmark of finding
copies: it announces many "_varlo-zintabel._tcp" services by sending raw
mDNS responses to 224.0.0.251:5353, from the first address given, on the
interface that holds it. Run only inside a network namespace of the test's
own: it refuses to start where that address is not on an interface of the
namespace, or where the namespace has any interface but the loopback and
that one.

Usage: mdns_announcer.py [options] ADDRESS [ADDRESS...]
  --services N     how many ordinary services ("copia-0001"...) besides the
                   odd ones (default 1000)
  --seconds S      how long to keep announcing, again and again, with the
                   hosts' addresses changing among the ADDRESSes each round
                   (default 10); 0: once, then stay quiet
  --rate P         at most P packets a second (default: as fast as it can)
  --junk           mix malformed packets into the flood
  --stay           after announcing, keep running quietly until killed
  --goodbye        at the end, withdraw every service (TTL 0)

The odd names: the longest label (63 bytes), control characters, invalid
UTF-8, a label cut inside a character, direction overrides, only invisible
characters, a NUL, dots and backslashes, a name that looks like a row, the
same name from two hosts, and names that differ only in control characters.
"""
import argparse
import os
import random
import socket
import struct
import subprocess
import sys
import time

SERVICE = b"_varlo-zintabel._tcp"
PORT = 49577
HOSTS = 8

ODD_NAMES = [
    b"x" * 63,
    ("\u00f1" * 31 + "a").encode(),
    b"a" * 62 + b"\xc3",
    b"ctl\x01\x02\x07\x1b[31mrojo\x7f",
    "evil\u202egnp.exe\u202c".encode(),
    b"mal\xff\xfe\xc0\xafutf8",
    "linea1\nlinea2\r\tfin".encode(),
    b"nul\x00dentro",
    "a.b\\c".encode(),
    "amigo \u2014 127.0.0.1".encode(),
    "\u200b\u200e\ufeff".encode(),
    ("\U0001f600" * 15).encode() + b"abc",
    ("\U0001f600" * 15).encode() + b"\xf0\x9f",
    b"repe\x01tido",
    b"repe\x02tido",
]
# Announced from two hosts in turn: the same service, now here, now there.
TWICE = "repetido".encode()


def label(raw):
    assert 0 < len(raw) <= 63
    return bytes([len(raw)]) + raw


def name(*labels):
    return b"".join(label(part) for part in labels) + b"\x00"


def record(owner, rtype, ttl, data, flush):
    rclass = 1 | (0x8000 if flush else 0)
    return owner + struct.pack("!HHIH", rtype, rclass, ttl, len(data)) + data


def service_records(instance, host, address, ttl, port=PORT):
    full = name(instance, *SERVICE.split(b"."), b"local")
    ptr = record(name(*SERVICE.split(b"."), b"local"), 12, ttl, full, False)
    srv = record(full, 33, ttl, struct.pack("!HHH", 0, 0, port) + name(host, b"local"), True)
    txt = record(full, 16, ttl, b"\x00", True)
    a = record(name(host, b"local"), 1, ttl, socket.inet_aton(address), True)
    return [ptr, srv, txt, a]


def packets(records, limit=1400):
    """Responses of at most `limit` bytes, each record whole."""
    out, size, count = [], 12, 0
    chunk = []
    for r in records:
        if chunk and size + len(r) > limit:
            out.append(struct.pack("!HHHHHH", 0, 0x8400, 0, count, 0, 0) + b"".join(chunk))
            chunk, size, count = [], 12, 0
        chunk.append(r)
        size += len(r)
        count += 1
    if chunk:
        out.append(struct.pack("!HHHHHH", 0, 0x8400, 0, count, 0, 0) + b"".join(chunk))
    return out


def junk():
    kind = random.randrange(4)
    if kind == 0:  # random bytes
        return os.urandom(random.randrange(1, 1400))
    if kind == 1:  # a header that promises records that are not there
        return struct.pack("!HHHHHH", 0, 0x8400, 0, 500, 0, 0)
    if kind == 2:  # a name that points at itself
        return struct.pack("!HHHHHH", 0, 0x8400, 0, 1, 0, 0) + b"\xc0\x0c" + struct.pack("!HHIH", 12, 1, 120, 2) + b"\xc0\x0c"
    # a record whose length runs past the packet
    return struct.pack("!HHHHHH", 0, 0x8400, 0, 1, 0, 0) + name(b"x", b"local") + struct.pack("!HHIH", 1, 1, 120, 900)


def check_own_namespace(address):
    """Only the loopback and the interface holding `address`."""
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True, check=True).stdout
    names = [line.split(": ")[1].split("@")[0] for line in links.splitlines()]
    held = subprocess.run(["ip", "-o", "-4", "addr", "show", "to", address], capture_output=True, text=True,
                          check=True).stdout.split()
    if len(held) < 2:
        sys.exit("refusing: %s is not an address of this namespace" % address)
    others = [n for n in names if n not in ("lo", held[1])]
    if others:
        sys.exit("refusing: this namespace has other interfaces: %s" % ", ".join(others))
    if os.readlink("/proc/self/ns/net") == os.environ.get("VZ_DNS_SD_OUTER_NETNS", ""):
        sys.exit("refusing: this is the outer network namespace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--services", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--rate", type=float, default=0)
    parser.add_argument("--junk", action="store_true")
    parser.add_argument("--stay", action="store_true")
    parser.add_argument("--goodbye", action="store_true")
    parser.add_argument("addresses", nargs="+")
    args = parser.parse_args()
    own = args.addresses[0]
    check_own_namespace(own)

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    # Responses come from the mDNS port, with the TTL mDNS requires.
    sock.bind((own, 5353))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(own))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    group = ("224.0.0.251", 5353)

    services = [(n, i % HOSTS) for i, n in enumerate(ODD_NAMES)]
    services += [(("copia-%04d" % i).encode(), i % HOSTS) for i in range(args.services)]

    def send_all(rnd, ttl):
        sent = 0
        # Each odd name in a packet of its own (a receiver may refuse a whole
        # packet for one name), the ordinary ones packed together.
        out = []
        for i, (instance, host) in enumerate(services):
            address = args.addresses[(host + rnd) % len(args.addresses)]
            records = service_records(instance, b"anunciante-%d" % host, address, ttl)
            if i < len(ODD_NAMES):
                out += packets(records)
            else:
                out.append(records)
        bulk = [r for group in out if isinstance(group, list) for r in group]
        out = [p for p in out if isinstance(p, bytes)]
        # The same name from two hosts, one after the other; and one on another port.
        out += packets(service_records(TWICE, b"anunciante-%d" % (rnd % 2), args.addresses[rnd % len(args.addresses)], ttl))
        out += packets(service_records(b"otro-puerto", b"anunciante-0", own, ttl, port=80))
        out += packets(bulk)
        for packet in out:
            sock.sendto(packet, group)
            sent += 1
            if args.junk:
                sock.sendto(junk(), group)
                sent += 1
            if args.rate:
                time.sleep(1 / args.rate)
        return sent

    started = time.monotonic()
    rounds, sent = 0, 0
    while True:
        sent += send_all(rounds, 120)
        rounds += 1
        if time.monotonic() - started >= args.seconds:
            break
    print("announced %d services in %d rounds, %d packets, %.1f s"
          % (len(services) + 2, rounds, sent, time.monotonic() - started), flush=True)
    if args.goodbye:
        send_all(rounds, 0)
        print("withdrew them", flush=True)
    if args.stay:
        while True:
            time.sleep(3600)


if __name__ == "__main__":
    main()
