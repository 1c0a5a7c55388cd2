#include <gtest/gtest.h>

#include <string>

#include "server/Dashboard.h"
#include "server/Options.h"

using namespace Quorvel;

namespace {

TEST(DashboardTest, TextsFromReportsAreEscapedAndQuoted) {
    EXPECT_EQ("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;", HtmlEscape("<script>alert(\"x\")</script> & '"));
    const struct {
        const char* in;
        const char* out;
    } csv[] = {{"plain", "plain"}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""}, {"two\r\nlines", "\"two\r\nlines\""},
               {"", ""}};
    for (const auto& c : csv) EXPECT_EQ(c.out, CsvField(c.in)) << c.in;
}

TEST(DashboardTest, ThePageShowsEveryRowAndNothingFromElsewhere) {
    QVDashboardData d;
    d.games = {"3", "<b>7</b>"};
    d.game = "3";
    d.today = "2026-12-09";
    d.summary.reports = 5;
    d.summary.machines = 2;
    d.summary.reportsToday = 4;
    d.summary.newMachinesToday = 1;
    d.days = {{"2026-12-08", 1, 1}, {"2026-12-09", 4, 1}};
    for (int i = 0; i < 40; ++i) d.systems.push_back({"6.1\tsystem " + std::to_string(i), 40 - i});
    d.versions = {{"1.0.0.0", 5}};
    d.flash = {{"", 5}};
    d.systems.push_back({"6.2\t<script>alert(1)</script>", 1});
    const std::string html = RenderDashboard(d);
    EXPECT_NE(std::string::npos, html.find("system 39"));  // no top-N cut
    EXPECT_NE(std::string::npos, html.find("&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_EQ(std::string::npos, html.find("<script"));
    EXPECT_NE(std::string::npos, html.find("&lt;b&gt;7&lt;/b&gt;"));
    EXPECT_NE(std::string::npos, html.find("<svg"));
    EXPECT_EQ(std::string::npos, html.find("http://"));   // no external scripts, fonts or styles
    EXPECT_EQ(std::string::npos, html.find("https://"));
    EXPECT_NE(std::string::npos, html.find(">2.50<"));    // reports per machine
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
    EXPECT_FALSE(DayRange("2026-13-01", "", &from, &to));
    EXPECT_FALSE(DayRange("yesterday", "", &from, &to));
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
}

}  // namespace
