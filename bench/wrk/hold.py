#!/usr/bin/env python3
"""Holds connections open against the daemon's internal port while a load runs: IDLE
connections that never send a byte, and TRICKLE connections that send a request head one byte
per second. A connection the daemon closes is opened again at once. Ends on SIGTERM or SIGINT
and prints how many connections it opened.

    hold.py PORT [IDLE] [TRICKLE]
"""
import selectors
import signal
import socket
import sys
import time

port = int(sys.argv[1])
idle_count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
trickle_count = int(sys.argv[3]) if len(sys.argv) > 3 else 200
head = ("POST /getVersion HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Slow: " % port).encode()

running = True
def stop(*_):
    global running
    running = False
signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)

selector = selectors.DefaultSelector()
opened = {"idle": 0, "trickle": 0}
trickling = {}  # socket -> bytes sent so far

def open_one(kind):
    while running:
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=5)
            break
        except OSError:
            time.sleep(0.05)
    else:
        return
    sock.setblocking(False)
    selector.register(sock, selectors.EVENT_READ, kind)
    opened[kind] += 1
    if kind == "trickle":
        trickling[sock] = 0

for _ in range(idle_count):
    open_one("idle")
for _ in range(trickle_count):
    open_one("trickle")

next_byte = time.monotonic() + 1
while running:
    for key, _ in selector.select(timeout=0.2):
        sock = key.fileobj
        try:
            data = sock.recv(4096)
        except OSError:
            data = b""
        if not data:  # closed by the daemon: take its place again
            selector.unregister(sock)
            trickling.pop(sock, None)
            sock.close()
            open_one(key.data)
    if time.monotonic() >= next_byte:
        next_byte += 1
        for sock, sent in list(trickling.items()):
            try:
                sock.send(head[sent % len(head):sent % len(head) + 1])
                trickling[sock] = sent + 1
            except OSError:
                pass

print("hold: opened %d idle and %d trickling connections (%d and %d at a time)"
      % (opened["idle"], opened["trickle"], idle_count, trickle_count))
