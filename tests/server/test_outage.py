#!/usr/bin/env python3
"""The database away under a steady load of signed reports, against a real
PostgreSQL: stopped for 5 s, then frozen (SIGSTOP) for 5 s. Every report is
answered 200, /healthz says 503 within 1 s of the outage and 200 again after
it, and once the database is back every acknowledged report is in it once,
with counts that agree with the rows. Then kill -9 while reports sit in the
spool and a restart: all of them stored. A full spool answers 503. A
report the database refuses while it takes others is set aside. What the
server logs meanwhile is checked and shown."""
import os
import re
import signal
import sqlite3
import subprocess
import threading
import time

import harness
from harness import Checks, Server, body, get, post

c = Checks()
work = harness.workdir()
SOURCE = os.environ["QV_SOURCE_DIR"]
PG = work + "/pg"


def pg(command):
    out = subprocess.run(["bash", "-c", "source %s/tests/server/pg.sh; PG_DIR=%s; %s" % (SOURCE, PG, command)],
                         capture_output=True, text=True)
    return out.returncode == 0, out.stdout + out.stderr


ok, out = pg("pg_start %s 5432 && echo $PG_URL" % PG)
url = out.strip().splitlines()[-1] if ok else ""
if not c.check("a PostgreSQL server of the test's own", ok, out):
    c.finish()


def query(sql):
    return subprocess.run(["psql", "-At", url, "-c", sql], capture_output=True, text=True).stdout.split()


class Load:
    """Threads posting distinct signed reports without pause; every answer
    is kept with its report's key."""

    def __init__(self, prefix, threads=6):
        self.answers, self.lock, self.running = [], threading.Lock(), True
        self.threads = [threading.Thread(target=self.run, args=(prefix, k)) for k in range(threads)]
        for t in self.threads:
            t.start()

    def run(self, prefix, k):
        i = 0
        while self.running:
            guid, when = b"%s-%d-%d" % (prefix, k, i % 50), b"%d" % i
            try:
                status = post(body(guid=guid, when=when))[0]
            except OSError:
                status = 0
            with self.lock:
                self.answers.append(("%s/%s" % (guid.decode(), when.decode()), status))
            i += 1

    def stop(self):
        self.running = False
        for t in self.threads:
            t.join()
        return self.answers


class Health:
    """/healthz every 100 ms: (time, status, seconds it took)."""

    def __init__(self):
        self.samples, self.running = [], True
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while self.running:
            t0 = time.time()
            try:
                status = get("/healthz")[0]
            except OSError:
                status = 0
            self.samples.append((t0, status, time.time() - t0))
            time.sleep(0.1)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.samples


def outage(name, away, back, spool):
    """Load, then the database away for 5 s, then back; the checks."""
    load, health = Load(name.encode()), Health()
    time.sleep(2)
    started = time.time()
    away()
    time.sleep(5)
    ended = time.time()
    back()
    deadline = time.time() + 60
    while time.time() < deadline and not (health.samples and health.samples[-1][1] == 200 and
                                          health.samples[-1][0] > ended):
        time.sleep(0.1)
    time.sleep(1)
    answers, samples = load.stop(), health.stop()
    statuses = [s for _, s in answers]
    acknowledged = set(k for k, s in answers if s == 200)
    during = [s for s in statuses]
    c.check("%s: every report answered 200" % name, statuses.count(200) == len(statuses),
            "%d of %d; others %s" % (statuses.count(200), len(statuses), sorted(set(statuses))))
    first503 = next((t for t, s, _ in samples if t >= started and s == 503), None)
    c.check("%s: /healthz 503 within 1 s of the outage" % name, first503 is not None and first503 - started <= 1.0,
            "after %.2f s" % ((first503 or 0) - started))
    again = next((t for t, s, _ in samples if t >= ended and s == 200), None)
    c.check("%s: /healthz 200 again after it" % name, again is not None, "after %.2f s" % ((again or 0) - ended))
    slowest = max(d for _, _, d in samples)
    c.check("%s: /healthz answered within 1 s throughout" % name, slowest < 1.0, "slowest %.3f s" % slowest)
    # Drained: every acknowledged report is in the database, once.
    deadline = time.time() + 60
    stored = {}
    while time.time() < deadline:
        rows = query("SELECT guid || '/' || client_time FROM reports WHERE guid LIKE '%s-%%'" % name)
        stored = {}
        for r in rows:
            stored[r] = stored.get(r, 0) + 1
        if all(k in stored for k in acknowledged):
            break
        time.sleep(0.5)
    missing = [k for k in acknowledged if k not in stored]
    c.check("%s: every acknowledged report stored" % name, not missing, "missing %d of %d" % (len(missing), len(acknowledged)))
    c.check("%s: each once" % name, all(n == 1 for n in stored.values()))
    print("figures: %s: %d reports sent, %d acknowledged, %d stored, %d answered 503; /healthz 503 after %.2f s, "
          "200 again %.2f s after the database was back" % (
              name, len(statuses), len(acknowledged), len(stored), statuses.count(503), (first503 or 0) - started,
              (again or 0) - ended), flush=True)


def counts_agree(what):
    reports, machines = query("SELECT COUNT(*) FROM reports WHERE held = 0"), query("SELECT COUNT(*) FROM machines")
    sums = [harness.days_reports(query("SELECT encode(days, 'hex') FROM machines"))] + [query(sql) for sql in (
        "SELECT SUM(reports) FROM daily", "SELECT SUM(reports) FROM games",
        "SELECT SUM(reports) FROM breakdown WHERE kind = 'version'")]
    new = [query("SELECT SUM(new_machines) FROM daily"), query("SELECT SUM(machines) FROM games")]
    c.check("%s: the counts agree with the rows" % what, all(s == reports for s in sums) and all(m == machines for m in new),
            "reports %s machines %s: %s %s" % (reports, machines, sums, new))


spool = work + "/spool.db"
server = Server(url, "--spool", spool)
c.check("the server starts with a spool", server.ready, server.output())
outage("stopped", lambda: pg("pg_stop"), lambda: pg("pg_start %s 5432" % PG), spool)
outage("frozen", lambda: pg("pg_freeze"), lambda: pg("pg_thaw"), spool)
counts_agree("after both outages")
c.check("SIGTERM: exit 0", server.stop() == 0)

log = server.output()
print("--- what the server logged ---\n" + log + "--- end ---", flush=True)
lines = [l for l in log.splitlines() if l]
c.check("every log line has a time stamp and a level",
        all(re.match(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d (info|warning|error) ", l) for l in lines))
c.check("the database lost and back, once each per outage",
        len([l for l in lines if "database down" in l]) == 2 and len([l for l in lines if "database back" in l]) == 2,
        "%d down, %d back" % (len([l for l in lines if "database down" in l]), len([l for l in lines if "database back" in l])))

# The database frozen, reports coming, and SIGTERM: the server does not
# wait for the database, and exits within 5 s.
server = Server(url, "--spool", spool)
load = Load(b"term")
time.sleep(0.5)
pg("pg_freeze")
time.sleep(0.5)
t0 = time.time()
code = server.stop(timeout=30)
seconds = time.time() - t0
load.stop()
pg("pg_thaw")
c.check("SIGTERM while the database is frozen under load: exit 0 within 5 s", code == 0 and seconds < 5,
        "exit %s after %.2f s" % (code, seconds))

# kill -9 while reports sit in the spool, a restart while the database is
# still down, and then it is back: every report stored.
server = Server(url, "--spool", spool)
deadline = time.time() + 30
while time.time() < deadline and (get("/healthz")[0] != 200 or sqlite3.connect(spool).execute(
        "SELECT COUNT(*) FROM spool").fetchone()[0] != 0):
    time.sleep(0.2)
c.check("what SIGTERM left in the spool is stored after the start", get("/healthz")[0] == 200)
pg("pg_stop")
spooled = [b"kill-%d" % i for i in range(50)]
answers = [post(body(guid=g, when=b"1"))[0] for g in spooled]
c.check("the database down: reports are acknowledged from the spool", answers == [200] * 50, sorted(set(answers)))
with sqlite3.connect(spool) as s:
    held = s.execute("SELECT COUNT(*) FROM spool").fetchone()[0]
c.check("  and wait there", held == 50, held)
c.check("  /healthz says so", get("/healthz")[1].split(b"\r\n\r\n", 1)[1].startswith(b"database down since"),
        get("/healthz")[1][-120:])
post(b"hello=world")  # a refusal to count, while the database is down
before = server.cpu_seconds()
time.sleep(2)
used = server.cpu_seconds() - before
c.check("  an idle server waiting for the database uses no CPU to speak of", used < 0.3, "%.2f s in 2 s" % used)
server.process.send_signal(signal.SIGKILL)
server.process.wait()
server = Server(url, "--spool", spool)
c.check("a restart while the database is still down: the server starts", server.ready, server.output()[-300:])
more = [post(body(guid=b"kill-%d" % i, when=b"1"))[0] for i in range(50, 60)]
c.check("  and acknowledges reports from the spool", more == [200] * 10, more)
c.check("  /healthz 503", get("/healthz")[0] == 503)
pg("pg_start %s 5432" % PG)
deadline = time.time() + 30
while time.time() < deadline and query("SELECT COUNT(*) FROM reports WHERE guid LIKE 'kill-%'") != ["60"]:
    time.sleep(0.2)
c.check("kill -9, restart, database back: all 60 spooled reports stored",
        query("SELECT COUNT(*) FROM reports WHERE guid LIKE 'kill-%'") == ["60"])
deadline = time.time() + 10
while time.time() < deadline and get("/healthz")[0] != 200:
    time.sleep(0.2)
c.check("  /healthz 200 again", get("/healthz")[0] == 200)
with sqlite3.connect(spool) as s:
    c.check("  and the spool is empty", s.execute("SELECT COUNT(*) FROM spool").fetchone()[0] == 0)
counts_agree("after kill -9")
server.stop()
c.check("the spool is its owner's alone", os.stat(spool).st_mode & 0o777 == 0o600, oct(os.stat(spool).st_mode))

# A full spool answers 503, and what it took is stored later.
server = Server(url, "--spool", work + "/small.db", "--spool-max-bytes", "65536")
pg("pg_stop")
answers = []
for i in range(150):  # texts as long as the installer's go
    answers.append(post(body(guid=b"full-%d" % i, when=b"1", version=b"v" * 260, system=b"s" * 260,
                             flash=b"f" * 260))[0])
c.check("a full spool: 503", 503 in answers and answers.count(200) > 5, "%d × 200, %d × 503" % (answers.count(200), answers.count(503)))
status, answer, _ = get("/healthz")
c.check("  /healthz 503", status == 503, answer[-100:])
pg("pg_start %s 5432" % PG)
taken = answers.count(200)
deadline = time.time() + 30
while time.time() < deadline and query("SELECT COUNT(*) FROM reports WHERE guid LIKE 'full-%'") != [str(taken)]:
    time.sleep(0.2)
c.check("  what it acknowledged is stored once the database is back",
        query("SELECT COUNT(*) FROM reports WHERE guid LIKE 'full-%'") == [str(taken)])
c.check("SIGTERM: exit 0", server.stop() == 0)

# A report the database refuses while it takes the others (here a rule of
# the database's own against its version): set aside beside the spool,
# and nothing behind it waits.
query("ALTER TABLE texts ADD CONSTRAINT no_poison CHECK (text <> 'poison')")
server = Server(url, "--spool", work + "/aside.db")
answers = [post(body(guid=b"aside-%d" % i, when=b"1", version=b"poison" if i == 1 else b"1.0"))[0] for i in range(5)]
deadline = time.time() + 30
while time.time() < deadline and (query("SELECT COUNT(*) FROM reports WHERE guid LIKE 'aside-%'") != ["4"] or
                                  get("/healthz")[0] != 200):
    time.sleep(0.2)
c.check("a report the database refuses: all answered 200, the others stored, healthy",
        answers == [200] * 5 and query("SELECT COUNT(*) FROM reports WHERE guid LIKE 'aside-%'") == ["4"] and
        get("/healthz")[0] == 200, (answers, server.output()[-600:]))
with sqlite3.connect(work + "/aside-refused.db") as s:
    c.check("  and it is kept beside the spool", s.execute("SELECT guid, version FROM refused").fetchall() ==
            [("aside-1", "poison")])
c.check("  counted", re.search(r"\nqvstats_reports_set_aside_total 1\n", get("/metrics")[1].decode()) is not None)
c.check("  and logged", "the database refuses a report (game 3, machine aside-1" in server.output(), server.output()[-600:])
c.check("SIGTERM: exit 0", server.stop() == 0)
pg("pg_stop")
harness.remove(work)
c.finish()
