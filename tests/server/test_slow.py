#!/usr/bin/env python3
"""Both listeners under slowhttptest (an independent tool): slow headers,
a slow body and slow readers, 600 connections of each at a time. Meanwhile
every report is stored and answered within 2 s, and /healthz and the page
within 1 s, though each listener is at its cap; afterwards the server
holds no more connections than it did."""
import os
import subprocess
import threading
import time

import harness
from harness import Checks, Server, body, post

c = Checks()
work = harness.workdir()
db = "sqlite:" + os.path.join(work, "stats.db")
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


def attack(name, url, *mode):
    """slowhttptest for 10 s, while reports and the dashboard are asked for
    once every 100 ms; what the clients saw."""
    tool = subprocess.Popen(["slowhttptest", "-c", "600", "-r", "300", "-l", "10", "-p", "2", "-u", url] + list(mode),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    time.sleep(3)  # the connections open
    held = open_connections()
    reports, pages = [], []
    n = 0
    while tool.poll() is None and n < 60:
        status, _, seconds = post(body(guid=b"%s-%d" % (name.encode(), n), when=b"1"))
        reports.append((status, seconds))
        status, _, seconds = harness.request(b"GET /healthz HTTP/1.0\r\n\r\n", address=harness.DASHBOARD)
        pages.append((status, seconds))
        n += 1
        time.sleep(0.1)
    output = tool.communicate(timeout=60)[0]
    slowest = max([s for _, s in reports] + [0])
    c.check("%s: every report stored within 2 s" % name,
            len(reports) > 10 and all(st == 200 for st, _ in reports) and slowest < 2,
            "%d reports, statuses %s, slowest %.3f s" % (len(reports), sorted(set(st for st, _ in reports)), slowest))
    slowest = max([s for _, s in pages] + [0])
    c.check("  /healthz 200 within 1 s", all(st == 200 for st, _ in pages) and slowest < 1, "slowest %.3f s" % slowest)
    status, _, seconds = harness.request(b"GET / HTTP/1.0\r\n\r\n", address=harness.DASHBOARD)
    c.check("  the page within 1 s", status == 200 and seconds < 1, "%d in %.3f s" % (status, seconds))
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
deadline = time.time() + 30
while time.time() < deadline and open_connections() > before:
    time.sleep(0.5)
c.check("afterwards the server holds no connection of theirs", open_connections() <= before,
        "%d sockets, %d before" % (open_connections(), before))
c.check("SIGTERM: exit 0", server.stop() == 0, server.output()[-500:])
harness.remove(work)
c.finish()
