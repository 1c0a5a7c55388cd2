#!/usr/bin/env python3
"""An HTTP listener for the tests that misbehaves on purpose.

Every request is recorded byte for byte as RECORD/NNN.req. The answer
depends on the request path: "/mode/NAME" picks mode NAME, any other path
gets the --default mode. It stops by itself after --lifetime seconds.

  listener.py --port 80 --record DIR [--default ok] [--ready FILE]
  listener.py --port 80 --drop-syns [--ready FILE]

--drop-syns accepts nothing: its accept queue is filled by connections of
its own, so that the kernel drops every further SYN, as a host behind a
firewall that drops them does.
"""
import argparse
import os
import socket
import struct
import sys
import threading
import time

CAPACITY = 10485760


def answer(conn, mode):
    def send(data):
        conn.sendall(data)

    if mode == "ok":
        send(b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nOK")
    elif mode == "len10":
        send(b"HTTP/1.0 200 OK\r\n\r\n0123456789")
    elif mode == "huge":
        send(b"HTTP/1.0 200 OK\r\n\r\n")
        block = bytes(range(256)) * 256
        left = CAPACITY + 70000
        while left > 0:
            send(block[: min(left, len(block))])
            left -= len(block)
    elif mode == "cl0":
        send(b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")
    elif mode in ("404", "500"):
        send(b"HTTP/1.0 " + mode.encode() + b" Nope\r\nContent-Length: 4\r\n\r\nnope")
    elif mode == "short":
        send(b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n123456789")
    elif mode == "reset":
        send(b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n123456789")
        time.sleep(0.2)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    elif mode == "silent":
        time.sleep(8)
    elif mode == "drip":
        send(b"HTTP/1.0 200 OK\r\n\r\n")
        for _ in range(25):
            time.sleep(1)
            send(b"x")
    elif mode == "clhuge":
        send(b"HTTP/1.0 200 OK\r\nContent-Length: 4294967295\r\n\r\nhello")
    elif mode == "driphead":
        # Headers one byte a second: every read gets something before any
        # receive time-out, for a minute.
        for byte in b"HTTP/1.0 200 OK\r\nX-Slow: " + b"y" * 50:
            send(bytes([byte]))
            time.sleep(1)
        send(b"\r\n\r\n")
    elif mode == "clover":
        send(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\nhello" % (CAPACITY + 1))
    else:
        send(b"HTTP/1.0 400 Unknown mode\r\n\r\n")


def serve(conn, opts, counter, lock):
    try:
        conn.settimeout(10)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(body) < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            body += chunk
        with lock:
            counter[0] += 1
            n = counter[0]
        with open(os.path.join(opts.record, "%03d.req" % n), "wb") as f:
            f.write(head + b"\r\n\r\n" + body)
        path = head.split(b"\r\n")[0].split(b" ")[1].decode("latin-1")
        mode = path[len("/mode/"):] if path.startswith("/mode/") else opts.default
        answer(conn, mode)
    except OSError:
        pass
    finally:
        conn.close()


def drop_syns(opts):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", opts.port))
    server.listen(0)
    fillers = []
    for _ in range(4):  # the queue holds one or two; the rest wait in SYN-SENT
        c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        c.setblocking(False)
        c.connect_ex(("127.0.0.1", opts.port))
        fillers.append(c)
    time.sleep(0.2)
    if opts.ready:
        open(opts.ready, "w").close()
    time.sleep(opts.lifetime)
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=80)
    ap.add_argument("--record")
    ap.add_argument("--default", default="ok")
    ap.add_argument("--ready")
    ap.add_argument("--lifetime", type=float, default=600)
    ap.add_argument("--drop-syns", action="store_true")
    ap.add_argument("--bind", default="127.0.0.1")
    opts = ap.parse_args()
    if opts.drop_syns:
        return drop_syns(opts)
    os.makedirs(opts.record, exist_ok=True)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((opts.bind, opts.port))
    server.listen(16)
    server.settimeout(0.5)
    if opts.ready:
        open(opts.ready, "w").close()
    counter, lock = [0], threading.Lock()
    deadline = time.time() + opts.lifetime
    while time.time() < deadline:
        try:
            conn, _ = server.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn, opts, counter, lock), daemon=True).start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
