#!/usr/bin/env python3
"""Both listeners under slowhttptest (an independent tool): slow headers,
a slow body, slow readers of the page and of a 6 MB export, 600 connections
of each at a time. Meanwhile every report is stored and answered within
2 s, and /healthz and the page within 1 s, though each listener is at its
cap; afterwards the server holds no more connections than it did."""
import os
import subprocess
import threading
import time

import harness
from harness import Checks, Server, body, post

c = Checks()
work = harness.workdir()
build = os.environ["QV_BUILD_DIR"]
db = "sqlite:" + os.path.join(work, "stats.db")
# An export larger than the socket buffers: 40,000 stored reports.
fill = subprocess.run("%s/qvload --print 40000 | %s/qvfill %s 40000" % (build, build, db), shell=True,
                      capture_output=True, text=True)
c.check("40,000 reports stored beforehand", fill.returncode == 0, fill.stdout + fill.stderr)
# Caps below the tool's 600 connections on both listeners: the cap itself
# must not shut anyone out.
server = Server(db, "--max-connections", "300", files=8192)
c.check("the server listens", server.ready, server.output())


def open_connections():
    count = 0
    for f in os.listdir("/proc/%d/fd" % server.process.pid):
        try:
            count += os.readlink("/proc/%d/fd/%s" % (server.process.pid, f)).startswith("socket:")
        except FileNotFoundError:
            pass  # closed since the listing
    return count


stored = [40000]


def attack(name, url, *mode, during=None, holds=True):
    """slowhttptest for 10 s, while reports and the dashboard are asked for
    once every 100 ms; what the clients saw. during: run once the tool's
    connections are open. holds: whether the server lets the tool keep its
    connections (it closes those it refuses)."""
    tool = subprocess.Popen(["slowhttptest", "-c", "600", "-r", "300", "-l", "10", "-p", "2", "-u", url] + list(mode),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    time.sleep(3)  # the connections open
    held = open_connections()
    if during:
        during()
    reports, health, pages = [], [], []
    n = 0
    while tool.poll() is None and n < 60:
        status, _, seconds = post(body(guid=b"%s-%d" % (name.encode(), n), when=b"1"))
        reports.append((status, seconds))
        stored[0] += status == 200
        status, _, seconds = harness.request(b"GET /healthz HTTP/1.0\r\n\r\n", address=harness.DASHBOARD)
        health.append((status, seconds))
        if n % 5 == 0:
            status, _, seconds = harness.request(b"GET / HTTP/1.0\r\n\r\n", address=harness.DASHBOARD)
            pages.append((status, seconds))
        n += 1
        time.sleep(0.1)
    output = tool.communicate(timeout=60)[0]
    slowest = max([s for _, s in reports] + [0])
    c.check("%s: every report stored within 2 s" % name,
            len(reports) > 10 and all(st == 200 for st, _ in reports) and slowest < 2,
            "%d reports, statuses %s, slowest %.3f s" % (len(reports), sorted(set(st for st, _ in reports)), slowest))
    slowest = max([s for _, s in health] + [0])
    c.check("  /healthz 200 within 1 s", all(st == 200 for st, _ in health) and slowest < 1, "slowest %.3f s" % slowest)
    slowest = max([s for _, s in pages] + [0])
    c.check("  the page 200 within 1 s", all(st == 200 for st, _ in pages) and slowest < 1,
            "statuses %s, slowest %.3f s" % (sorted(set(st for st, _ in pages)), slowest))
    if holds:
        c.check("  the tool held connections open meanwhile", held > 100, "%d sockets\n%s" % (held, output[-600:]))
    return held


intake = "http://127.0.0.1/micro_stats"
dashboard = "http://127.0.0.1:8080/"
before = open_connections()
attack("slow headers on the intake", intake, "-H", "-i", "5", "-t", "POST")
attack("a slow body on the intake", intake, "-B", "-i", "5", "-s", "4000", "-t", "POST")
attack("slow headers on the dashboard", dashboard, "-H", "-i", "5")
# Slow readers of the page: a small window, a few bytes read now and then.
attack("slow readers of the page", dashboard, "-X", "-k", "2", "-n", "5", "-w", "16", "-y", "32", "-z", "8")


def export():
    return harness.request(b"GET /export.csv HTTP/1.0\r\n\r\n", address=harness.DASHBOARD, timeout=60)


def one_more_export():
    status, answer, seconds = export()
    c.check("  one more export meanwhile: 503 at once, to come back later",
            status == 503 and b"Retry-After: 5" in answer and seconds < 1, "%d in %.3f s: %r" % (status, seconds, answer[:200]))


# A few exports at a time, read as slowly as the clients like; the rest
# are told to come back, and none is cut for want of the database.
attack("slow readers of the export", dashboard + "export.csv", "-X", "-k", "1", "-n", "5", "-w", "16", "-y", "32", "-z", "8",
       during=one_more_export, holds=False)
c.check("  no export cut short", "cut short" not in server.output(), server.output()[-600:])
deadline = time.time() + 40  # the tool's exports are let go when their next piece is not taken
while time.time() < deadline and export()[0] == 503:
    time.sleep(1)
status, answer, _ = export()
rows = answer.split(b"\r\n\r\n", 1)[-1].count(b"\n")
c.check("  afterwards an export is whole", status == 200 and rows == stored[0] + 1,
        "%d, %d lines for %d reports" % (status, rows, stored[0]))
deadline = time.time() + 30
while time.time() < deadline and open_connections() > before:
    time.sleep(0.5)
c.check("afterwards the server holds no connection of theirs", open_connections() <= before,
        "%d sockets, %d before" % (open_connections(), before))
c.check("SIGTERM: exit 0", server.stop() == 0, server.output()[-500:])
harness.remove(work)
c.finish()
