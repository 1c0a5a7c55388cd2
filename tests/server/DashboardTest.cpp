#include <gtest/gtest.h>

#include <string>

#include "server/Csv.h"
#include "server/Dashboard.h"
#include "server/Days.h"
#include "server/Log.h"
#include "server/Options.h"
#include "server/Page.h"

using namespace Quorvel;

namespace {

TEST(DashboardTest, TextsFromReportsAreEscapedAndQuoted) {
    EXPECT_EQ("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;", HtmlEscape("<script>alert(\"x\")</script> & '"));
    const struct {
        const char* in;
        const char* out;
    } csv[] = {{"plain", "plain"}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""}, {"two\r\nlines", "\"two\r\nlines\""},
               {"", ""}, {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""}, {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
               {"+1", "'+1"}, {"-5", "'-5"}, {"@SUM(A1)", "'@SUM(A1)"}, {"\tx", "'\tx"}, {"\rx", "\"'\rx\""},
               {"a=1", "a=1"}};
    for (const auto& c : csv) EXPECT_EQ(c.out, CsvField(c.in)) << c.in;
    EXPECT_EQ("=1+1", CsvField("=1+1", false));  // ?raw=1
}

TEST(DashboardTest, ThePageShowsThePeriodTheTopRowsWithSharesAndNothingFromElsewhere) {
    QVDashboardData d;
    d.games = {"3", "<b>7</b>"};
    d.names = {{"3", "星辰 <script>x</script>"}};
    d.hasGame = true;
    d.game = "3";
    d.today = d.to = "2026-12-09";
    d.from = "2026-11-10";
    d.previousFrom = "2026-10-11";
    d.previousTo = "2026-11-09";
    d.totals.reports = 1300;
    d.totals.machines = 520;
    d.totals.newMachines = 500;
    d.previous.reports = 1000;
    d.previous.machines = 520;
    d.days = {{"2026-12-08", 1, 1}, {"2026-12-09", 4, 1}};
    // 50 of 70 values shown; the other 20 and the values beyond the cap add
    // up to the rest of the period's reports.
    for (int i = 0; i < 50; ++i) d.systems.rows.push_back({"6.1\tsystem " + std::to_string(i), 25});
    d.systems.rows.back().value = "6.2\t<script>alert(1)</script>";
    d.systems.values = 70;
    d.systems.other = 40;
    d.versions.rows = {{"1.0.0.0", 975}, {"1.1.0.0", 325}};
    d.versions.values = 2;
    d.versionsByDay = {{"2026-12-08", "1.0.0.0", 1, false}, {"2026-12-09", "1.1.0.0", 3, false}, {"2026-12-09", "", 1, true}};
    d.flash.rows = {{"", 1300}};
    d.flash.values = 1;
    d.held = {{"127.1.0.9", 880, 1796774400, 1796774410}};
    const std::string html = RenderDashboard(d);
    EXPECT_NE(std::string::npos, html.find("system 48"));
    EXPECT_NE(std::string::npos, html.find("<td>(other values)</td><td></td><td class=\"n\">50</td><td class=\"n\">3.8%</td>"));
    EXPECT_NE(std::string::npos, html.find("<td>1.0.0.0</td><td class=\"n\">975</td><td class=\"n\">75.0%</td>"));
    EXPECT_NE(std::string::npos, html.find("all 70 values</a>"));
    EXPECT_EQ(std::string::npos, html.find("all 2 values"));
    EXPECT_NE(std::string::npos, html.find("&#9650; 30.0%"));  // reports against the period before
    EXPECT_NE(std::string::npos, html.find("= 0.0%"));         // machines: the same
    EXPECT_NE(std::string::npos, html.find("no earlier period"));  // new machines: nothing to compare
    EXPECT_NE(std::string::npos, html.find("2026-11-10 to 2026-12-09 (30 days)"));
    EXPECT_NE(std::string::npos, html.find("<td>127.1.0.9</td>"));
    EXPECT_NE(std::string::npos, html.find("bom=1"));  // the export for Excel
    EXPECT_NE(std::string::npos, html.find("星辰 &lt;script&gt;x&lt;/script&gt; (3)"));
    EXPECT_NE(std::string::npos, html.find("&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_EQ(std::string::npos, html.find("<script"));
    EXPECT_NE(std::string::npos, html.find("&lt;b&gt;7&lt;/b&gt;"));
    EXPECT_NE(std::string::npos, html.find("<title>2026-12-09: 4 reports, 1 new machines</title>"));
    // The adoption chart: each day's shares under the pointer, and its days under it too.
    EXPECT_NE(std::string::npos, html.find("<title>2026-12-09: 4 reports, 1.1.0.0 75.0%, other versions 25.0%</title>"));
    EXPECT_NE(std::string::npos, html.find("<title>2026-12-08: 1 reports, 1.0.0.0 100.0%</title>"));
    EXPECT_NE(std::string::npos, html.find("<text x=\"575.0\" y=\"222\" class=\"tick\" text-anchor=\"middle\">12-09</text>"));
    EXPECT_NE(std::string::npos, html.find("<text x=\"575.0\" y=\"192\" class=\"tick\" text-anchor=\"middle\">12-09</text>"));
    EXPECT_NE(std::string::npos, html.find("<caption>"));
    EXPECT_EQ(std::string::npos, html.find("http://"));   // no external scripts, fonts or styles
    EXPECT_EQ(std::string::npos, html.find("https://"));
    EXPECT_NE(std::string::npos, html.find(">2.50<"));    // reports per machine
    // A game without an id is a game all the same, not "no reports".
    d.game = "";
    d.games = {""};
    EXPECT_EQ(std::string::npos, RenderDashboard(d).find("No reports yet"));
}

TEST(DashboardTest, RoundGridlinesSharesAndChanges) {
    const struct {
        int64_t most;
        std::vector<int64_t> lines;
    } grids[] = {
        {1, {0, 1, 2}}, {3, {0, 1, 2, 3}}, {4, {0, 1, 2, 3, 4}}, {7, {0, 2, 4, 6, 8}}, {10, {0, 5, 10}},
        {37, {0, 10, 20, 30, 40}}, {101, {0, 50, 100, 150}}, {1999, {0, 500, 1000, 1500, 2000}},
    };
    for (const auto& g : grids) EXPECT_EQ(g.lines, Gridlines(g.most)) << g.most;
    EXPECT_EQ("33.3", Share(1, 3));
    EXPECT_EQ("0.0", Share(0, 0));
    EXPECT_EQ("+50.0", Change(3, 2));
    EXPECT_EQ("-25.0", Change(3, 4));
    EXPECT_EQ("", Change(3, 0));
}

TEST(DashboardTest, DatesAndRanges) {
    const std::vector<std::string> days = LastDays(1796795383, 30);
    ASSERT_EQ(30u, days.size());
    EXPECT_LT(days.front(), days.back());
    int64_t from = 0, to = 0;
    ASSERT_TRUE(DayRange("2026-12-01", "2026-12-01", &from, &to));
    EXPECT_EQ(86400, to - from);  // one whole local day (TZ=UTC0 in the test)
    ASSERT_TRUE(DayRange("", "", &from, &to));
    EXPECT_EQ(0, from);
    for (const char* bad : {"2026-13-01", "2026-02-30", "2026-1-01", "yesterday", "2026-12-01x", "+026-12-01"}) {
        EXPECT_FALSE(DayRange(bad, "", &from, &to)) << bad;
    }
    int64_t start = 0;
    ASSERT_TRUE(DayStart("2026-12-09", &start));
    EXPECT_EQ("2026-12-09", LocalDay(start));
    EXPECT_EQ("2026-12-08", LocalDay(start - 1));
    // The next 03:00: later the same day, or the next one.
    EXPECT_EQ(start + 3 * 3600, NextLocalTime(start + 60, 3, 0));
    EXPECT_EQ(start + 86400 + 3 * 3600, NextLocalTime(start + 3 * 3600, 3, 0));
    EXPECT_EQ("2026-12-09T00:00:00+00:00", Iso8601(start));
    EXPECT_EQ("2026-12-09T08:00:00+08:00", ZoneWithColon("2026-12-09T08:00:00+0800"));
    EXPECT_EQ("2026-12-09T00:00:00.250-03:30", ZoneWithColon("2026-12-09T00:00:00.250-0330"));
}

TEST(DashboardTest, QueriesAreDecoded) {
    std::map<std::string, std::string> q = QueryOf("/export.csv?game=%E6%98%9F%E8%BE%B0&from=2026-12-01&to=&x&bad=%zz+1");
    EXPECT_EQ("\xE6\x98\x9F\xE8\xBE\xB0", q["game"]);
    EXPECT_EQ("2026-12-01", q["from"]);
    EXPECT_EQ("", q["to"]);
    EXPECT_EQ(1u, q.count("x"));
    EXPECT_EQ("%zz 1", q["bad"]);
    EXPECT_TRUE(QueryOf("/").empty());
}

TEST(LogTest, OneLineWithTimeAndLevel) {
    // 2026-12-09 00:00:00.250 UTC (TZ=UTC0 in the test)
    EXPECT_EQ("2026-12-09T00:00:00.250+00:00 warning database down: x",
              LogLine(kLogWarning, 1796774400LL * 1000000 + 250000, "database down: x"));
    EXPECT_EQ("could not connect to server: Connection refused Is the server running?",
              OneLine("could not connect to server: Connection refused\n\tIs the server running?\n"));
}

TEST(OptionsTest, CommandLine) {
    std::string address, error;
    uint16_t port = 0;
    EXPECT_TRUE(ParseEndpoint("0.0.0.0:80", &address, &port));
    EXPECT_EQ(80, port);
    EXPECT_TRUE(ParseEndpoint("[::1]:8080", &address, &port));
    EXPECT_EQ("::1", address);
    for (const char* bad : {"80", ":80", "host:", "host:0", "host:65536", "host:8x"}) EXPECT_FALSE(ParseEndpoint(bad, &address, &port)) << bad;
    QVServerOptions o;
    char* good[] = {(char*)"--db", (char*)"sqlite:/tmp/x.db", (char*)"--listen", (char*)"127.0.0.1:8081", (char*)"--queue", (char*)"9"};
    ASSERT_TRUE(ParseServeOptions(6, good, &o, &error)) << error;
    EXPECT_EQ("sqlite:/tmp/x.db", o.db);
    EXPECT_EQ(8081, o.listenPort);
    EXPECT_EQ(9u, o.queue);
    EXPECT_EQ("127.0.0.1", o.dashboardAddress);  // never the public listener unless asked
    char* unknown[] = {(char*)"--frobnicate", (char*)"1"};
    EXPECT_FALSE(ParseServeOptions(2, unknown, &o, &error));
    EXPECT_NE(std::string::npos, error.find("--frobnicate"));
    char* missing[] = {(char*)"--db"};
    EXPECT_FALSE(ParseServeOptions(1, missing, &o, &error));
    char* zero[] = {(char*)"--max-connections", (char*)"0"};
    EXPECT_FALSE(ParseServeOptions(2, zero, &o, &error));
    // A flag in the middle takes no value; the spool is PostgreSQL's by
    // default, and can be had or left off for either.
    QVServerOptions pg;
    char* flags[] = {(char*)"--access-log", (char*)"--db", (char*)"postgresql://db/stats", (char*)"--keep-days", (char*)"90"};
    ASSERT_TRUE(ParseServeOptions(5, flags, &pg, &error)) << error;
    EXPECT_TRUE(pg.accessLog);
    EXPECT_EQ(90, pg.keepDays);
    EXPECT_EQ("qvstats-spool.db", SpoolPath(pg));
    pg.spool = "off";
    EXPECT_EQ("", SpoolPath(pg));
    EXPECT_EQ("", SpoolPath(QVServerOptions()));
    QVToolOptions tool;
    char* prune[] = {(char*)"--db", (char*)"sqlite:x.db"};
    EXPECT_FALSE(ParseToolOptions("prune", 2, prune, &tool, &error));
    EXPECT_NE(std::string::npos, error.find("--before")) << error;
    EXPECT_FALSE(ParseToolOptions("purge", 2, prune, &tool, &error));  // never every report
    char* purge[] = {(char*)"--db", (char*)"sqlite:x.db", (char*)"--dry-run", (char*)"--source", (char*)"::ffff:10.0.0.1"};
    ASSERT_TRUE(ParseToolOptions("purge", 5, purge, &tool, &error)) << error;
    EXPECT_TRUE(tool.dryRun);
    EXPECT_EQ("10.0.0.1", tool.source);  // as the server stores it
    // A source, a date or a period that matches nothing by mistake is refused,
    // not run as a purge or release of nothing.
    const struct {
        const char* command;
        std::vector<std::string> args;
        const char* source;  // what is kept; null: refused
    } tools[] = {
        {"release", {"--source", "[::1]"}, "::1"},
        {"release", {"--source", "h:0123456789abcdef"}, "h:0123456789abcdef"},
        {"release", {"--source", "bogus"}, nullptr},
        {"release", {"--source", " 127.0.0.2 "}, "127.0.0.2"},
        {"purge", {"--game", "3", "--from", "2026-12-31", "--to", "2026-01-01"}, nullptr},
        {"purge", {"--game", "3", "--from", "2026-13-01"}, nullptr},
        {"prune", {"--before", "2026-02-30"}, nullptr},
        {"prune", {"--before", "2026-02-28"}, ""},
        {"backup", {"--to", "copy.db"}, ""},  // a file, not a date
    };
    for (const auto& t : tools) {
        std::vector<std::string> args = {"--db", "sqlite:x.db"};
        args.insert(args.end(), t.args.begin(), t.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        QVToolOptions o;
        const bool parsed = ParseToolOptions(t.command, static_cast<int>(argv.size()), argv.data(), &o, &error);
        EXPECT_EQ(t.source != nullptr, parsed) << t.command << " " << args[3] << ": " << error;
        if (parsed) EXPECT_EQ(t.source, o.source) << args[3];
    }
    char* limits[] = {(char*)"--source-rate", (char*)"0", (char*)"--trust-proxy", (char*)"10.0.0.1,::ffff:10.0.0.2",
                      (char*)"--hash-sources"};
    QVServerOptions l;
    ASSERT_TRUE(ParseServeOptions(5, limits, &l, &error)) << error;
    EXPECT_EQ(0, l.sourceRate);
    EXPECT_TRUE(l.hashSources);
    EXPECT_EQ(std::vector<std::string>({"10.0.0.1", "10.0.0.2"}), l.trustedProxies);
    char* badProxy[] = {(char*)"--trust-proxy", (char*)"proxy.example.com"};
    EXPECT_FALSE(ParseServeOptions(2, badProxy, &l, &error));
    for (const char* good : {"星辰物语", "Star & <b>", "ok"}) EXPECT_TRUE(IsUtf8Text(good)) << good;
    for (const char* bad : {"\xD0\xC7\xB3\xBD" /* GBK */, "a\nb", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE6\x98",
                            "a\xC2\x85" "b" /* next line */, "\xE2\x80\xAE" "evil" /* right-to-left override */}) {
        EXPECT_FALSE(IsUtf8Text(bad)) << bad;
    }
}

}  // namespace
