#!/usr/bin/env python3
"""Peers for the end-to-end scripts that nc cannot play.

  peers.py crowd HOST PORT COUNT
      Opens COUNT connections to HOST:PORT and keeps them open until its
      standard input ends. Prints "open N" once all are made, then
      "closed M" each time the number of those the other side has ended
      changes (a copy ends the ones it refuses).

  peers.py slow-reader ADDRESS PORT FILE
      Listens on ADDRESS:PORT with a small receive buffer, takes one
      connection and reads it slowly (16 KiB every 50 ms) into FILE; then
      prints how the stream ended: "fin" (in order) or "reset".
"""
import resource
import select
import socket
import sys
import time


def crowd(host, port, count):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count + 64)), hard))
    peers = []
    for _ in range(count):
        peer = socket.create_connection((host, port), timeout=30)
        peer.setblocking(False)
        peers.append(peer)
    print("open", len(peers), flush=True)
    closed = set()
    reported = -1
    while True:
        readable, _, _ = select.select([sys.stdin], [], [], 0.2)
        if readable and not sys.stdin.readline():
            break
        for index, peer in enumerate(peers):
            if index in closed:
                continue
            try:
                if peer.recv(4096) == b"":
                    closed.add(index)
            except BlockingIOError:
                pass
            except OSError:
                closed.add(index)
        if len(closed) != reported:
            reported = len(closed)
            print("closed", reported, flush=True)


def slow_reader(address, port, path):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 * 1024)
    listener.bind((address, port))
    listener.listen(1)
    print("listening", flush=True)
    connection, _ = listener.accept()
    end = "fin"
    with open(path, "wb") as out:
        while True:
            try:
                chunk = connection.recv(16 * 1024)
            except ConnectionResetError:
                end = "reset"
                break
            if not chunk:
                break
            out.write(chunk)
            out.flush()
            time.sleep(0.05)
    print(end, flush=True)


def main():
    if sys.argv[1:2] == ["crowd"]:
        crowd(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif sys.argv[1:2] == ["slow-reader"]:
        slow_reader(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
