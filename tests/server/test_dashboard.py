#!/usr/bin/env python3
"""The dashboard in a real browser: headless Chromium loads the page after
known reports were posted; the rendered numbers and tables are checked, a
hostile system text must be shown as text, and a screenshot is kept
(dashboard.png in the build folder). Also the CSV export and /healthz."""
import csv
import html.parser
import io
import os
import subprocess
import tempfile

import harness
from harness import Checks, Server, body, get, post

c = Checks()
work = harness.workdir()
server = Server("sqlite:" + os.path.join(work, "stats.db"))
c.check("the server starts", server.ready, server.output())

HOSTILE = "<script>document.title='pwned'</script><img src=x onerror=alert(1)>"
reports = [  # machine, time, version, system, flash
    (b"m1", b"1", b"1.0.0.0", "Microsoft Windows 7 Ultimate Edition, 64-bit Service Pack 1 (build 7601)", ""),
    (b"m1", b"2", b"1.0.1.0", "Microsoft Windows 7 Ultimate Edition, 64-bit Service Pack 1 (build 7601)", ""),
    (b"m2", b"1", b"1.0.1.0", "Microsoft Windows XP Professional Service Pack 3 (build 2600)", "Adobe Flash Player 11 ActiveX"),
    (b"m3", b"1", b"1.0.1.0", HOSTILE, ""),
]
for guid, when, version, system, flash in reports:
    status = post(body(game="星辰".encode("gbk"), guid=guid, when=when, version=version, system=system.encode("gbk"),
                       flash=flash.encode("gbk"), osmajor=b"5" if "XP" in system else b"6",
                       osminor=b"1"))[0]
    c.check("posted %s %s" % (guid.decode(), version.decode()), status == 200)
post(body(game=b"7", guid=b"m9"))
post(body(sign=b"0" * 32))  # one bad signature for the refusals table

profile = tempfile.mkdtemp(prefix="chromium-")
url = "http://127.0.0.1:8080/?game=%E6%98%9F%E8%BE%B0"
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
        self.in_value = self.in_title = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append(tag)
        if tag == "div" and a.get("class") == "card":
            self.card = a.get("id")
        if tag == "div" and a.get("class") == "value":
            self.in_value = True
        if tag == "table":
            self.table = a.get("id")
            self.tables[self.table] = []
        if tag == "tr" and self.table:
            self.row = []
        if tag in ("td", "th") and self.row is not None:
            self.cell = ""
        if tag == "title":
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

    def handle_data(self, data):
        if self.in_value and self.card:
            self.cards[self.card] = data
        if self.cell is not None:
            self.cell += data
        if self.in_title:
            self.title += data


page = Page()
page.feed(dom)
c.check("cards: 4 reports today, 3 new machines today, 3 machines, 1.33 reports per machine",
        page.cards == {"reports-today": "4", "new-machines-today": "3", "machines": "3", "per-machine": "1.33"}, page.cards)
c.check("the version table", page.tables.get("versions", [])[1:] == [["1.0.1.0", "3"], ["1.0.0.0", "1"]],
        page.tables.get("versions"))
systems = page.tables.get("systems", [])[1:]
c.check("the operating-system table, every system", sorted(r[0] for r in systems) == ["5.1", "6.1", "6.1"] and
        ["6.1", "Microsoft Windows 7 Ultimate Edition, 64-bit Service Pack 1 (build 7601)", "2"] in systems, systems)
c.check("the hostile system text is shown as text", ["6.1", HOSTILE, "1"] in systems)
c.check("  and ran nothing", "pwned" not in page.title and "img" not in page.tags, page.title)
c.check("the Flash table", page.tables.get("flash", [])[1:] == [["(none)", "3"], ["Adobe Flash Player 11 ActiveX", "1"]],
        page.tables.get("flash"))
c.check("refusals by reason", ["bad_signature", "1"] == page.tables.get("rejects", [[], ["", "", ""]])[1][1:],
        page.tables.get("rejects"))
c.check("the game picker has both games", dom.count("<option") == 2)
c.check("the chart is inline SVG with 30 days", dom.count("<rect") == 30 and "<svg" in dom)
shot = os.path.join(os.environ.get("QV_BUILD_DIR", work), "dashboard.png")
subprocess.run(flags + ["--screenshot=" + shot, "--window-size=1000,1400", url], capture_output=True, timeout=120)
c.check("a screenshot is kept: " + shot, os.path.getsize(shot) > 10000 if os.path.exists(shot) else False)

status, answer, _ = get("/export.csv?game=%E6%98%9F%E8%BE%B0")
rows = list(csv.reader(io.StringIO(answer.split(b"\r\n\r\n", 1)[1].decode("utf-8"))))
c.check("the export has the header and the game's 4 reports", status == 200 and len(rows) == 5 and
        rows[0] == ["received_at", "game_id", "version", "guid", "client_time", "osmajor", "osminor", "system", "flash",
                    "source"] and all(r[9] == "127.0.0.1" for r in rows[1:]),
        rows[:2])
c.check("  quoted where needed, in UTF-8", any(r[1] == "星辰" and r[7].startswith("Microsoft Windows 7 Ultimate Edition, 64-bit")
                                                for r in rows[1:]))
status, answer, _ = get("/export.csv")
everything = list(csv.reader(io.StringIO(answer.split(b"\r\n\r\n", 1)[1].decode("utf-8"))))
c.check("all games when none is given", status == 200 and len(everything) == 6, len(everything))
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
harness.remove(work)
harness.remove(profile)
c.finish()
