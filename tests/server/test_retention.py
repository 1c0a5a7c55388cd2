#!/usr/bin/env python3
"""Retention and backup while the server takes reports. prune deletes the
raw reports received before a day and leaves every number on the dashboard
as it was; backup gives a copy that passes SQLite's integrity check and
holds every report acknowledged before it started; --keep-days prunes on
its own. On both stores, prune keeps the counts of what it deletes."""
import os
import re
import sqlite3
import subprocess
import threading
import time

import harness
from harness import Checks, Server, body, get, post

c = Checks()
work = harness.workdir()
build = os.environ["QV_BUILD_DIR"]
db = os.path.join(work, "stats.db")
SOURCE = os.environ["QV_SOURCE_DIR"]

# 20,000 reports as if they had come in over the last 30 days.
fill = subprocess.run("%s/qvload --print 20000 | %s/qvfill sqlite:%s 20000 --days 30" % (build, build, db), shell=True,
                      capture_output=True, text=True)
c.check("20,000 reports over 30 days stored beforehand", fill.returncode == 0, fill.stdout + fill.stderr)


def raw(sql):
    with sqlite3.connect(db) as conn:
        return conn.execute(sql).fetchone()[0]


def day(days_ago):
    return time.strftime("%Y-%m-%d", time.localtime(time.time() - days_ago * 86400))


def midnight(text):
    return int(time.mktime(time.strptime(text, "%Y-%m-%d")))


class Load:
    """Reports of another game, without pause, while the work is done."""

    def __init__(self):
        self.acknowledged, self.statuses, self.running = [], [], True
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        i = 0
        while self.running:
            guid = b"load-%d" % i
            status = post(body(game=b"9", guid=guid, when=b"1"))[0]
            self.statuses.append(status)
            if status == 200:
                self.acknowledged.append(guid.decode())
            i += 1

    def stop(self):
        self.running = False
        self.thread.join()


def page():
    """The numbers a publisher reads for game 3: the whole page but the game
    picker and links and the refusals, which show every game."""
    status, answer, _ = get("/?game=3")
    html = answer.split(b"\r\n\r\n", 1)[1]
    return status, re.sub(rb'<form.*?</form>|<nav.*?</nav>|<table id="rejects">.*?</table>', b"", html)


server = Server("sqlite:" + db)
c.check("the server starts", server.ready, server.output())
status, before = page()
c.check("the dashboard shows the filled game", status == 200 and b'id="machines"' in before)
load = Load()
time.sleep(1)
cut = day(10)
rows_before = raw("SELECT COUNT(*) FROM reports WHERE game_id = '3'")
pruned = subprocess.run([os.environ["QVSTATS"], "prune", "--db", "sqlite:" + db, "--before", cut, "--batch", "1000"],
                        capture_output=True, text=True, timeout=120)
old = raw("SELECT COUNT(*) FROM reports WHERE received_at < %d" % midnight(cut))
c.check("prune under load: exit 0, says how many", pruned.returncode == 0 and "raw reports received before " + cut in pruned.stdout,
        pruned.stdout + pruned.stderr)
c.check("  the raw reports before %s are gone" % cut, old == 0 and raw("SELECT COUNT(*) FROM reports WHERE game_id = '3'") < rows_before,
        old)
status, after = page()
c.check("  and the dashboard's numbers are as they were", status == 200 and after == before)

# A backup while reports come in: whole, and holding what was acknowledged.
time.sleep(0.5)
acknowledged = list(load.acknowledged)
copy = os.path.join(work, "copy.db")
backup = subprocess.run([os.environ["QVSTATS"], "backup", "--db", "sqlite:" + db, "--to", copy], capture_output=True,
                        text=True, timeout=120)
c.check("backup under load: exit 0", backup.returncode == 0, backup.stdout + backup.stderr)
with sqlite3.connect(copy) as conn:
    integrity = conn.execute("PRAGMA integrity_check").fetchone()[0]
    held = set(r[0] for r in conn.execute("SELECT guid FROM reports WHERE game_id = '9'"))
c.check("  the copy passes PRAGMA integrity_check", integrity == "ok", integrity)
c.check("  and holds all %d reports acknowledged before it started" % len(acknowledged),
        all(g in held for g in acknowledged), len([g for g in acknowledged if g not in held]))
c.check("  readable by its owner only", os.stat(copy).st_mode & 0o777 == 0o600, oct(os.stat(copy).st_mode))
load.stop()
c.check("every report of the load answered 200", load.statuses.count(200) == len(load.statuses) > 0,
        "%d of %d" % (load.statuses.count(200), len(load.statuses)))
code, err = harness.run_briefly("backup", "--db", "postgresql://x/y", "--to", copy)
c.check("a backup of PostgreSQL points to pg_dump", code != 0 and "pg_dump" in err, err.strip())
code, err = harness.run_briefly("prune", "--db", "sqlite:" + db, "--before", "2026-02-30")
c.check("prune refuses a day that does not exist", code != 0 and "--before" in err, err.strip())
c.check("SIGTERM: exit 0", server.stop() == 0)

# --keep-days: the server prunes on its own, soon after it starts.
server = Server("sqlite:" + db, "--keep-days", "5")
deadline = time.time() + 30
while time.time() < deadline and "retention:" not in server.output():
    time.sleep(0.2)
kept = day(5)
c.check("--keep-days 5: the server prunes what came before %s" % kept,
        raw("SELECT COUNT(*) FROM reports WHERE received_at < %d" % midnight(kept)) == 0 and
        raw("SELECT COUNT(*) FROM reports") > 0, server.output()[-300:])
status, after = page()
c.check("  and the dashboard's numbers are as they were", after == before)
server.stop()


# Both stores: what prune deletes stays counted.
def pg(command):
    out = subprocess.run(["bash", "-c", "source %s/tests/server/pg.sh; PG_DIR=%s/pg; %s" % (SOURCE, work, command)],
                         capture_output=True, text=True)
    return out.returncode == 0, out.stdout + out.stderr


ok, out = pg("pg_start %s/pg 5432 && echo $PG_URL" % work)
if c.check("a PostgreSQL server of the test's own", ok, out):
    url = out.strip().splitlines()[-1]
    psql = lambda sql: subprocess.run(["psql", "-At", url, "-c", sql], capture_output=True, text=True).stdout.split()
    server = Server(url, "--spool", work + "/spool.db")
    for i in range(30):
        post(body(guid=b"pg-%d" % (i % 10), when=b"%d" % i))
    counts = psql("SELECT reports || '/' || machines FROM games")
    pruned = subprocess.run([os.environ["QVSTATS"], "prune", "--db", url, "--before", day(-1), "--batch", "7"],
                            capture_output=True, text=True, timeout=60)
    c.check("PostgreSQL: prune under the server: exit 0", pruned.returncode == 0 and "30 raw reports" in pruned.stdout,
            pruned.stdout + pruned.stderr)
    c.check("  no raw report left, the counts as they were", psql("SELECT COUNT(*) FROM reports") == ["0"] and
            psql("SELECT reports || '/' || machines FROM games") == counts == ["30/10"], counts)
    server.stop()
    pg("pg_stop")
harness.remove(work)
c.finish()
