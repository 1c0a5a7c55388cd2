#!/usr/bin/env python3
"""Forged reports, signed with the key every installer carries. From 1,000
sources, 5,000 reports of random texts: all stored, the page stays small and
quick, the tables bounded, the memory flat. From one source, 1,000 reports
in 10 s: the counts rise by at most the burst and the rate, the rest are
held and shown as held; release counts them; purge of the source takes
every count back to where it was. Beyond the day's cap, 429. A flood with
no game id takes nothing over. Sources behind a trusted proxy, and hashed.
20,000 made-up game ids: the pages stay small, and stopping quick."""
import csv
import io
import json
import os
import random
import re
import socket
import subprocess
import time

import harness
from harness import Checks, Server, body, get

c = Checks()
work = harness.workdir()
db = "sqlite:" + os.path.join(work, "stats.db")
# The sanitizers' quarantine keeps freed memory: off, so that the resident
# size shows what the server itself holds.
os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"


def post_from(source, payload, headers=b""):
    """A report from a loopback address of its own (the test has the whole
    127/8 in its network namespace)."""
    return harness.request(b"POST /micro_stats HTTP/1.0\r\nContent-Length: %d\r\n%s\r\n" % (len(payload), headers) + payload,
                           source=source)[0]


def rss(server):
    with open("/proc/%d/status" % server.process.pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) // 1024


def timed_page(path):
    t0 = time.time()
    status, answer, _ = get(path)
    return status, answer.split(b"\r\n\r\n", 1)[1], time.time() - t0


def numbers(html):
    """What a publisher reads: the cards and the breakdown tables."""
    cards = re.findall(rb'<div class="card" id="([a-z-]+)"><div class="value">([^<]*)<', html)
    tables = re.findall(rb'<table id="(versions|systems|flash)">(.*?)</table>', html, re.S)
    return cards, tables


def export(game, held=False):
    status, answer, _ = get("/export.csv?game=" + game + ("&held=1" if held else ""))
    return sorted(csv.reader(io.StringIO(answer.split(b"\r\n\r\n", 1)[1].decode("utf-8"), newline="")))


server = Server(db, limits=True)
c.check("the server starts with the per-source limits", server.ready, server.output())
rng = random.Random(7)


def text(n):
    return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 .") for _ in range(n)).encode()


# 1. Many sources, random texts.
before = rss(server)
statuses = []
for i in range(5000):
    source = "127.1.%d.%d" % (i % 1000 // 250, i % 1000 % 250 + 1)
    statuses.append(post_from(source, body(game=b"flood", guid=b"m%d" % i, when=b"%d" % i, version=text(12),
                                           system=text(40), flash=text(16))))
c.check("5,000 reports from 1,000 sources: every one stored", statuses.count(200) == 5000,
        {s: statuses.count(s) for s in set(statuses)})
status, page, seconds = timed_page("/?game=flood")
grown = rss(server) - before
print("figures: after 5,000 random reports from 1,000 sources: page %d bytes in %.3f s, resident memory %+d MB" % (
    len(page), seconds, grown), flush=True)
c.check("  the page under 300 KB and 0.5 s", status == 200 and len(page) < 300000 and seconds < 0.5,
        "%d bytes, %.3f s" % (len(page), seconds))
c.check("  the resident memory within 20 MB of where it started", grown < 20, "%+d MB" % grown)
rows = subprocess.run(["sqlite3", db[7:], "SELECT kind, COUNT(*), SUM(reports) FROM breakdown WHERE game_id = 'flood'"
                       " GROUP BY kind ORDER BY kind"], capture_output=True, text=True).stdout.split()
print("figures: breakdown rows of the flooded game: " + " ".join(rows), flush=True)
c.check("  the breakdowns hold at most 1,000 values each, the rest as other values",
        rows == ["flash|1000|1000", "flash:other|1|4000", "os|1000|1000", "os:other|1|4000", "version|1000|1000",
                 "version:other|1|4000"], rows)
c.check("  the page shows the top 50 and the rest", page.count(b"<tr>") < 250 and b"(other values)" in page and
        b"all 1,000 values" in page)
status, whole, _ = timed_page("/?game=flood&table=versions&page=5")
c.check("  the whole table, a page at a time", status == 200 and b"page 5 of 5" in whole and b"values beyond" in whole,
        whole[-300:])
c.check("  a table that is none, or a page that is none: 400", [get("/?game=flood&table=" + t)[0] for t in (
    "x", "versions&page=0", "versions&page=6", "versions&page=99999999999999999999")] == [400] * 4)

# 2. One source floods: a burst and the rate counted, the rest held.
for i in range(20):
    post_from("127.0.0.1", body(game=b"real", guid=b"r%d" % i, when=b"1"))
_, page, _ = timed_page("/?game=real")
counted_before, export_before = numbers(page), export("real")
t0 = time.time()
statuses = []
for i in range(1000):
    statuses.append(post_from("127.2.0.1", body(game=b"real", guid=b"forged%d" % i, when=b"1", version=b"6.6.6")))
    time.sleep(max(0, t0 + (i + 1) * 0.01 - time.time()))
seconds = time.time() - t0
_, page, _ = timed_page("/?game=real")
machines = int(re.search(rb'id="machines"><div class="value">([\d,]+)<', page).group(1).replace(b",", b""))
held = re.search(rb"<td>127\.2\.0\.1</td><td>[^<]*</td><td>[^<]*</td><td class=\"n\">([\d,]+)</td>", page)
held = int(held.group(1).replace(b",", b"")) if held else 0
print("figures: 1,000 reports from one source in %.1f s: %d counted, %d held" % (seconds, machines - 20, held), flush=True)
c.check("1,000 reports from one source in 10 s: all answered 200", statuses.count(200) == 1000)
c.check("  the counts rose by the burst (120 players behind one address at once) and at most the rate",
        120 <= machines - 20 <= 120 + 60 * seconds / 60 + 1, machines - 20)
c.check("  the rest held, and shown as held", held == 1000 - (machines - 20), held)
counted_rows, held_rows = export("real")[:-1], export("real", held=True)[:-1]
c.check("  the export holds the counted reports alone, as the page counts them; held=1 the held ones",
        len(counted_rows) == machines and len(held_rows) == held and
        {r[3] for r in counted_rows}.isdisjoint(r[3] for r in held_rows), (len(counted_rows), len(held_rows)))
released = subprocess.run([os.environ["QVSTATS"], "release", "--db", db, "--source", "127.2.0.1"], capture_output=True,
                          text=True)
_, page, _ = timed_page("/?game=real")
after_release = int(re.search(rb'id="machines"><div class="value">([\d,]+)<', page).group(1).replace(b",", b""))
c.check("release puts them into the counts", released.returncode == 0 and after_release == 1020,
        released.stdout + released.stderr + str(after_release))
dry = subprocess.run([os.environ["QVSTATS"], "purge", "--db", db, "--source", "127.2.0.1", "--dry-run"],
                     capture_output=True, text=True)
c.check("purge --dry-run says what it would remove", dry.returncode == 0 and "would delete 1000 reports" in dry.stdout,
        dry.stdout + dry.stderr)
purged = subprocess.run([os.environ["QVSTATS"], "purge", "--db", db, "--source", "127.2.0.1"], capture_output=True,
                        text=True)
_, page, _ = timed_page("/?game=real")
c.check("purge of the source: exit 0", purged.returncode == 0 and "deleted 1000 reports" in purged.stdout,
        purged.stdout + purged.stderr)
c.check("  every number on the dashboard as it was before", numbers(page) == counted_before,
        (numbers(page)[0], counted_before[0]))
c.check("  and the export as well", export("real") == export_before)

# 3. Beyond a source's day: 429, counted.
server.stop()
c.check("the log says which source was held, and how much",
        re.search(r" warning held for review [a-z ]+: %d reports from 1 source beyond their rate \(127\.2\.0\.1: %d\)" % (
            held, held), server.output()) is not None, server.output()[-400:])
server = Server(db, "--source-day-cap", "30", limits=True)
answers = [post_from("127.3.0.1", body(game=b"real", guid=b"capped%d" % i, when=b"1")) for i in range(40)]
c.check("beyond the day's cap: 429", answers[:30] == [200] * 30 and answers[30:] == [429] * 10, answers)
metrics = get("/metrics")[1]
c.check("  counted as rate_limited", b'qvstats_requests_refused_total{reason="rate_limited"} 10' in metrics)
c.check("  the held reports in the metrics", re.search(rb"qvstats_reports_held_total \d", metrics) is not None)

# 4. No game: malformed, and the real game stays the default view.
answers = [post_from("127.4.0.1", body(game=b"", guid=b"e%d" % i, when=b"1")) for i in range(101)]
status, page, _ = timed_page("/")
c.check("101 reports without a game: 400", answers == [400] * 101)
c.check("  the default view is the game with most reports", b"No reports yet" not in page and b'id="machines"' in page)
server.stop()

# 5. Behind a trusted proxy, the source is the hop it saw; hashed, an
# address is stored as its keyed hash, and release and purge still find it.
server = Server(db, "--trust-proxy", "127.5.0.1", "--hash-sources", limits=True)
post_from("127.5.0.1", body(game=b"proxied", guid=b"p1", when=b"1"), b"X-Forwarded-For: 10.9.8.7, 198.51.100.4\r\n")
post_from("127.6.0.1", body(game=b"proxied", guid=b"p2", when=b"1"), b"X-Forwarded-For: 10.9.8.7\r\n")
rows = export("proxied")
sources = sorted(r[9] for r in rows[:-1])
c.check("hashed sources: no address stored", all(re.match(r"^h:[0-9a-f]{16}$", s) for s in sources) and len(set(sources)) == 2,
        sources)
purged = subprocess.run([os.environ["QVSTATS"], "purge", "--db", db, "--source", "198.51.100.4"], capture_output=True,
                        text=True)
left = [r[3] for r in export("proxied")[:-1]]
c.check("  the proxy's last hop was the source, and purge finds it by its address", "deleted 1 reports" in purged.stdout and
        left == ["p2"], purged.stdout + purged.stderr + str(left))
server.stop()

# 6. Made-up game ids, 20,000 of them: the pages stay small and quick, the
# default view is the game with most reports (not the first in order), the
# API comes a page at a time, and a client that does not read a page of it
# holds no stop up.
flood_db = os.path.join(work, "games.db")
lines = [body(game=b"g%05d" % i, guid=b"m%d" % i, when=b"1") for i in range(20000)]
lines += [body(game=b"0000", guid=b"z%d" % i, when=b"1") for i in range(2)]
lines += [body(game=b"real", guid=b"r%d" % i, when=b"1") for i in range(5)]
fill = subprocess.run([os.environ["QV_BUILD_DIR"] + "/qvfill", "sqlite:" + flood_db, str(len(lines))],
                      input=b"\n".join(lines) + b"\n", capture_output=True)
c.check("20,007 reports of 20,002 games stored beforehand", fill.returncode == 0, fill.stdout + fill.stderr)
server = Server("sqlite:" + flood_db)
for path in ("/", "/games"):
    status, page, seconds = timed_page(path)
    print("figures: %s after 20,000 made-up games: %d bytes in %.3f s" % (path, len(page), seconds), flush=True)
    c.check("  %s under 300 KB and 0.5 s" % path, status == 200 and len(page) < 300000 and seconds < 0.5,
            "%d %d bytes, %.3f s" % (status, len(page), seconds))
status, page, _ = timed_page("/")
c.check("  the default view is the game with most reports", b"<h1>Installations: real<" in page, page[:300])
status, page, _ = timed_page("/games")
first = re.search(rb'href="/games\?from=(\d{4}-\d\d-\d\d)&amp;to=(\d{4}-\d\d-\d\d)"[^>]*>All time<', page)
c.check("  /games: a page of 50 of them, and all time from the first day", b"page 1 of 401" in page and first and
        first.group(1) < first.group(2), first)
status, api, _ = timed_page("/api/v1/games?page=101")
games = json.loads(api) if status == 200 else {}
c.check("  /api/v1/games a page at a time", games.get("page") == 101 and games.get("pages") == 101 and
        len(games.get("games", [])) == 2, api[:300])
c.check("  beyond its pages, or a period longer than ten years: 400",
        [get(p)[0] for p in ("/api/v1/games?page=102", "/api/v1/summary?from=1970-01-01&to=9999-12-31", "/?from=2000-01-01")]
        == [400] * 3)
# Socket buffers of a few KB, so that a page cannot all go out unread: in the
# test's own network namespace only (netns-run.sh), and put back after.
if os.environ.get("QV_OWN_NETNS") != "1":
    c.check("the test runs in a network namespace of its own (tools/netns-run.sh)", False)
    server.stop()
    c.finish()
with open("/proc/sys/net/ipv4/tcp_wmem") as f:
    wmem = f.read()
with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
    f.write("4096 4096 8192")
stalled = socket.socket()
stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
stalled.connect(harness.DASHBOARD)
stalled.sendall(b"GET /api/v1/games HTTP/1.1\r\nHost: x\r\n\r\n")
time.sleep(1)
head = stalled.recv(2048)
length = re.search(rb"Content-Length: (\d+)", head)
c.check("  a client that reads only the start of a page", head.startswith(b"HTTP/1.1 200") and length and
        int(length.group(1)) > 40000, head[:200])
t0 = time.time()
code = server.stop(timeout=20)
seconds = time.time() - t0
c.check("  SIGTERM while it does not read the rest: exit 0 within 5 s", code == 0 and seconds < 5,
        "exit %s after %.2f s" % (code, seconds))
with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
    f.write(wmem)
stalled.close()
harness.remove(work)
c.finish()
