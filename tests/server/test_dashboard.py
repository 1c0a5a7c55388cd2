#!/usr/bin/env python3
"""The dashboard a publisher reads: reports posted on chosen days (the
server's clock moved with faketime), then the JSON API's numbers for a
period and the one before it (reports, new and unique machines, shares,
versions by day) compared with a count of what was posted, and the page in
headless Chromium showing the same; screenshots at 1280 and 375 px
(dashboard-1280.png and dashboard-375.png in the build folder). A hostile
name and system text shown as text; a bad game, period or date refused.
The games' overview; the page's size for 50 versions over 90 days. The CSV
export, defused, and /healthz. With QV_TEST_PG_URL (with_pg.sh), the same
against PostgreSQL, the screenshots and the size aside."""
import csv
import html.parser
import io
import json
import os
import re
import subprocess
import tempfile
import time

import harness
from harness import Checks, Server, body, get, post

c = Checks()
work = harness.workdir()
build = os.environ.get("QV_BUILD_DIR", work)
pg = os.environ.get("QV_TEST_PG_URL")
db = pg or "sqlite:" + os.path.join(work, "stats.db")
clock = os.path.join(work, "clock")


def set_day(day):
    with open(clock, "w") as f:
        f.write("@%s 12:00:00\n" % day)
    time.sleep(0.05)


# The server's clock, moved day by day: libfaketime reads the file anew at
# every call.
set_day("2026-11-01")
os.environ.update({"LD_PRELOAD": "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                   "FAKETIME_TIMESTAMP_FILE": clock, "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                   "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"})
server = Server(db)
for name in ("LD_PRELOAD", "FAKETIME_TIMESTAMP_FILE", "FAKETIME_NO_CACHE", "FAKETIME_DONT_FAKE_MONOTONIC"):
    del os.environ[name]
c.check("the server starts, its clock at 2026-11-01", server.ready, server.output())

HOSTILE = "<script>document.title='pwned'</script><img src=x onerror=alert(1)>"
W7 = "Microsoft Windows 7 Ultimate Edition, 64-bit Service Pack 1 (build 7601)"
# (day, machine, version, osmajor, osminor, system, flash), posted in this
# order: not the order of the days.
REPORTS = [
    ("2026-11-14", "m3", "1.0", 6, 1, W7, ""),
    ("2026-11-21", "m6", "1.1", 6, 1, W7, ""),
    ("2026-11-08", "m1", "1.0", 6, 1, W7, ""),
    ("2026-11-09", "m2", "1.0", 5, 1, "Microsoft Windows XP Professional Service Pack 3 (build 2600)", ""),
    ("2026-11-14", "m3", "1.0", 6, 1, W7, ""),
    ("2026-11-15", "m1", "1.1", 6, 1, W7, ""),
    ("2026-11-12", "m6", "1.1", 6, 1, W7, "Adobe Flash Player 11 ActiveX"),
    ("2026-11-16", "m4", "1.1", 6, 1, HOSTILE, ""),
    ("2026-11-20", "m4", "1.1", 6, 1, HOSTILE, ""),
    ("2026-11-05", "m5", "1.0", 6, 1, W7, ""),
    ("2026-11-18", "m5", "1.1", 6, 1, W7, ""),
    ("2026-11-20", "m7", "2.0", 10, 0, "Microsoft Windows 10 Home China Edition, 64-bit (build 19045)", "32.0.0.371"),
]
for i, (day, guid, version, major, minor, system, flash) in enumerate(REPORTS):
    set_day(day)
    status = post(body(game=b"3", guid=guid.encode(), when=b"%d" % (100 + i), version=version.encode(),
                       osmajor=str(major).encode(), osminor=str(minor).encode(), system=system.encode("gbk"),
                       flash=flash.encode()))[0]
    c.check("posted %s of %s on %s" % (version, guid, day), status == 200)
set_day("2026-11-10")
post(body(game=b"7", guid=b"other"))
set_day("2026-11-20")
post(body(sign=b"0" * 32))  # one bad signature for the refusals table
named = subprocess.run([os.environ["QVSTATS"], "games", "--db", db, "set-name", "3", "星辰物语 " + HOSTILE],
                       capture_output=True, text=True)
c.check("a game is named", named.returncode == 0, named.stdout + named.stderr)
listed = subprocess.run([os.environ["QVSTATS"], "games", "--db", db, "list"], capture_output=True, text=True)
c.check("  and listed with its name, the unnamed one without", listed.returncode == 0 and
        sorted(listed.stdout.splitlines()) == sorted(["3\t星辰物语 " + HOSTILE, "7\t"]), listed.stdout + listed.stderr)


def expected(first, last):
    """The period's numbers, counted from what was posted."""
    rows = [r for r in REPORTS if first <= r[0] <= last]
    firsts = {}
    for r in REPORTS:
        firsts[r[1]] = min(firsts.get(r[1], r[0]), r[0])
    machines = len({r[1] for r in rows})
    versions = {}
    for r in rows:
        versions[r[2]] = versions.get(r[2], 0) + 1
    by_day = {}
    for r in rows:
        by_day[(r[0], r[2])] = by_day.get((r[0], r[2]), 0) + 1
    return {"reports": len(rows), "new_machines": len([g for g, d in firsts.items() if first <= d <= last]),
            "machines": machines, "reports_per_machine": round(len(rows) / machines, 2) if machines else 0,
            "versions": sorted([(v, n, round(100.0 * n / len(rows), 1)) for v, n in versions.items()]),
            "versions_by_day": sorted([(d, v, n) for (d, v), n in by_day.items()])}


status, answer, _ = get("/api/v1/summary?game=3&from=2026-11-14&to=2026-11-20")
api = json.loads(answer.split(b"\r\n\r\n", 1)[1]) if status == 200 else {}
want, before = expected("2026-11-14", "2026-11-20"), expected("2026-11-07", "2026-11-13")
c.check("the API for 2026-11-14 to 2026-11-20", status == 200 and api.get("from") == "2026-11-14" and
        api.get("name") == "星辰物语 " + HOSTILE, answer[:300])
got = {k: api.get(k) for k in ("reports", "new_machines", "machines", "reports_per_machine")}
c.check("  reports 7, new machines 3, unique machines 5 (one came back after a gap), 1.40 a machine",
        got == {"reports": 7, "new_machines": 3, "machines": 5, "reports_per_machine": 1.4} and
        got == {k: want[k] for k in got}, (got, want))
previous = api.get("previous", {})
c.check("  the previous period: 3 reports, 3 new, 3 machines (not the one away all of it)",
        previous.get("from") == "2026-11-07" and previous.get("to") == "2026-11-13" and
        {k: previous.get(k) for k in ("reports", "new_machines", "machines")} == {"reports": 3, "new_machines": 3, "machines": 3} and
        {k: previous.get(k) for k in ("reports", "new_machines", "machines")} == {k: before[k] for k in ("reports", "new_machines", "machines")},
        previous)
c.check("  the versions with their shares", sorted((v["version"], v["reports"], v["share"]) for v in api.get("versions", [])) ==
        want["versions"], api.get("versions"))
c.check("  the versions day by day", sorted((v["day"], v["version"], v["reports"]) for v in api.get("versions_by_day", [])) ==
        want["versions_by_day"], api.get("versions_by_day"))
c.check("  every day of the period", [d["day"] for d in api.get("days", [])] ==
        ["2026-11-%d" % d for d in range(14, 21)] and sum(d["reports"] for d in api["days"]) == 7)
systems = {(s["osmajor"], s["osminor"], s["system"]): (s["reports"], s["share"]) for s in api.get("systems", [])}
c.check("  the systems, the hostile text as it is", systems.get((6, 1, HOSTILE)) == (2, 28.6) and
        systems.get((10, 0, "Microsoft Windows 10 Home China Edition, 64-bit (build 19045)")) == (1, 14.3), systems)
c.check("  Flash", sorted((f["flash"], f["reports"]) for f in api.get("flash", [])) == [("", 6), ("32.0.0.371", 1)])
status, answer, _ = get("/api/v1/games?from=2026-11-14&to=2026-11-20")
games = json.loads(answer.split(b"\r\n\r\n", 1)[1]).get("games", []) if status == 200 else []
c.check("the API's games: both, with their counts", [(g["game"], g["reports"], g["machines"]) for g in games] ==
        [("3", 7, 5), ("7", 0, 0)] and games[0]["previous"]["reports"] == 3, games)
for query, what in (("game=none&from=2026-11-14&to=2026-11-20", "an unknown game"),
                    ("game=3&from=2026-11-20&to=2026-11-14", "a reversed period"),
                    ("game=3&from=2026-13-01&to=2026-11-14", "a malformed date"),
                    ("game=3&from=2026-02-30", "a day that is none")):
    status, answer, _ = get("/api/v1/summary?" + query)
    error = json.loads(answer.split(b"\r\n\r\n", 1)[1]).get("error") if b"{" in answer else None
    c.check("%s: 400 with a JSON error" % what, status == 400 and error, answer[-120:])
    c.check("  and on the page, 400", get("/?" + query)[0] == 400)
# The default period, 30 days back from to, starts no earlier than 1970.
status, answer, _ = get("/api/v1/summary?game=3&to=1970-01-10")
c.check("a period from 1970 when to lies in its first 30 days", status == 200 and
        json.loads(answer.split(b"\r\n\r\n", 1)[1]).get("from") == "1970-01-01", answer[-120:])

profile = tempfile.mkdtemp(prefix="chromium-")
url = "http://127.0.0.1:8080/?game=3&from=2026-11-14&to=2026-11-20"
flags = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile]
dom = subprocess.run(flags + ["--dump-dom", url], capture_output=True, text=True, timeout=120).stdout
c.check("Chromium rendered the page", "<table" in dom, dom[:200])


class Page(html.parser.HTMLParser):
    """The rendered document as the browser left it: cards by id, table
    cells by table id, every element's tag."""

    def __init__(self):
        super().__init__()
        self.cards, self.tables, self.tags, self.title = {}, {}, [], ""
        self.card = self.table = None
        self.cell = self.row = None
        self.in_value = self.in_title = self.in_h1 = False
        self.h1 = ""

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append(tag)
        if tag == "div" and a.get("class") == "card":
            self.card = a.get("id")
        if tag == "h1":
            self.in_h1 = True
        if tag == "div" and a.get("class") == "value":
            self.in_value = True
        if tag == "table":
            self.table = a.get("id")
            self.tables[self.table] = []
        if tag == "tr" and self.table:
            self.row = []
        if tag in ("td", "th") and self.row is not None:
            self.cell = ""
        if tag == "title" and not self.title:
            self.in_title = True

    def handle_endtag(self, tag):
        if tag == "div":
            self.in_value = False
        if tag in ("td", "th") and self.cell is not None:
            self.row.append(self.cell)
            self.cell = None
        if tag == "tr" and self.row is not None:
            self.tables[self.table].append(self.row)
            self.row = None
        if tag == "title":
            self.in_title = False
        if tag == "h1":
            self.in_h1 = False

    def handle_data(self, data):
        if self.in_value and self.card:
            self.cards[self.card] = data
        if self.cell is not None:
            self.cell += data
        if self.in_title:
            self.title += data
        if self.in_h1:
            self.h1 += data


page = Page()
page.feed(dom)
c.check("the page shows the API's numbers", page.cards == {"reports": "7", "new-machines": "3", "machines": "5",
                                                           "per-machine": "1.40"}, page.cards)
c.check("  the versions with their shares", page.tables.get("versions", [])[1:] ==
        [["1.1", "4", "57.1%"], ["1.0", "2", "28.6%"], ["2.0", "1", "14.3%"]], page.tables.get("versions"))
systems = page.tables.get("systems", [])[1:]
c.check("  the hostile system text shown as text", ["6.1", HOSTILE, "2", "28.6%"] in systems, systems)
c.check("  the hostile name shown as text", page.h1 == "Installations: 星辰物语 " + HOSTILE + " (3)", page.h1)
c.check("  and nothing of them ran", page.title == "Installations: 星辰物语 " + HOSTILE + " (3)" and "img" not in page.tags,
        page.title)
c.check("  refusals by reason", ["bad_signature", "1"] == page.tables.get("rejects", [[], ["", "", ""]])[1][1:],
        page.tables.get("rejects"))
c.check("  the change against the period before", "&#9650; 133.3%" in get(url[21:])[1].decode() or "▲ 133.3%" in dom)
c.check("  a bar with its day for each day, on round gridlines",
        dom.count('<rect class="bar"') == 7 and "<title>2026-11-14: 2 reports, 1 new machines</title>" in dom,
        dom.count('<rect class="bar"'))
c.check("  and each day's versions under the pointer", "<title>2026-11-20: 2 reports, 1.1 50.0%, 2.0 50.0%</title>" in dom,
        re.findall(r"<title>2026-11-20[^<]*</title>", dom))
for width, height in ((1280, 1800), (375, 3000)):
    if pg:
        break
    shot = os.path.join(build, "dashboard-%d.png" % width)
    subprocess.run(flags + ["--screenshot=" + shot, "--window-size=%d,%d" % (width, height), url], capture_output=True,
                   timeout=120)
    c.check("a screenshot %d px wide: %s" % (width, shot), os.path.exists(shot) and os.path.getsize(shot) > 10000)
status, overview, _ = get("/games?from=2026-11-14&to=2026-11-20")
c.check("the games' overview compares them, each linked to its page",
        status == 200 and b'<td><a href="/?game=3&amp;from=2026-11-14&amp;to=2026-11-20">\xe6\x98\x9f' in overview and
        b'">7</a></td>' in overview and b"\xe2\x96\xb2 +133.3%" in overview, overview[-1500:])

status, answer, _ = get("/export.csv?game=3")
rows = list(csv.reader(io.StringIO(answer.split(b"\r\n\r\n", 1)[1].decode("utf-8"))))
c.check("the export has the header and the game's 12 reports", status == 200 and len(rows) == 13 and
        rows[0] == ["received_at", "game_id", "version", "guid", "client_time", "osmajor", "osminor", "system", "flash",
                    "source"] and all(r[9] == "127.0.0.1" for r in rows[1:]),
        rows[:2])
c.check("  quoted where needed, in UTF-8", any(r[7] == W7 for r in rows[1:]))
status, answer, _ = get("/export.csv")
everything = list(csv.reader(io.StringIO(answer.split(b"\r\n\r\n", 1)[1].decode("utf-8"))))
c.check("all games when none is given", status == 200 and len(everything) == 14, len(everything))
c.check("a bad date: 400", get("/export.csv?from=yesterday")[0] == 400)

# Texts a spreadsheet would run: defused in every cell, given back whole by
# a CSV reader less the quote; ?raw=1 leaves them live (for programs only).
formulas = ["=HYPERLINK(\"http://x\",\"y\")", "=cmd|' /C calc'!A0", "+1+1", "-2+3", "@SUM(1)", "\tx", "\rtab"]
for i, text in enumerate(formulas):
    post(body(game=b"csv", guid=b"f%d" % i, version=text.encode(), system=text.encode(), flash=text.encode()))
status, answer, _ = get("/export.csv?game=csv")
rows = list(csv.reader(io.StringIO(answer.split(b"\r\n\r\n", 1)[1].decode("utf-8"), newline="")))[1:]
cells = [cell for r in rows for cell in (r[2], r[7], r[8])]
c.check("formula-like cells start with a quote", len(rows) == len(formulas) and all(cell.startswith("'") for cell in cells),
        cells[:3])
c.check("  and read back as stored, less the quote", sorted(r[7][1:] for r in rows) == sorted(formulas))
status, answer, _ = get("/export.csv?game=csv&bom=1")
c.check("?bom=1 starts with EF BB BF", answer.split(b"\r\n\r\n", 1)[1].startswith(b"\xef\xbb\xbfreceived_at,"))
status, answer, _ = get("/export.csv?game=csv&raw=1")
raw = list(csv.reader(io.StringIO(answer.split(b"\r\n\r\n", 1)[1].decode("utf-8"), newline="")))[1:]
c.check("?raw=1 keeps them live: unsafe to open in a spreadsheet", sorted(r[7] for r in raw) == sorted(formulas))
c.check("/healthz: the database answers", get("/healthz")[0] == 200)
c.check("the dashboard is not on the public listener", post(b"", path="/", method="GET")[0] == 404)
server.stop()
harness.remove(profile)

if pg:
    harness.remove(work)
    c.finish()
# 50 versions over 90 days: the page stays small and quick.
big = "sqlite:" + os.path.join(work, "big.db")
bodies = b"".join(body(game=b"3", guid=b"b%d" % i, when=b"%d" % i, version=b"1.%d" % (i % 50)) + b"\n" for i in range(9000))
fill = subprocess.run([os.path.join(build, "qvfill"), big, "9000", "--days", "90"], input=bodies, capture_output=True)
c.check("9,000 reports of 50 versions over 90 days", fill.returncode == 0, fill.stderr)
server = Server(big)
today = time.strftime("%Y-%m-%d")
start = time.strftime("%Y-%m-%d", time.localtime(time.time() - 89 * 86400))
t0 = time.time()
status, answer, _ = get("/?game=3&from=%s&to=%s" % (start, today))
seconds = time.time() - t0
size = len(answer.split(b"\r\n\r\n", 1)[1])
print("figures: the page of 50 versions over 90 days: %d bytes in %.3f s" % (size, seconds), flush=True)
c.check("  its page under 100 KB", status == 200 and size < 100000, size)
server.stop()
harness.remove(work)
c.finish()
