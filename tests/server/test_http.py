#!/usr/bin/env python3
"""The public listener against the real server on loopback: HTTP/1.0 answered
and closed, the refusals, a body of exactly 4 KiB and one byte more, a client
that drips its headers cut off at the deadline while others are answered,
idle connections that do not stop new reports, the connection limit, a
restart right after heavy traffic, and clean start-up errors."""
import os
import re
import socket
import threading
import time

import harness
from harness import Checks, Server, body, post

c = Checks()
work = harness.workdir()
db = "sqlite:" + os.path.join(work, "stats.db")
server = Server(db, "--max-connections", "400")
c.check("the server listens on 127.0.0.1:80", server.ready, server.output())

status, answer, _ = post(body())
c.check("HTTP/1.0: 200, answered as HTTP/1.0", status == 200 and answer.startswith(b"HTTP/1.0 200"), answer[:40])
c.check("  and closed (read to the end above)", answer.endswith(b"ok\n"))
c.check("the path without its slash", post(body(when=b"2"), path="micro_stats")[0] == 200)
c.check("another path: 404", post(body(), path="/stats")[0] == 404)
c.check("another method: 405", post(body(), method="PUT")[0] == 405)
status, answer, _ = harness.request(b"GET /micro_stats HTTP/1.0\r\n\r\n")
c.check("GET of the intake: 405 with Allow: POST", status == 405 and b"Allow: POST" in answer)

# A body of exactly 4 KiB is read and judged; one byte more is too large.
base = body(when=b"3", system=b"")
exact = body(when=b"3", system=b"s" * (4096 - len(base)))
c.check("a signed body of exactly 4096 bytes: read whole, its system text too long (400)",
        len(exact) == 4096 and post(exact)[0] == 400, len(exact))
over = body(when=b"4", system=b"s" * (4097 - len(base)))
c.check("4097 bytes: 413", len(over) == 4097 and post(over)[0] == 413)
status, _, _ = harness.request(b"POST /micro_stats HTTP/1.0\r\nX-Big: " + b"h" * 9000 + b"\r\nContent-Length: 1\r\n\r\nx")
c.check("headers over 8 KiB: 431", status == 431, status)
c.check("a lower-case sign: 403", post(body(when=b"5", sign=body(when=b"5").split(b"&sign=")[1][:32].lower()))[0] == 403)
c.check("a body that is no report: 400", post(b"hello=world")[0] == 400)

# Two requests in one write on a kept connection: both answered.
one = b"POST /micro_stats HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body(when=b"6"))
two = b"POST /micro_stats HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: %d\r\n\r\n" % len(body(when=b"61"))
status, answer, _ = harness.request(one + body(when=b"6") + two + body(when=b"61"))
c.check("two pipelined requests: two answers", answer.count(b"HTTP/1.1 200") == 2, answer.count(b"HTTP/1.1 "))

def ask(conn, guid):
    """One report on a kept connection (HTTP/1.1); its status, 0 if closed."""
    payload = body(guid=guid)
    conn.sendall(b"POST /micro_stats HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(payload) + payload)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return 0
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    length = int(re.search(rb"(?i)content-length: (\d+)", head).group(1))
    while len(rest) < length:
        rest += conn.recv(65536)
    return int(head.split(b" ")[1])


# A client that sends its request a byte a second is cut off at the
# 10 s deadline, and the others are answered meanwhile.
dripped = {}


def drip():
    t0 = time.time()
    s = socket.create_connection(harness.INTAKE)
    s.settimeout(30)
    data = b"POST /micro_stats HTTP/1.0\r\nContent-Length: 300\r\n" + b"X-Slow: " + b"y" * 40
    try:
        for byte in data:
            s.send(bytes([byte]))
            time.sleep(1)
    except OSError:
        pass
    try:
        rest = s.recv(100)
    except OSError:
        rest = b""
    dripped["seconds"] = time.time() - t0
    dripped["answer"] = rest
    s.close()


def timeouts():
    """The requests refused as cut short by their deadline, from /metrics."""
    found = re.search(rb'qvstats_requests_refused_total\{reason="timeout"\} (\d+)', harness.get("/metrics")[1])
    return int(found.group(1)) if found else -1


# Meanwhile a connection kept open after its answer, and one that never
# sends a byte (a proxy's pool, a health check): let go at the deadline too,
# but not counted as refused; only the dripper is.
timeouts_before = timeouts()
quiet = [socket.create_connection(harness.INTAKE), socket.create_connection(harness.INTAKE)]
c.check("a report on a kept connection", ask(quiet[0], b"then-quiet") == 200)
dripper = threading.Thread(target=drip)
dripper.start()
time.sleep(1.5)
latencies = []
for i in range(20):
    status, _, seconds = post(body(guid=b"meanwhile%d" % i))
    latencies.append(seconds if status == 200 else 99)
    time.sleep(0.2)
c.check("reports are answered while a client drips", max(latencies) < 2, "slowest %.3f s" % max(latencies))
dripper.join()
c.check("the dripping client is cut off at the deadline", 9 <= dripped.get("seconds", 0) < 13,
        "%.1f s" % dripped.get("seconds", 0))
time.sleep(1)
for q in quiet:
    q.settimeout(5)
c.check("  the quiet connections are let go as well", [q.recv(10) for q in quiet] == [b"", b""])
c.check("  and only the dripper is counted as refused (timeout)", timeouts() - timeouts_before == 1,
        timeouts() - timeouts_before)

# Many idle connections do not keep new reports out.
kept = socket.create_connection(harness.INTAKE)
kept.settimeout(5)
idle = [socket.create_connection(harness.INTAKE) for _ in range(300)]
status, _, seconds = post(body(guid=b"after-idle"))
c.check("with 300 idle connections a report is stored", status == 200, "%.3f s" % seconds)
# At the maximum (400), a new connection is served: the one that has
# waited longest for its request makes room. Not the oldest: a kept
# connection that has just been answered waits anew.
more = [socket.create_connection(harness.INTAKE) for _ in range(99)]
c.check("a kept connection, the oldest, answered", ask(kept, b"kept-1") == 200)
time.sleep(0.5)
status, _, seconds = post(body(guid=b"above-limit"))
c.check("at the maximum (400) of connections a report is stored", status == 200, "%d in %.3f s" % (status, seconds))
idle[0].settimeout(5)
try:
    closed = idle[0].recv(10) == b""
except OSError:
    closed = True
c.check("  and the connection that waited longest was closed for it", closed)
c.check("  not the kept one", ask(kept, b"kept-2") == 200)
for s in idle + more + [kept]:
    s.close()
time.sleep(0.5)
c.check("and after they are gone, reports are taken again", post(body(guid=b"after-limit"))[0] == 200)

# Heavy traffic, then a restart at once on the same port.
statuses = []


def flood(n, first):
    for i in range(n):
        statuses.append(post(body(guid=b"flood%d" % (first + i), when=b"7"))[0])


threads = [threading.Thread(target=flood, args=(250, k * 250)) for k in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
c.check("2000 reports on new connections, all stored", statuses.count(200) == 2000, "%d of %d" % (statuses.count(200), len(statuses)))
code = server.stop()
c.check("SIGTERM: exit 0", code == 0, code)
again = Server(db)
c.check("a restart right after binds its port again", again.ready, again.output())
c.check("  and takes reports", post(body(guid=b"restarted"))[0] == 200)

# Out of descriptors: waiting connections do not make the server spin, and
# once they are gone it takes reports again.
again.stop()
starved = Server(db, files=40)
# Its paths run once before: the sanitizers' first look at a type opens a
# pipe, which a process without descriptors cannot.
c.check("a server with 40 descriptors takes reports", post(body(guid=b"before-starved"))[0] == 200)
crowd = []
for _ in range(60):
    try:
        crowd.append(socket.create_connection(harness.INTAKE, timeout=2))
    except OSError:
        break
before = starved.cpu_seconds()
time.sleep(2)
used = starved.cpu_seconds() - before
c.check("with its descriptors used up the server waits, not spins", used < 0.5, "%.2f s of CPU in 2 s" % used)
for s in crowd:
    s.close()
time.sleep(0.5)
c.check("  and takes reports when they are free again", post(body(guid=b"after-starved"))[0] == 200)
starved.stop()
again = Server(db)

# Start-up errors: one line on stderr, a non-zero exit.
code, err = harness.run_briefly("serve", "--db", db, "--listen", "127.0.0.1:80", "--dashboard", "127.0.0.1:8081")
c.check("a port in use: a clear error", code != 0 and "127.0.0.1:80" in err and len(err.strip().splitlines()) == 1, err.strip())
again.stop()
code, err = harness.run_briefly("serve", "--frobnicate", "1")
c.check("a bad option: a clear error", code != 0 and "--frobnicate" in err and len(err.strip().splitlines()) == 1, err.strip())
code, err = harness.run_briefly("serve", "--db", "sqlite:" + work + "/no/such/folder/x.db", "--listen", "127.0.0.1:8090")
c.check("an unusable database: a clear error", code != 0 and "cannot open" in err and len(err.strip().splitlines()) == 1, err.strip())
code, err = harness.run_briefly("serve", "--db", "mysql://x")
c.check("a database kind it does not know: a clear error", code != 0 and "sqlite:PATH" in err, err.strip())
import subprocess
helped = subprocess.run([os.environ["QVSTATS"], "--help"], capture_output=True, text=True)
options = ["--db", "--listen", "--dashboard", "--codepage", "--key", "--max-connections", "--queue"]
c.check("--help explains every option", helped.returncode == 0 and all(o in helped.stdout for o in options))
harness.remove(work)
c.finish()
