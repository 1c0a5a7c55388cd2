// Both stores on real databases: SQLite in a file of the test's own, and
// PostgreSQL when QV_TEST_PG_URL names one (tests/server/with_pg.sh starts
// one for the test; its tables are dropped before each case).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "server/Counting.h"
#include "server/Days.h"
#include "server/PgStore.h"
#include "server/SqliteStore.h"

using namespace Quorvel;

namespace {

const char kTables[] = "meta, texts, reports, machines, daily, machine_last, machine_gaps, breakdown, breakdown_days, "
                       "games, names, rejects";

class StoreTest : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        char folder[] = "/tmp/qvstore-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        m_folder = folder;
        if (std::string(GetParam()) == "sqlite") {
            m_url = "sqlite:" + m_folder + "/stats.db";
        } else {
            const char* url = getenv("QV_TEST_PG_URL");
            if (url == nullptr) GTEST_SKIP() << "no PostgreSQL (tests/server/with_pg.sh starts one)";
            m_url = url;
            QVPgConnection conn(m_url, 5000);
            ASSERT_TRUE(conn.Connect()) << conn.Error();
            ASSERT_TRUE(conn.Exec((std::string("DROP TABLE IF EXISTS ") + kTables).c_str()).ok()) << conn.Error();
        }
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + m_folder + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << m_folder;
    }
    std::unique_ptr<QVStore> Open(size_t cap = 1000) {
        QVStoreOptions options;
        options.breakdownCap = cap;
        options.now = [this] { return m_now; };
        std::string error;
        std::unique_ptr<QVStore> store = OpenStore(m_url, &error, options);
        EXPECT_TRUE(store && store->Prepare(&error)) << error;
        return store;
    }
    // A report of game 3 from machine guid, on a day (at noon, UTC in the
    // test), with a client time of its own.
    static QVReportRow Row(const std::string& guid, const std::string& day, const std::string& time,
                           const std::string& version = "1.0") {
        QVReportRow r;
        int64_t start = 0;
        DayStart(day, &start);
        r.receivedAt = start + 43200;
        r.day = day;
        r.gameId = "3";
        r.version = version;
        r.guid = guid;
        r.clientTime = time;
        r.osMajor = 6;
        r.osMinor = 1;
        r.system = "Windows 7 & x=y";
        r.sign = "0123456789ABCDEF0123456789ABCDEF";
        r.body = "game_id=3&...";
        r.source = "198.51.100.4";
        return r;
    }
    static bool Write(QVStore& store, const std::vector<QVReportRow>& rows, std::vector<bool>* inserted = nullptr) {
        std::vector<bool> ignored;
        std::string error;
        const bool ok = store.WriteBatch(rows, {}, inserted != nullptr ? inserted : &ignored, nullptr, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    static QVPeriodTotals Totals(QVStore& store, const std::string& from, const std::string& to) {
        QVPeriodTotals t;
        EXPECT_TRUE(store.Totals("3", from, to, &t));
        return t;
    }
    // The stores' clock: noon of a day.
    void SetDay(int day) {
        DayStart(DayText(day), &m_now);
        m_now += 43200;
    }
    // The first column of a query's first row, as text.
    std::string One(const char* sql) {
        if (std::string(GetParam()) == "sqlite") {
            QVSqliteDb db(m_url.substr(7), 1 /* SQLITE_OPEN_READONLY */);
            QVSqliteStatement query(db, sql);
            return query.Step() == 100 /* SQLITE_ROW */ ? query.Text(0) : "(none)";
        }
        QVPgConnection conn(m_url, 5000);
        return conn.Connect() ? conn.Exec(sql).Text(0, 0) : "(none)";
    }
    int64_t TextCount() { return strtoll(One("SELECT count(*) FROM texts").c_str(), nullptr, 10); }
    bool Sql(const std::string& sql) {
        if (std::string(GetParam()) == "sqlite") return QVSqliteDb(m_url.substr(7), 2 /* SQLITE_OPEN_READWRITE */).Exec(sql);
        QVPgConnection conn(m_url, 5000);
        return conn.Connect() && conn.Exec(sql.c_str()).ok();
    }
    std::string m_folder, m_url;
    int64_t m_now = static_cast<int64_t>(time(nullptr));
};

TEST_P(StoreTest, ReplaysCountOnceAndMachinesCountTheirReports) {
    auto store = Open();
    std::vector<bool> inserted;
    // A report, its replay in the same batch and in a later one, the same
    // machine's second installation, another machine.
    ASSERT_TRUE(Write(*store, {Row("m1", "2026-12-09", "100"), Row("m1", "2026-12-09", "100")}, &inserted));
    EXPECT_EQ(std::vector<bool>({true, false}), inserted);
    std::string error;
    ASSERT_TRUE(store->WriteBatch({Row("m1", "2026-12-09", "100"), Row("m1", "2026-12-09", "200", "1.1"),
                                   Row("m2", "2026-12-09", "100")},
                                  {QVRejectCount{"2026-12-09", "bad_signature", 2}}, &inserted, nullptr, &error))
        << error;
    EXPECT_EQ(std::vector<bool>({false, true, true}), inserted);
    const QVPeriodTotals t = Totals(*store, "2026-12-09", "2026-12-09");
    EXPECT_EQ(3, t.reports);
    EXPECT_EQ(2, t.newMachines);
    EXPECT_EQ(2, t.machines);
    QVBreakdownPage versions;
    ASSERT_TRUE(store->Breakdown("3", "version", "2026-12-01", "2026-12-31", false, 0, 50, &versions));
    ASSERT_EQ(2u, versions.rows.size());
    EXPECT_EQ("1.0", versions.rows[0].value);
    EXPECT_EQ(2, versions.rows[0].reports);
    QVBreakdownPage systems;
    ASSERT_TRUE(store->Breakdown("3", "os", "2026-12-01", "2026-12-31", false, 0, 50, &systems));
    ASSERT_EQ(1u, systems.rows.size());
    EXPECT_EQ("6.1\tWindows 7 & x=y", systems.rows[0].value);
    std::vector<QVRejectCount> rejects;
    ASSERT_TRUE(store->Rejects("2026-12-01", "2026-12-31", &rejects));
    ASSERT_EQ(1u, rejects.size());
    EXPECT_EQ(2, rejects[0].count);
    // The export in pages: each starts after the last row of the one before.
    std::vector<QVReportRow> page;
    QVExportPlace after;
    ASSERT_TRUE(store->ExportPage("", 0, INT64_MAX, false, after, 2, &page));
    ASSERT_EQ(2u, page.size());
    EXPECT_EQ("198.51.100.4", page[0].source);
    after.receivedAt = page.back().receivedAt;
    after.id = page.back().id;
    ASSERT_TRUE(store->ExportPage("", 0, INT64_MAX, false, after, 2, &page));
    ASSERT_EQ(1u, page.size());
    ASSERT_TRUE(store->ExportPage("7", 0, INT64_MAX, false, QVExportPlace(), 2, &page));
    EXPECT_TRUE(page.empty());
}

// A machine's times make a replay: after its report is pruned, and until
// a purge lets the report go. A machine with more reports than a player's
// has its further ones held.
TEST_P(StoreTest, AMachineKnowsItsReportsAfterAPruneAndBeyondItsCapHoldsThem) {
    auto store = Open();
    std::string error;
    int64_t deleted = 0, until = 0, from = 0, to = 0;
    ASSERT_TRUE(Write(*store, {Row("m1", "2026-12-01", "100")}));
    ASSERT_TRUE(DayStart("2026-12-05", &until));
    ASSERT_TRUE(store->Prune(until, 100, &deleted, &error)) << error;
    EXPECT_EQ(1, deleted);
    std::vector<bool> inserted;
    ASSERT_TRUE(Write(*store, {Row("m1", "2026-12-09", "100")}, &inserted));
    EXPECT_EQ(std::vector<bool>({false}), inserted);

    ASSERT_TRUE(Write(*store, {Row("m2", "2026-12-10", "7")}));
    ASSERT_TRUE(DayStart("2026-12-10", &from) && DayStart("2026-12-11", &to));
    QVPurgeFilter filter;
    filter.from = from;
    filter.to = to;
    QVPurgeResult purged;
    ASSERT_TRUE(store->Purge(filter, false, &purged, &error)) << error;
    EXPECT_EQ(1, purged.reports);
    ASSERT_TRUE(Write(*store, {Row("m2", "2026-12-10", "7")}, &inserted));
    EXPECT_EQ(std::vector<bool>({true}), inserted);

    std::vector<QVReportRow> many;
    for (size_t i = 1; i < kMachineTimes; ++i) many.push_back(Row("m1", "2026-12-09", std::to_string(1000 + i)));
    ASSERT_TRUE(Write(*store, many));
    EXPECT_EQ(static_cast<int64_t>(kMachineTimes), Totals(*store, "2026-12-01", "2026-12-09").reports);
    // Beyond the cap: stored, held, and a replay of it stored again.
    ASSERT_TRUE(Write(*store, {Row("m1", "2026-12-09", "5000")}, &inserted));
    ASSERT_TRUE(Write(*store, {Row("m1", "2026-12-09", "5000")}, &inserted));
    EXPECT_EQ(std::vector<bool>({true}), inserted);
    EXPECT_EQ(static_cast<int64_t>(kMachineTimes), Totals(*store, "2026-12-01", "2026-12-09").reports);
    std::vector<QVHeldSource> held;
    ASSERT_TRUE(store->Held(10, &held));
    ASSERT_EQ(1u, held.size());
    EXPECT_EQ(2, held[0].reports);
}

// A report held beyond its machine's cap has no time of its own, so its
// replay is held too: a release keeps one copy, and counts it once a purge
// has made room (machine a). A replay counted meanwhile owns the time, and a
// purge of the held copy leaves it that (machine b).
TEST_P(StoreTest, AReportHeldBeyondItsMachinesCapCountsOnceWhateverComesFirst) {
    auto store = Open();
    for (const char* m : {"a", "b"}) {
        std::vector<QVReportRow> full = {Row(m, "2026-12-01", "1")};
        for (size_t i = 1; i < kMachineTimes; ++i) full.push_back(Row(m, "2026-12-02", std::to_string(1 + i)));
        ASSERT_TRUE(Write(*store, full));
        const char* day = *m == 'a' ? "2026-12-03" : "2026-12-06";
        for (int copy = 0; copy < 2; ++copy) {
            std::vector<bool> inserted;
            int64_t beyond = 0;
            std::string error;
            ASSERT_TRUE(store->WriteBatch({Row(m, day, "5000")}, {}, &inserted, &beyond, &error)) << error;
            EXPECT_EQ(1, beyond);  // what the held reports' metric counts too
        }
    }
    const auto release = [&](int64_t released, int64_t replays, int64_t atCap) {
        QVReleaseResult result;
        std::string error;
        ASSERT_TRUE(store->Release(Row("a", "", "").source, "", &result, &error)) << error;
        EXPECT_EQ(released, result.released);
        EXPECT_EQ(replays, result.replays);
        EXPECT_EQ(atCap, result.atCap);
    };
    const auto purge = [&](const std::string& day) {
        QVPurgeFilter filter;
        ASSERT_TRUE(DayStart(day, &filter.from) && DayStart(AddDays(day, 1), &filter.to));
        QVPurgeResult purged;
        std::string error;
        ASSERT_TRUE(store->Purge(filter, false, &purged, &error)) << error;
    };
    const auto stored = [&](const char* guid, const char* day) {
        std::vector<bool> inserted;
        EXPECT_TRUE(Write(*store, {Row(guid, day, "5000")}, &inserted));
        return inserted == std::vector<bool>({true});
    };
    release(0, 2, 2);  // the second copies go
    purge("2026-12-01");
    EXPECT_TRUE(stored("b", "2026-12-04"));
    purge("2026-12-06");
    EXPECT_FALSE(stored("b", "2026-12-07"));
    release(1, 0, 0);
    EXPECT_FALSE(stored("a", "2026-12-05"));
    EXPECT_EQ(2 * static_cast<int64_t>(kMachineTimes), Totals(*store, "2026-12-01", "2026-12-31").reports);
    std::vector<QVHeldSource> held;
    ASSERT_TRUE(store->Held(10, &held));
    EXPECT_TRUE(held.empty());
}

// Machines report on random days, in random order and batches; every
// period's machines, new machines and reports equal a count of the rows.
// Then the later days' reports are purged, and the counts still equal the
// rows.
TEST_P(StoreTest, EveryPeriodsCountsEqualTheRowsWhateverTheOrder) {
    auto store = Open();
    std::mt19937 rng(17);
    std::vector<QVReportRow> all;
    for (int m = 0; m < 60; ++m) {
        const int reports = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < reports; ++k) {
            all.push_back(Row("m" + std::to_string(m), DayText(20430 + static_cast<int32_t>(rng() % 20)),
                              std::to_string(m * 10 + k), "v" + std::to_string(rng() % 3)));
        }
    }
    std::shuffle(all.begin(), all.end(), rng);
    for (size_t at = 0; at < all.size(); at += 17) {
        ASSERT_TRUE(Write(*store, std::vector<QVReportRow>(all.begin() + at, all.begin() + std::min(all.size(), at + 17))));
    }
    const auto check = [&](const std::vector<QVReportRow>& rows, const char* what) {
        SCOPED_TRACE(what);
        for (int from = 20428; from < 20452; from += 3) {
            for (int length : {1, 2, 5, 9, 30}) {
                const std::string f = DayText(from), t = DayText(from + length - 1);
                std::set<std::string> active, fresh;
                std::map<std::string, std::string> first;
                int64_t reports = 0;
                for (const QVReportRow& r : rows) {
                    if (!first.count(r.guid) || r.day < first[r.guid]) first[r.guid] = r.day;
                    if (r.day >= f && r.day <= t) {
                        ++reports;
                        active.insert(r.guid);
                    }
                }
                for (const auto& m : first) {
                    if (m.second >= f && m.second <= t) fresh.insert(m.first);
                }
                const QVPeriodTotals got = Totals(*store, f, t);
                EXPECT_EQ(reports, got.reports) << f << " " << t;
                EXPECT_EQ(static_cast<int64_t>(active.size()), got.machines) << f << " " << t;
                EXPECT_EQ(static_cast<int64_t>(fresh.size()), got.newMachines) << f << " " << t;
            }
        }
    };
    check(all, "all stored");
    // The reports of the later days purged: what is left counts alike.
    std::string error;
    QVPurgeFilter filter;
    filter.game = "3";
    int64_t from = 0;
    DayStart(DayText(20440), &from);
    filter.from = from;
    QVPurgeResult result;
    ASSERT_TRUE(store->Purge(filter, false, &result, &error)) << error;
    std::vector<QVReportRow> left;
    for (const QVReportRow& r : all) {
        if (r.day < DayText(20440)) left.push_back(r);
    }
    EXPECT_EQ(static_cast<int64_t>(all.size() - left.size()), result.reports);
    check(left, "after a purge of the later days");
}

TEST_P(StoreTest, HeldReportsCountOnlyOnceReleasedAndAPurgeTakesEverythingBack) {
    auto store = Open(2);
    ASSERT_TRUE(Write(*store, {Row("a", "2026-12-01", "1", "1.0"), Row("b", "2026-12-02", "1", "1.0")}));
    const QVPeriodTotals before = Totals(*store, "2026-12-01", "2026-12-31");
    std::vector<QVReportRow> forged;
    for (int i = 0; i < 5; ++i) {
        forged.push_back(Row("f" + std::to_string(i), "2026-12-0" + std::to_string(3 + i % 2), "1", "9." + std::to_string(i)));
        forged.back().source = "203.0.113.7";
        forged.back().held = i > 0;
    }
    forged.push_back(Row("a", "2026-12-05", "2", "1.0"));  // a known machine again, held
    forged.back().source = "203.0.113.7";
    forged.back().held = true;
    ASSERT_TRUE(Write(*store, forged));
    QVPeriodTotals t = Totals(*store, "2026-12-01", "2026-12-31");
    EXPECT_EQ(before.reports + 1, t.reports);  // only the one not held
    // The export agrees with the counts; the held reports are an export of their own.
    std::vector<QVReportRow> counted, heldRows;
    ASSERT_TRUE(store->ExportPage("3", 0, INT64_MAX, false, QVExportPlace(), 100, &counted));
    ASSERT_TRUE(store->ExportPage("3", 0, INT64_MAX, true, QVExportPlace(), 100, &heldRows));
    EXPECT_EQ(3u, counted.size());
    EXPECT_EQ(5u, heldRows.size());
    std::vector<QVHeldSource> held;
    ASSERT_TRUE(store->Held(10, &held));
    ASSERT_EQ(1u, held.size());
    EXPECT_EQ(5, held[0].reports);
    QVReleaseResult released;
    std::string error;
    ASSERT_TRUE(store->Release("203.0.113.7", "", &released, &error)) << error;
    EXPECT_EQ(5, released.released);
    t = Totals(*store, "2026-12-01", "2026-12-31");
    EXPECT_EQ(before.reports + 6, t.reports);
    EXPECT_EQ(before.machines + 5, t.machines);
    EXPECT_EQ(1, Totals(*store, "2026-12-05", "2026-12-05").machines);  // machine a, back on the 5th
    // The cap of 2 values: 1.0 and 9.0 have rows, the other four versions
    // count as other values.
    QVBreakdownPage versions;
    ASSERT_TRUE(store->Breakdown("3", "version", "2026-12-01", "2026-12-31", false, 0, 50, &versions));
    EXPECT_EQ(2, versions.values);
    EXPECT_EQ(4, versions.other);
    // And day by day, for the adoption chart ("" and other: beyond the cap).
    std::vector<QVDayValue> byDay;
    ASSERT_TRUE(store->VersionsByDay("3", "2026-12-01", "2026-12-31", &byDay));
    std::set<std::tuple<std::string, std::string, int64_t> > days;
    for (const QVDayValue& v : byDay) days.insert(std::make_tuple(v.day, v.other ? "other" : v.value, v.reports));
    const std::set<std::tuple<std::string, std::string, int64_t> > expected = {
        {"2026-12-01", "1.0", 1}, {"2026-12-02", "1.0", 1}, {"2026-12-03", "9.0", 1}, {"2026-12-03", "other", 2},
        {"2026-12-04", "other", 2}, {"2026-12-05", "1.0", 1}};
    EXPECT_EQ(expected, days);
    QVPurgeFilter filter;
    filter.source = "203.0.113.7";
    QVPurgeResult dry;
    ASSERT_TRUE(store->Purge(filter, true, &dry, &error)) << error;
    EXPECT_EQ(6, dry.reports);
    EXPECT_EQ(5, dry.machines);
    EXPECT_EQ(before.reports + 6, Totals(*store, "2026-12-01", "2026-12-31").reports);  // a dry run changes nothing
    QVPurgeResult result;
    ASSERT_TRUE(store->Purge(filter, false, &result, &error)) << error;
    t = Totals(*store, "2026-12-01", "2026-12-31");
    EXPECT_EQ(before.reports, t.reports);
    EXPECT_EQ(before.machines, t.machines);
    EXPECT_EQ(before.newMachines, t.newMachines);
    EXPECT_EQ(0, Totals(*store, "2026-12-05", "2026-12-05").machines);
    ASSERT_TRUE(store->Breakdown("3", "version", "2026-12-01", "2026-12-31", false, 0, 50, &versions));
    EXPECT_EQ(0, versions.other);
}

// A purge from another connection (the command, while the server runs)
// gives the server's breakdowns their room under the cap back at once.
TEST_P(StoreTest, ValuesPurgedElsewhereLeaveRoomUnderTheCap) {
    auto server = Open(2);
    std::vector<QVReportRow> forged = {Row("f1", "2026-12-01", "1", "9.0"), Row("f2", "2026-12-01", "1", "9.1")};
    for (QVReportRow& r : forged) r.source = "203.0.113.7";
    ASSERT_TRUE(Write(*server, forged));
    QVPurgeFilter filter;
    filter.source = "203.0.113.7";
    QVPurgeResult result;
    std::string error;
    ASSERT_TRUE(Open(2)->Purge(filter, false, &result, &error)) << error;
    ASSERT_TRUE(Write(*server, {Row("a", "2026-12-02", "1", "1.2")}));
    QVBreakdownPage versions;
    ASSERT_TRUE(server->Breakdown("3", "version", "2026-12-01", "2026-12-31", false, 0, 50, &versions));
    EXPECT_EQ(0, versions.other);
    ASSERT_EQ(1u, versions.rows.size());
    EXPECT_EQ("1.2", versions.rows[0].value);
}

TEST_P(StoreTest, PruneDeletesOldRawReportsAndKeepsEveryCount) {
    auto store = Open();
    std::vector<QVReportRow> rows;
    for (int i = 0; i < 7; ++i) rows.push_back(Row("m" + std::to_string(i % 3), DayText(20430 + i), std::to_string(i)));
    ASSERT_TRUE(Write(*store, rows));
    const QVPeriodTotals before = Totals(*store, DayText(20430), DayText(20436));
    int64_t deleted = 0, until = 0;
    DayStart(DayText(20435), &until);
    std::string error;
    ASSERT_TRUE(store->Prune(until, 2, &deleted, &error)) << error;  // bounded: two at a time
    EXPECT_EQ(2, deleted);
    ASSERT_TRUE(store->Prune(until, 100, &deleted, &error)) << error;
    EXPECT_EQ(3, deleted);
    std::vector<QVReportRow> left;
    ASSERT_TRUE(store->ExportPage("", 0, INT64_MAX, false, QVExportPlace(), 100, &left));
    EXPECT_EQ(2u, left.size());
    const QVPeriodTotals after = Totals(*store, DayText(20430), DayText(20436));
    EXPECT_EQ(before.reports, after.reports);
    EXPECT_EQ(before.machines, after.machines);
    EXPECT_EQ(before.newMachines, after.newMachines);
}

TEST_P(StoreTest, TextsOfPrunedReportsAreForgottenAndMadeAgainWhenTheyCome) {
    // A flood's version on day 0, the game's own on day 5, each written on
    // its day.
    auto writer = Open();
    SetDay(20430);
    ASSERT_TRUE(Write(*writer, {Row("f1", DayText(20430), "1", "9.9-flood"), Row("f2", DayText(20430), "2", "9.9-flood")}));
    // More than a transaction deletes, the empty text among them, sorting
    // before and after the texts that stay.
    std::vector<QVReportRow> flood = {Row("f0", DayText(20430), "0", "")};
    for (int i = 0; i < 1100; ++i) flood.push_back(Row("f0", DayText(20430), std::to_string(10 + i), std::to_string(i)));
    ASSERT_TRUE(Write(*writer, flood));
    SetDay(20435);
    QVReportRow kept = Row("m2", DayText(20435), "4", "1.0");
    kept.flash = "11.0";
    ASSERT_TRUE(Write(*writer, {kept}));
    const int64_t all = TextCount();  // versions, the system, the Flash text
    // The retention's own connection: the flood's days go, and its version.
    auto retention = Open();
    int64_t until = 0, pruned = 0, forgotten = 0;
    DayStart(DayText(20435), &until);
    std::string error;
    ASSERT_TRUE(retention->Prune(until, 5000, &pruned, &error)) << error;
    ASSERT_EQ(1103, pruned);
    ASSERT_TRUE(retention->ForgetUnusedTexts(nullptr, &forgotten, &error)) << error;
    EXPECT_EQ(1102, forgotten);
    EXPECT_EQ(all - 1102, TextCount());

    // The spool's drainer, days later, writes a report of a day past, which
    // is pruned at once: its text, taken today, stays for the drainer's
    // next report of that day, which it knows already.
    auto drainer = Open();
    SetDay(20440);
    ASSERT_TRUE(Write(*drainer, {Row("s1", DayText(20431), "6", "7.7")}));
    DayStart(DayText(20432), &until);
    ASSERT_TRUE(retention->Prune(until, 100, &pruned, &error)) << error;
    ASSERT_EQ(1, pruned);
    ASSERT_TRUE(retention->ForgetUnusedTexts(nullptr, &forgotten, &error)) << error;
    EXPECT_EQ(0, forgotten);
    ASSERT_TRUE(Write(*drainer, {Row("s2", DayText(20431), "7", "7.7")}));
    // The flood's version comes again to the writer that knew it: made again.
    ASSERT_TRUE(Write(*writer, {Row("f3", DayText(20440), "5", "9.9-flood")}));
    std::vector<QVReportRow> rows;
    ASSERT_TRUE(writer->ExportPage("", 0, INT64_MAX, false, QVExportPlace(), 100, &rows));
    ASSERT_EQ(3u, rows.size());  // each with its texts: none was pulled from under it
    EXPECT_EQ("7.7", rows[0].version);
    EXPECT_EQ("1.0", rows[1].version);
    EXPECT_EQ("9.9-flood", rows[2].version);
    EXPECT_EQ("Windows 7 & x=y", rows[2].system);
}

TEST_P(StoreTest, AVersionTwoDatabaseGetsItsTextsMarkedAndLosesNone) {
    SetDay(20430);
    {
        auto store = Open();
        ASSERT_TRUE(Write(*store, {Row("m1", DayText(20430), "1", "1.0"), Row("m2", DayText(20432), "2", "2.0")}));
    }
    // The second schema: no marks.
    ASSERT_TRUE(Sql("ALTER TABLE texts DROP COLUMN last_day"));
    ASSERT_TRUE(Sql("UPDATE meta SET value = '2' WHERE key = 'schema_version'"));
    SetDay(20500);
    auto store = Open();
    int64_t forgotten = 0;
    std::string error;
    ASSERT_TRUE(store->ForgetUnusedTexts(nullptr, &forgotten, &error)) << error;
    EXPECT_EQ(0, forgotten);
    std::vector<QVReportRow> rows;
    ASSERT_TRUE(store->ExportPage("", 0, INT64_MAX, false, QVExportPlace(), 100, &rows));
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("2.0", rows[1].version);
}

// Versions 2 and 3 stored a report held beyond its machine's cap, and its
// replays, as held for their rate: the upgrade tells them apart, so that a
// release counts none of them while the machine is full.
TEST_P(StoreTest, AnUpgradeTellsReportsHeldBeyondTheCapApart) {
    {
        auto store = Open();
        std::vector<QVReportRow> full;
        for (size_t i = 0; i < kMachineTimes; ++i) full.push_back(Row("m", "2026-12-02", std::to_string(1 + i)));
        ASSERT_TRUE(Write(*store, full));
        ASSERT_TRUE(Write(*store, {Row("m", "2026-12-03", "5000")}));
        ASSERT_TRUE(Write(*store, {Row("m", "2026-12-03", "5000")}));
        QVReportRow rated = Row("h", "2026-12-03", "7");
        rated.held = true;
        ASSERT_TRUE(Write(*store, {rated}));
    }
    ASSERT_TRUE(Sql("UPDATE reports SET held = 1 WHERE held = 2"));
    ASSERT_TRUE(Sql("UPDATE meta SET value = '3' WHERE key = 'schema_version'"));
    auto store = Open();
    EXPECT_EQ("2", One("SELECT count(*) FROM reports WHERE held = 2"));
    QVReleaseResult result;
    std::string error;
    ASSERT_TRUE(store->Release(Row("m", "", "").source, "", &result, &error)) << error;
    EXPECT_EQ(1, result.released);  // h's
    EXPECT_EQ(1, result.replays);
    EXPECT_EQ(1, result.atCap);
}

// An upgrade step that fails (here the index it replaces is missing) leaves
// the database as it was, and the next start after a mend upgrades it.
TEST_P(StoreTest, AnUpgradeThatFailsChangesNothing) {
    ASSERT_TRUE(Write(*Open(), {Row("m1", "2026-12-01", "1")}));
    ASSERT_TRUE(Sql("DROP INDEX reports_held"));
    ASSERT_TRUE(Sql("UPDATE meta SET value = '3' WHERE key = 'schema_version'"));
    std::string error;
    QVStoreOptions options;
    std::unique_ptr<QVStore> store = OpenStore(m_url, &error, options);
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->Prepare(&error));
    EXPECT_NE(std::string::npos, error.find("reports_held")) << error;
    store.reset();
    EXPECT_EQ("3", One("SELECT value FROM meta WHERE key = 'schema_version'"));
    EXPECT_EQ("1", One("SELECT count(*) FROM reports"));
    ASSERT_TRUE(Sql("CREATE INDEX reports_held ON reports (source) WHERE held = 1"));
    EXPECT_EQ(1, Totals(*Open(), "2026-12-01", "2026-12-01").reports);
    EXPECT_EQ("4", One("SELECT value FROM meta WHERE key = 'schema_version'"));
}

TEST_P(StoreTest, NamesAndANewerSchemaRefused) {
    {
        auto store = Open();
        std::string error;
        ASSERT_TRUE(store->SetName("3", "星辰 <b>", &error)) << error;
        ASSERT_TRUE(store->SetName("3", "星辰物语", &error)) << error;
        std::map<std::string, std::string> names;
        ASSERT_TRUE(store->Names(&names));
        EXPECT_EQ("星辰物语", names["3"]);
        ASSERT_TRUE(Write(*store, {Row("m1", "2026-12-09", "1")}));
    }
    if (std::string(GetParam()) == "sqlite") {
        QVSqliteDb db(m_url.substr(7), 2 /* SQLITE_OPEN_READWRITE */);
        ASSERT_TRUE(db.Exec("UPDATE meta SET value = '99' WHERE key = 'schema_version'"));
    } else {
        QVPgConnection conn(m_url, 5000);
        ASSERT_TRUE(conn.Connect() && conn.Exec("UPDATE meta SET value = '99' WHERE key = 'schema_version'").ok());
    }
    std::string error;
    std::unique_ptr<QVStore> newer = OpenStore(m_url, &error);
    EXPECT_FALSE(newer->Prepare(&error));
    EXPECT_NE(std::string::npos, error.find("schema version 99")) << error;
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, testing::Values("sqlite", "postgresql"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

class SqliteFileTest : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/qvstore-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        m_folder = folder;
        m_path = m_folder + "/stats.db";
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + m_folder + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << m_folder;
    }
    std::string m_folder, m_path;
};

TEST_F(SqliteFileTest, ANewDatabaseIsPrivateAndABackupIsAWholeCopy) {
    {
        QVSqliteStore store(m_path, QVStoreOptions());
        std::string error;
        ASSERT_TRUE(store.Prepare(&error)) << error;
        QVReportRow r;
        r.day = "2026-12-09";
        r.gameId = "3";
        r.guid = "m1";
        r.clientTime = "1";
        std::vector<bool> inserted;
        ASSERT_TRUE(store.WriteBatch({r}, {}, &inserted, nullptr, &error)) << error;
        struct stat info;
        ASSERT_EQ(0, stat(m_path.c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777);
        ASSERT_EQ(0, stat((m_path + "-wal").c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777);
        // While the server's connection is open, as it would be.
        ASSERT_TRUE(BackupSqlite(m_path, m_folder + "/copy.db", &error)) << error;
        ASSERT_EQ(0, stat((m_folder + "/copy.db").c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777);
        EXPECT_NE(0, access((m_folder + "/copy.db.partial").c_str(), F_OK));
    }
    QVSqliteStore copy(m_folder + "/copy.db", QVStoreOptions());
    std::string error;
    ASSERT_TRUE(copy.Prepare(&error)) << error;
    QVPeriodTotals totals;
    ASSERT_TRUE(copy.Totals("3", "2026-12-09", "2026-12-09", &totals));
    EXPECT_EQ(1, totals.reports);
    EXPECT_FALSE(BackupSqlite(m_folder + "/none.db", m_folder + "/x.db", &error));
}

TEST_F(SqliteFileTest, AnUnusableFileIsAClearError) {
    QVSqliteStore store(m_folder + "/no/such/folder/stats.db", QVStoreOptions());
    std::string error;
    EXPECT_FALSE(store.Prepare(&error));
    EXPECT_NE(std::string::npos, error.find("cannot open")) << error;
}

}  // namespace

// libpq looks a host name up itself, for as long as the resolver takes; the
// connection looks it up within its deadline instead. Run by
// with_silent_dns.sh: qv-db.test has two addresses, the database on the
// second, and any other name never gets an answer.
TEST(PgConnectionTest, AHostNameIsLookedUpWithinTheDeadline) {
    const char* url = getenv("QV_TEST_PG_URL");
    if (url == nullptr || getenv("QV_SILENT_DNS") == nullptr) GTEST_SKIP() << "run by with_silent_dns.sh and with_pg.sh";
    const auto named = [&](const std::string& host) {
        std::string u = url;
        const size_t at = u.find("127.0.0.1");
        return at == std::string::npos ? u : u.replace(at, 9, host);
    };
    QVPgConnection db(named("qv-db.test"), 5000);
    EXPECT_TRUE(db.Connect()) << db.Error();
    QVPgConnection lost(named("qv-lost.test"), 500);
    for (int attempt = 0; attempt < 2; ++attempt) {  // the second waits on the first's lookup
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(lost.Connect());
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 1500);
        EXPECT_TRUE(lost.TimedOut());
        EXPECT_NE(std::string::npos, lost.Error().find("no address for qv-lost.test")) << lost.Error();
    }
    // The host libpq would take from the environment, the URL naming none.
    setenv("PGHOST", "qv-lost.test", 1);
    QVPgConnection fromEnvironment("postgresql:///postgres", 500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(fromEnvironment.Connect());
    const auto waited = std::chrono::steady_clock::now() - start;
    unsetenv("PGHOST");
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 1500);
    EXPECT_NE(std::string::npos, fromEnvironment.Error().find("no address for qv-lost.test")) << fromEnvironment.Error();
}
