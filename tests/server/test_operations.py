#!/usr/bin/env python3
"""The server as an operator runs it. The dashboard stays quick while 20
connections sit idle on it and one client reads an export a byte a second;
SIGTERM with those connections open exits 0 within 5 s; HEAD sends no body.
/metrics passes promtool, its counters move by exactly what was stored and
refused, and a real Prometheus scrapes it. The access log, when asked for,
has a line per request. The maintenance commands never make a database at
a mistyped path, and list a forged game id as one line."""
import json
import os
import re
import socket
import subprocess
import tempfile
import threading
import time
import urllib.request

import harness
from harness import Checks, Server, body, get, post

c = Checks()
work = harness.workdir()
build = os.environ["QV_BUILD_DIR"]
db = os.path.join(work, "stats.db")

# An export larger than any socket buffer: 40,000 stored reports.
fill = subprocess.run("%s/qvload --print 40000 | %s/qvfill sqlite:%s 40000" % (build, build, db), shell=True,
                      capture_output=True, text=True)
c.check("40,000 reports stored beforehand", fill.returncode == 0, fill.stdout + fill.stderr)
server = Server("sqlite:" + db, "--access-log")
c.check("the server starts", server.ready, server.output())


def timed_get(path):
    t0 = time.time()
    status, answer, _ = get(path)
    return status, answer, time.time() - t0


idle = [socket.create_connection(harness.DASHBOARD) for _ in range(20)]
slow = socket.socket()
slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
slow.connect(harness.DASHBOARD)
slow.sendall(b"GET /export.csv HTTP/1.1\r\nHost: x\r\n\r\n")
read = slow.recv(1)
times = {}
for second in range(4):
    time.sleep(1)
    read += slow.recv(1)  # a byte a second
    for path in ("/healthz", "/", "/metrics"):
        status, _, seconds = timed_get(path)
        times[path] = max(times.get(path, 0), seconds if status == 200 else 99)
print("figures: slowest answers with 20 idle connections and an export read a byte a second: " +
      ", ".join("%s %.3f s" % kv for kv in sorted(times.items())), flush=True)
c.check("/healthz, / and /metrics answered within 2 s meanwhile", all(t < 2 for t in times.values()), times)
c.check("the slow client gets its export, as slowly as it reads", read == b"HTTP/", read)

status, answer, _ = harness.request(b"HEAD /export.csv HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", harness.DASHBOARD)
c.check("HEAD of /export.csv: the headers, no body", status == 200 and answer.endswith(b"\r\n\r\n"), answer[-60:])
status, answer, _ = harness.request(b"HEAD / HTTP/1.0\r\n\r\n", harness.DASHBOARD)
length = re.search(rb"Content-Length: (\d+)", answer)
c.check("HEAD of /: the page's length, no body", status == 200 and answer.endswith(b"\r\n\r\n") and length and
        int(length.group(1)) > 1000, answer[-80:])
c.check("another method: 405, with a body too", [harness.request(b"POST / HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s" % (
    len(payload), payload), harness.DASHBOARD)[0] for payload in (b"", b"a=b")] == [405, 405])

threads = set()
for task in os.listdir("/proc/%d/task" % server.process.pid):
    try:
        threads.add(open("/proc/%d/task/%s/comm" % (server.process.pid, task)).read().strip())
    except FileNotFoundError:
        pass  # ended since the listing
c.check("its threads are named for top -H", {"qvstats", "qv-writer", "qv-dashboard", "qv-board-read"} <= threads,
        threads)

# Browsers that keep asking for the page on kept connections while the
# server stops: each gets an answer or a closed connection, none a hang.
pages, running = [], [True]


def browse():
    try:
        with socket.create_connection(harness.DASHBOARD, timeout=10) as s:
            while running[0]:
                s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                head = b""
                while b"\r\n\r\n" not in head:
                    chunk = s.recv(65536)
                    if not chunk:
                        return
                    head += chunk
                length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
                rest = head.split(b"\r\n\r\n", 1)[1]
                while len(rest) < length:
                    chunk = s.recv(65536)
                    if not chunk:
                        return
                    rest += chunk
                pages.append(head.split(b" ")[1])
    except OSError:
        pass


browsers = [threading.Thread(target=browse) for _ in range(8)]
for b in browsers:
    b.start()
time.sleep(1)
t0 = time.time()
code = server.stop(timeout=20)
seconds = time.time() - t0
running[0] = False
for b in browsers:
    b.join()
print("figures: SIGTERM with 20 idle dashboard connections, a slow export and 8 browsers asking for the page: "
      "exit %s after %.2f s" % (code, seconds))
c.check("SIGTERM with them open: exit 0 within 5 s", code == 0 and seconds < 5, "exit %s after %.2f s" % (code, seconds))
c.check("  the browsers had their pages meanwhile", len(pages) > 8 and set(pages) <= {b"200", b"503"}, len(pages))
slow.settimeout(5)
try:
    while slow.recv(65536):
        pass
    cut = "a clean end"
except ConnectionResetError:
    cut = "reset"
except OSError as e:
    cut = str(e)
c.check("  the export cut by stopping ends in a reset, not as a whole file", cut == "reset", cut)
for s in idle + [slow]:
    s.close()
log = server.output()
c.check("the access log has a line per request",
        re.search(r' info access dashboard 127\.0\.0\.1:\d+ "GET /healthz HTTP/1\.0" 200 \d+ [\d.]+ms', log) is not None,
        log[-300:])
c.check("the database is its owner's alone", os.stat(db).st_mode & 0o777 == 0o600, oct(os.stat(db).st_mode))


# The maintenance commands: a mistyped path is an error, and makes nothing.
typo = os.path.join(work, "typo.db")
for command in (["purge", "--game", "3"], ["release", "--source", "127.0.0.1"], ["prune", "--before", "2026-01-01"],
                ["games", "list"], ["games", "set-name", "3", "Name"]):
    run = subprocess.run([os.environ["QVSTATS"], command[0], "--db", "sqlite:" + typo] + command[1:], capture_output=True,
                         text=True)
    c.check("%s on a database that is not there: an error, and no file made" % " ".join(command),
            run.returncode != 0 and "no database at" in run.stderr and not os.path.exists(typo),
            "exit %d: %s" % (run.returncode, run.stderr))
run = subprocess.run([os.environ["QVSTATS"], "serve", "--help"], capture_output=True, text=True)
c.check("serve --help: the usage, exit 0", run.returncode == 0 and "usage: qvstats serve" in run.stdout, run.stderr)


# Metrics: counters that move by exactly what happened.
def metrics():
    status, answer, _ = get("/metrics")
    text = answer.split(b"\r\n\r\n", 1)[1].decode()
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            values[name] = float(value)
    return status, text, values


server = Server("sqlite:" + db)
status, text, before = metrics()
promtool = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
c.check("/metrics passes promtool check metrics", status == 200 and promtool.returncode == 0,
        promtool.stdout + promtool.stderr)
stored = [post(body(guid=b"metered-%d" % i, when=b"5"))[0] for i in range(25)]
replayed = [post(body(guid=b"metered-%d" % i, when=b"5"))[0] for i in range(4)]
refused = [post(body(guid=b"bad", sign=b"0" * 32))[0] for _ in range(3)] + [post(b"hello=world")[0] for _ in range(2)] + \
          [post(body(), path="/other")[0] for _ in range(2)]
c.check("25 reports stored, 4 replayed, 7 refused", stored == [200] * 25 and replayed == [200] * 4 and
        refused == [403] * 3 + [400] * 2 + [404] * 2, (stored, replayed, refused))
_, text, after = metrics()


def moved(name):
    return after.get(name, 0) - before.get(name, 0)


c.check("qvstats_reports_stored_total moved by 25", moved("qvstats_reports_stored_total") == 25,
        moved("qvstats_reports_stored_total"))
c.check("qvstats_reports_replayed_total moved by 4", moved("qvstats_reports_replayed_total") == 4)
refusals = {k: moved(k) for k in after if k.startswith("qvstats_requests_refused_total")}
c.check("qvstats_requests_refused_total moved by 7, by reason",
        sum(refusals.values()) == 7 and refusals['qvstats_requests_refused_total{reason="bad_signature"}'] == 3 and
        refusals['qvstats_requests_refused_total{reason="malformed"}'] == 2 and
        refusals['qvstats_requests_refused_total{reason="not_found"}'] == 2, {k: v for k, v in refusals.items() if v})
c.check("the histograms count the batches", after["qvstats_commit_seconds_count"] >= 1 and
        after["qvstats_batch_reports_sum"] - before.get("qvstats_batch_reports_sum", 0) == 29)
c.check("gauges: queue, spool, connections, database", after["qvstats_queue_reports"] == 0 and
        after['qvstats_connections_open{listener="dashboard"}'] == 1 and after["qvstats_database_up"] == 1)

# A real Prometheus scrapes the server and answers a query about it.
config = os.path.join(work, "prometheus.yml")
with open(config, "w") as f:
    f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: qvstats\n    static_configs:\n"
            "      - targets: ['127.0.0.1:8080']\n")
prometheus = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + work + "/tsdb",
                               "--web.listen-address=127.0.0.1:9090"], stdout=subprocess.DEVNULL,
                              stderr=open(work + "/prometheus.log", "w"))
answer, deadline = None, time.time() + 60
while time.time() < deadline:
    try:
        with urllib.request.urlopen("http://127.0.0.1:9090/api/v1/query?query=qvstats_reports_stored_total%7Bjob%3D%22qvstats%22%7D",
                                    timeout=2) as r:
            answer = json.load(r)
        if answer["data"]["result"]:
            break
    except (OSError, ValueError, KeyError):
        pass
    time.sleep(0.5)
result = answer["data"]["result"] if answer else []
c.check("Prometheus scraped qvstats: qvstats_reports_stored_total is 25",
        len(result) == 1 and float(result[0]["value"][1]) == 25, result)
prometheus.terminate()
prometheus.wait()
# A game id is whatever a signed report says; listed, each game is one line.
c.check("a report of a game id with a tab and a line break in it", post(body(game=b"t\tn\nc", guid=b"odd"))[0] == 200)
listed = subprocess.run([os.environ["QVSTATS"], "games", "--db", "sqlite:" + db, "list"], capture_output=True, text=True)
c.check("games list: one line of two fields a game, the odd id escaped",
        listed.returncode == 0 and "t%09n%0Ac\t" in listed.stdout and
        all(line.count("\t") == 1 for line in listed.stdout.splitlines()), listed.stdout[-300:])
server.stop()
harness.remove(work)
c.finish()
