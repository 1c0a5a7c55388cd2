#!/usr/bin/env python3
"""Storage against both real databases: a replay gives one row, a second
installation of a machine counts it twice and as one new machine, every
report whose 200 was sent survives kill -9 of the server, a newer schema is
refused; and, on PostgreSQL, two receivers that take the same reports at
the same time store each once."""
import os
import random
import signal
import sqlite3
import subprocess
import threading

import harness
from harness import Checks, Server, body, post

c = Checks()
work = harness.workdir()
SOURCE = os.environ["QV_SOURCE_DIR"]


def pg_shell(command):
    return subprocess.run(["bash", "-c", "source %s/tests/server/pg.sh; %s" % (SOURCE, command)],
                          capture_output=True, text=True)


started = pg_shell("pg_start %s/pg 5432 && echo $PG_URL" % work)
pg_url = started.stdout.strip().splitlines()[-1] if started.returncode == 0 else None
c.check("a PostgreSQL server of the test's own", pg_url is not None, started.stdout + started.stderr)


def query(db, sql):
    """The first column of every row."""
    if db.startswith("sqlite:"):
        with sqlite3.connect(db[7:]) as conn:
            return [str(r[0]) for r in conn.execute(sql)]
    out = subprocess.run(["psql", "-At", db, "-c", sql], capture_output=True, text=True)
    return out.stdout.split()


def machine_reports(db, where="TRUE"):
    hexed = "hex(days)" if db.startswith("sqlite:") else "encode(days, 'hex')"
    return harness.days_reports(query(db, "SELECT %s FROM machines WHERE %s" % (hexed, where)))


def stored_body(db, client_time):
    """A stored report's body: kept whole, or made again from its fields
    as the installer writes them, texts in GBK."""
    hexed = "hex(%s)" if db.startswith("sqlite:") else "encode(%s, 'hex')"
    sql = ("SELECT %s, %s, r.game_id, v.text, r.guid, r.client_time, o.text, f.text FROM reports r"
           " JOIN texts v ON v.id = r.version_id JOIN texts o ON o.id = r.os_id JOIN texts f ON f.id = r.flash_id"
           " WHERE r.client_time = %s" % (hexed % "r.raw", hexed % "r.sign", client_time))
    if db.startswith("sqlite:"):
        with sqlite3.connect(db[7:]) as conn:
            row = conn.execute(sql).fetchone()
    else:
        out = subprocess.run(["psql", "-At", "-F", "\x1f", db, "-c", sql], capture_output=True, text=True).stdout
        row = out.rstrip("\n").split("\x1f") if out else None
    if not row:
        return None
    if row[0]:
        return bytes.fromhex(row[0])
    names = ["game_id", "version", "guid", "time", "sign", "osmajor", "osminor", "system", "flash"]
    osmajor, osminor, system = row[6].replace(".", "\t", 1).split("\t", 2)
    values = [row[2], row[3], row[4], str(row[5]), row[1].upper(), osmajor, osminor, system, row[7]]
    return b"&".join(n.encode() + b"=" + v.encode("gbk") for n, v in zip(names, values))


def storage(db, name):
    server = Server(db, "--spool", work + "/spool.db")
    c.check("%s: the server starts" % name, server.ready, server.output())
    first = body(guid=b"machine-1", when=b"1000")
    c.check("%s: a report is stored" % name, post(first)[0] == 200)
    c.check("%s: its replay is answered 200" % name, post(first)[0] == 200)
    c.check("%s: and stored once" % name, query(db, "SELECT COUNT(*) FROM reports") == ["1"])
    c.check("%s: a second installation of the machine" % name, post(body(guid=b"machine-1", when=b"2000"))[0] == 200)
    c.check("%s: gives the machine 2 reports" % name,
            machine_reports(db, "guid = 'machine-1'") == ["2"])
    c.check("%s: and one new machine" % name, query(db, "SELECT new_machines FROM daily") == ["1"])
    c.check("%s: each report kept once: its fields give the body back" % name, stored_body(db, "1000") == first and
            query(db, "SELECT COUNT(*) FROM reports WHERE length(raw) = 0") == ["2"], stored_body(db, "1000"))
    # Numbers as the installer never writes them ("06"): the body kept whole.
    odd = body(guid=b"machine-2", when=b"3000", osmajor=b"06")
    c.check("%s: one the fields do not give back is kept whole" % name, post(odd)[0] == 200 and
            stored_body(db, "3000") == odd)

    # kill -9 in the middle of a flood: every report answered 200 is there.
    acknowledged = []
    lock = threading.Lock()

    # Machines come back and some posts are replays, so that one commit
    # holds a machine's first and later reports, and reports stored already.
    def flood(k):
        for i in range(400):
            guid, when = b"flood-%d-%d" % (k, i % 40), b"3%04d" % (i - (i % 5 == 4))
            try:
                status = post(body(guid=guid, when=when))[0]
            except OSError:
                return
            if status == 200:
                with lock:
                    acknowledged.append("%s/%s" % (guid.decode(), when.decode()))

    threads = [threading.Thread(target=flood, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    import time
    deadline = time.time() + 60
    while len(acknowledged) < 300 and time.time() < deadline:
        time.sleep(0.005)
    server.process.send_signal(signal.SIGKILL)
    server.process.wait()
    for t in threads:
        t.join()
    again = Server(db, "--spool", work + "/spool.db")
    c.check("%s: restarts after kill -9" % name, again.ready, again.output())
    stored = set(query(db, "SELECT guid || '/' || client_time FROM reports WHERE guid LIKE 'flood-%'"))
    missing = [g for g in acknowledged if g not in stored]
    c.check("%s: all %d reports answered 200 before kill -9 are stored" % (name, len(acknowledged)), not missing,
            "missing %d" % len(missing))
    # Every count agrees with the rows it counts, whatever the kill cut.
    # A machine with held reports alone has a row, with no days.
    reports = query(db, "SELECT COUNT(*) FROM reports WHERE held = 0")
    machines = query(db, "SELECT COUNT(*) FROM machines WHERE length(days) > 0")
    sums = [machine_reports(db)] + [query(db, sql) for sql in (
        "SELECT SUM(reports) FROM daily", "SELECT SUM(reports) FROM games",
        "SELECT SUM(reports) FROM breakdown WHERE kind = 'version'", "SELECT SUM(reports) FROM breakdown WHERE kind = 'os'")]
    new_machines = [query(db, "SELECT SUM(new_machines) FROM daily"), query(db, "SELECT SUM(machines) FROM games")]
    c.check("%s: the counts agree with the rows" % name,
            all(s == reports for s in sums) and all(m == machines for m in new_machines),
            "reports %s machines %s: %s %s" % (reports, machines, sums, new_machines))
    c.check("%s: SIGTERM: exit 0" % name, again.stop() == 0)


def newer_schema(db, name):
    if db.startswith("sqlite:"):
        with sqlite3.connect(db[7:]) as conn:
            conn.execute("UPDATE meta SET value = '99' WHERE key = 'schema_version'")
    else:
        query(db, "UPDATE meta SET value = '99' WHERE key = 'schema_version'")
    code, err = harness.run_briefly("serve", "--db", db, "--listen", "127.0.0.1:80")
    c.check("%s: a newer schema is refused, saying so" % name, code != 0 and "schema version 99" in err, err.strip())


def counts_agree(db, name, what):
    # A machine with held reports alone has a row, with no days.
    reports = query(db, "SELECT COUNT(*) FROM reports WHERE held = 0")
    machines = query(db, "SELECT COUNT(*) FROM machines WHERE length(days) > 0")
    sums = [machine_reports(db)] + [query(db, sql) for sql in (
        "SELECT SUM(reports) FROM daily", "SELECT SUM(reports) FROM games",
        "SELECT SUM(reports) FROM breakdown WHERE kind LIKE 'version%'")]
    new_machines = [query(db, "SELECT SUM(new_machines) FROM daily"), query(db, "SELECT SUM(machines) FROM games")]
    c.check("%s: %s: the counts agree with the rows" % (name, what),
            all(x == reports for x in sums) and all(m == machines for m in new_machines),
            "reports %s machines %s: %s %s" % (reports, machines, sums, new_machines))


def forged(db, name):
    """Held reports and the cap on distinct values, in the store's own batch
    statement, then release and purge."""
    for table in ("reports", "machines", "daily", "breakdown", "games"):
        query(db, "DELETE FROM " + table)
    server = Server(db, "--spool", work + "/spool.db", "--source-rate", "1", "--source-burst", "4",
                    "--breakdown-cap", "3", limits=True)
    answers = [post(body(game=b"f", guid=b"fm%d" % i, when=b"1", version=b"v%d" % i))[0] for i in range(8)]
    c.check("%s: 8 reports from one source: stored" % name, answers == [200] * 8, answers)
    c.check("%s:   4 counted, 4 held" % name, query(db, "SELECT reports FROM games") == ["4"] and
            query(db, "SELECT COUNT(*) FROM reports WHERE held = 1") == ["4"])
    c.check("%s:   3 versions of their own, one as other" % name,
            query(db, "SELECT kind || '=' || reports FROM breakdown WHERE kind LIKE 'version%' ORDER BY kind, value") ==
            ["version=1", "version=1", "version=1", "version:other=1"])
    counts_agree(db, name, "with held reports")
    run = lambda *args: subprocess.run([os.environ["QVSTATS"]] + list(args), capture_output=True, text=True)
    released = run("release", "--db", db, "--source", "127.0.0.1")
    c.check("%s: release: all counted, further values as other" % name, released.returncode == 0 and
            query(db, "SELECT reports FROM games") == ["8"] and
            query(db, "SELECT reports FROM breakdown WHERE kind = 'version:other'") == ["5"],
            released.stderr + str(query(db, "SELECT kind || '=' || reports FROM breakdown")))
    counts_agree(db, name, "after release")
    purged = run("purge", "--db", db, "--game", "f")
    c.check("%s: purge of the game: nothing of it left" % name, purged.returncode == 0 and
            query(db, "SELECT COUNT(*) FROM reports") == ["0"] and query(db, "SELECT COUNT(*) FROM breakdown") == ["0"] and
            query(db, "SELECT COUNT(*) FROM games") == ["0"] and query(db, "SELECT COUNT(*) FROM daily") == ["0"],
            purged.stdout + purged.stderr)
    # A text longer than any installer's (PostgreSQL cannot index it) is
    # refused alone: the database stays within reach of the reports after it.
    letters = random.Random(1)
    long_system = bytes(letters.choice(b"0123456789abcdefghij") for _ in range(3900))
    answers = [post(body(game=b"f", guid=b"long", when=b"1", system=long_system))[0],
               post(body(game=b"f", guid=b"after", when=b"1"))[0]]
    healthz = harness.request(b"GET /healthz HTTP/1.0\r\n\r\n", address=harness.DASHBOARD)[0]
    c.check("%s: a text too long: 400, the next report stored, healthy" % name,
            answers == [400, 200] and healthz == 200 and query(db, "SELECT guid FROM reports") == ["after"],
            (answers, healthz, server.output()[-500:]))
    server.stop()


# The schema of the first version, as the first qvstats made it: a
# database of it is upgraded in place, its reports kept.
VERSION_1 = [
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE reports (id %s PRIMARY KEY, received_at BIGINT NOT NULL, day TEXT NOT NULL, game_id TEXT NOT NULL,"
    " version TEXT NOT NULL, guid TEXT NOT NULL, client_time TEXT NOT NULL, osmajor BIGINT NOT NULL, osminor BIGINT NOT NULL,"
    " system TEXT NOT NULL, flash TEXT NOT NULL, body %s NOT NULL, UNIQUE (client_time, game_id, guid))",
    "CREATE INDEX reports_by_time ON reports (received_at)",
    "CREATE TABLE machines (game_id TEXT NOT NULL, guid TEXT NOT NULL, first_seen BIGINT NOT NULL,"
    " last_seen BIGINT NOT NULL, reports BIGINT NOT NULL, PRIMARY KEY (game_id, guid))",
    "CREATE TABLE daily (game_id TEXT NOT NULL, day TEXT NOT NULL, reports BIGINT NOT NULL,"
    " new_machines BIGINT NOT NULL, PRIMARY KEY (game_id, day))",
    "CREATE TABLE breakdown (game_id TEXT NOT NULL, kind TEXT NOT NULL, value TEXT NOT NULL,"
    " reports BIGINT NOT NULL, PRIMARY KEY (game_id, kind, value))",
    "CREATE TABLE games (game_id TEXT PRIMARY KEY, reports BIGINT NOT NULL, machines BIGINT NOT NULL)",
    "CREATE TABLE rejects (day TEXT NOT NULL, reason TEXT NOT NULL, n BIGINT NOT NULL, PRIMARY KEY (day, reason))",
    "INSERT INTO meta VALUES ('schema_version', '1')",
    "INSERT INTO reports (received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash, body)"
    " VALUES (1000, '1970-01-01', 'old', '1.0', 'om', '1', 6, 1, 'Windows 7', '', %s)",
    # The same time in another spelling, the lowest time there is, one past
    # the highest, and no number: the first two kept, once each.
] + ["INSERT INTO reports (received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash, body)"
     " VALUES (1000, '1970-01-01', 'old', '1.0', '%s', '%s', 6, 1, 'Windows 7', '', %%s)" % guid_time
     for guid_time in (("om", "01"), ("om2", "-9223372036854775808"), ("om3", "9223372036854775808"), ("om4", "1-2"))] + [
    "INSERT INTO machines VALUES ('old', 'om', 1000, 1000, 1)", "INSERT INTO daily VALUES ('old', '1970-01-01', 1, 1)",
    "INSERT INTO games VALUES ('old', 1, 1)",
]


def upgrade(db, name):
    if db.startswith("sqlite:"):
        for leftover in (db[7:], db[7:] + "-wal", db[7:] + "-shm"):
            if os.path.exists(leftover):
                os.unlink(leftover)
        with sqlite3.connect(db[7:]) as conn:
            for sql in VERSION_1:
                conn.execute(sql.replace("%s PRIMARY KEY", "INTEGER PRIMARY KEY").replace("body %s", "body BLOB")
                             .replace("%s)", "X'00')"))
    else:
        query(db, "DROP SCHEMA public CASCADE; CREATE SCHEMA public")
        for sql in VERSION_1:
            query(db, sql.replace("%s PRIMARY KEY", "BIGSERIAL PRIMARY KEY").replace("body %s", "body BYTEA")
                  .replace("%s)", "'\\x00')"))
    server = Server(db, "--spool", work + "/spool.db")
    c.check("%s: a database of schema version 1 is upgraded in place" % name, server.ready and
            query(db, "SELECT value FROM meta WHERE key = 'schema_version'") == ["4"], server.output())
    # Its reports are of day 0 (1970-01-01): marked 1, the day after.
    c.check("%s:   its texts marked the day after its latest report's, so none goes as unused" % name,
            query(db, "SELECT DISTINCT last_day FROM texts") == ["1"], query(db, "SELECT DISTINCT last_day FROM texts"))
    c.check("%s:   its reports kept, with an empty source and counted" % name,
            query(db, "SELECT game_id || '/' || source || '/' || held FROM reports") == ["old//0"] * 2)
    kept = query(db, "SELECT guid || '/' || client_time FROM reports ORDER BY guid")
    c.check("%s:   each time once, and only times a report can have" % name,
            kept == ["om/1", "om2/-9223372036854775808"], kept)
    texts = query(db, "SELECT replace(replace(text, char(9), '|'), ' ', '_') FROM texts ORDER BY text".replace(
        "char(9)", "char(9)" if db.startswith("sqlite:") else "chr(9)"))
    c.check("%s:   with their texts and body" % name, stored_body(db, "1") == b"\x00" and
            texts[-2:] == ["1.0", "6.1|Windows_7"], texts)  # and "" (no Flash Player)
    c.check("%s:   and new ones taken" % name, post(body(game=b"old", guid=b"om", when=b"2"))[0] == 200 and
            machine_reports(db, "guid = 'om'") == ["2"])
    server.stop()


sqlite_db = "sqlite:" + os.path.join(work, "stats.db")
storage(sqlite_db, "SQLite")
newer_schema(sqlite_db, "SQLite")
upgrade(sqlite_db, "SQLite")
forged(sqlite_db, "SQLite")
if pg_url:
    storage(pg_url, "PostgreSQL")
    newer_schema(pg_url, "PostgreSQL")
    upgrade(pg_url, "PostgreSQL")
    forged(pg_url, "PostgreSQL")

    # Two receivers, one database, the same reports at the same time.
    query(pg_url, "DROP SCHEMA public CASCADE; CREATE SCHEMA public")
    one = Server(pg_url, "--spool", work + "/spool-1.db", listen="127.0.0.1:80", dashboard="127.0.0.1:8080")
    two = Server(pg_url, "--spool", work + "/spool-2.db", listen="127.0.0.1:81", dashboard="127.0.0.1:8081")
    c.check("two receivers on one database", one.ready and two.ready, one.output() + two.output())
    answers = []

    def send(port, order):
        for i in order:
            answers.append(post(body(guid=b"shared-%d" % (i % 100), when=b"%d" % i), address=("127.0.0.1", port))[0])

    # The same report to both at once, and a new machine's first reports
    # (i and i + 100) to both at once.
    reports, turned = list(range(300)), list(range(100, 300)) + list(range(100))
    workers = [threading.Thread(target=send, args=(port, order)) for port, orders in ((80, reports), (81, turned))
               for order in (orders, list(reversed(orders)))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    c.check("every post answered 200", answers.count(200) == 1200, "%d of %d" % (answers.count(200), len(answers)))
    c.check("each report stored once", query(pg_url, "SELECT COUNT(*) FROM reports") == ["300"])
    c.check("each machine once, with its 3 reports",
            query(pg_url, "SELECT COUNT(*) FROM machines") == ["100"] and
            all(harness.days_reports([days]) == ["3"] for days in query(pg_url, "SELECT encode(days, 'hex') FROM machines")))
    c.check("the game's counts agree", query(pg_url, "SELECT reports FROM games") == ["300"] and
            query(pg_url, "SELECT machines FROM games") == ["100"])
    two.stop()
    one.stop()
pg_shell("PG_DIR=%s/pg; pg_stop" % work)
harness.remove(work)
c.finish()
