#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "server/Metrics.h"
#include "server/Spool.h"
#include "server/SqliteStore.h"
#include "server/Writer.h"

using namespace Quorvel;

namespace {

// A database in memory that can be held (the writer waits in its first
// batch until released) or made to fail, and remembers what it stored, in
// order. Two stores may share one, as the writer's and the drainer's
// connections share a real database.
struct FakeDatabase {
    std::mutex mutex;
    std::condition_variable wake;
    bool entered = false, released = true, failing = false;
    bool writesRefused = false;  // writes fail (locked, read-only, disk full) while reads answer
    std::string poison;  // a client time refused in any batch, while the rest of the database works
    std::vector<size_t> batches;
    std::vector<std::string> stored;  // client times, as they came
    int64_t rejected = 0;
};

class FakeStore : public QVStore {
public:
    explicit FakeStore(FakeDatabase& db) : QVStore(QVStoreOptions()), m_db(db) {}
    bool Prepare(std::string*) override { return true; }
    bool WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                    std::vector<bool>* inserted, int64_t*, std::string* error) override {
        std::unique_lock<std::mutex> lock(m_db.mutex);
        m_db.entered = true;
        m_db.wake.notify_all();
        m_db.wake.wait(lock, [this] { return m_db.released; });
        if (m_db.failing) {
            *error = "connection refused";
            return false;
        }
        if (m_db.writesRefused) {
            *error = "database is locked";
            return false;
        }
        for (const QVReportRow& r : rows) {
            if (r.clientTime == m_db.poison) {
                *error = "index row size exceeds maximum";
                return false;
            }
        }
        m_db.batches.push_back(rows.size());
        inserted->clear();
        for (const QVReportRow& r : rows) {
            const bool fresh = std::find(m_db.stored.begin(), m_db.stored.end(), r.clientTime) == m_db.stored.end();
            if (fresh) m_db.stored.push_back(r.clientTime);
            inserted->push_back(fresh);
        }
        for (const QVRejectCount& r : rejects) m_db.rejected += r.count;
        return true;
    }
    bool Healthy() override {
        std::lock_guard<std::mutex> lock(m_db.mutex);
        return !m_db.failing;
    }

protected:
    QVSqlSession* Session() override { return nullptr; }  // the writer reads nothing
    bool InsertReports(QVSqlSession&, const std::vector<NewReport>&) override { return false; }

private:
    FakeDatabase& m_db;
};

QVReportRow Report(const std::string& time) {
    QVReportRow r;
    r.gameId = "3";
    r.guid = "m";
    r.clientTime = time;
    r.body = "game_id=3&...";
    return r;
}

// Waits for a condition that another thread brings about; false after 10 s.
template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// The value of one metric in the text format, 0 when absent.
double Metric(QVMetrics& metrics, const std::string& name) {
    const std::string text = metrics.Text(QVGaugeValues());
    const size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? 0 : atof(text.c_str() + at + name.size() + 2);
}

class SpoolFolder : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/qvspool-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        m_folder = folder;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + m_folder + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << m_folder;
    }
    std::string m_folder;
};

// A writer with a spool in a folder, its store and its drainer on one fake
// database; set the database up, then Start.
struct SpooledWriter {
    explicit SpooledWriter(const std::string& folder) : store(db), drainStore(db), spool(folder + "/spool.db", 1 << 30) {}
    bool Start() {
        std::string error;
        if (!spool.Open(&error)) return false;
        writer.reset(new QVWriter(store, &spool, &drainStore, metrics, QVWriterOptions()));
        writer->Start();
        return true;
    }
    bool Submit(const std::string& time) {
        return writer->Submit(Report(time), [this](bool ok) { (ok ? acknowledged : lost)++; });
    }
    FakeDatabase db;
    FakeStore store, drainStore;
    QVMetrics metrics;
    QVSpool spool;
    std::atomic<int> acknowledged{0}, lost{0};
    std::unique_ptr<QVWriter> writer;  // first to go
};

TEST(WriterTest, AFullQueueRefusesAndWaitingReportsGoInOneCommit) {
    FakeDatabase db;
    db.released = false;
    FakeStore store(db);
    QVMetrics metrics;
    std::atomic<int> stored(0), lost(0);
    {
        QVWriterOptions options;
        options.capacity = 3;
        QVWriter writer(store, nullptr, nullptr, metrics, options);
        writer.Start();
        const auto done = [&](bool ok) { (ok ? stored : lost)++; };
        ASSERT_TRUE(writer.Submit(Report("1"), done));
        {
            std::unique_lock<std::mutex> lock(db.mutex);  // the writer holds the first one in its transaction
            db.wake.wait(lock, [&] { return db.entered; });
        }
        EXPECT_TRUE(writer.Submit(Report("2"), done));
        EXPECT_TRUE(writer.Submit(Report("3"), done));
        EXPECT_TRUE(writer.Submit(Report("4"), done));
        EXPECT_FALSE(writer.Submit(Report("5"), done));  // the 503: full
        writer.CountReject("2026-12-09", "overloaded");
        writer.CountReject("2026-12-09", "overloaded");
        {
            std::lock_guard<std::mutex> lock(db.mutex);
            db.released = true;
        }
        db.wake.notify_all();
    }  // Stop writes what is queued
    EXPECT_EQ(4, stored.load());
    EXPECT_EQ(0, lost.load());
    EXPECT_EQ(std::vector<size_t>({1, 3}), db.batches);  // the three that waited: one transaction
    EXPECT_EQ(2, db.rejected);
    EXPECT_EQ(4, Metric(metrics, "qvstats_reports_stored_total"));
}

TEST(WriterTest, WhatAnAnswerHoldsEndsOnTheAnsweringThread) {
    // An answer holds its session, whose end removes it from a list that
    // only the answering thread may touch.
    struct Held {
        std::atomic<bool>* onWriter;
        std::thread::id answering;
        ~Held() { *onWriter = std::this_thread::get_id() != answering; }
    };
    FakeDatabase db;
    FakeStore store(db);
    QVMetrics metrics;
    std::atomic<bool> endedOnWriter(false), answered(false);
    std::thread::id answering;
    {
        QVWriter writer(store, nullptr, nullptr, metrics, QVWriterOptions());
        // Each answer runs, and is let go, on a thread of its own before the
        // writer goes on: a copy the writer kept would end last, there.
        writer.AnswerOn([&](std::function<void()> answer) {
            std::thread([&answering, a = std::move(answer)]() mutable {
                answering = std::this_thread::get_id();
                a();
                a = nullptr;
            }).join();
        });
        writer.Start();
        auto held = std::make_shared<Held>();
        held->onWriter = &endedOnWriter;
        ASSERT_TRUE(writer.Submit(Report("1"), [held, &answering, &answered](bool) {
            held->answering = answering;
            answered = true;
        }));
        held.reset();
        ASSERT_TRUE(Eventually([&] { return answered.load(); }));
    }
    EXPECT_FALSE(endedOnWriter.load());
}

TEST(WriterTest, WithoutASpoolAFailedCommitAnswersNotStoredAndHealthSaysWhy) {
    FakeDatabase db;
    db.failing = true;
    FakeStore store(db);
    QVMetrics metrics;
    std::atomic<int> stored(0), lost(0);
    QVWriter writer(store, nullptr, nullptr, metrics, QVWriterOptions());
    writer.Start();
    ASSERT_TRUE(writer.Submit(Report("1"), [&](bool ok) { (ok ? stored : lost)++; }));
    ASSERT_TRUE(Eventually([&] { return lost.load() == 1; }));
    const QVHealth health = writer.Health();
    EXPECT_FALSE(health.ok);
    EXPECT_NE(std::string::npos, health.text.find("database down since")) << health.text;
    EXPECT_NE(std::string::npos, health.text.find("connection refused")) << health.text;
    {
        std::lock_guard<std::mutex> lock(db.mutex);
        db.failing = false;
    }
    ASSERT_TRUE(writer.Submit(Report("2"), [&](bool ok) { (ok ? stored : lost)++; }));
    ASSERT_TRUE(Eventually([&] { return stored.load() == 1; }));
    EXPECT_TRUE(writer.Health().ok);
    writer.Stop();
    EXPECT_EQ(1, stored.load());
}

TEST_F(SpoolFolder, WhileTheDatabaseIsDownReportsAreSpooledThenStoredInOrderOnce) {
    SpooledWriter w(m_folder);
    FakeDatabase& db = w.db;
    QVSpool& spool = w.spool;
    db.failing = true;
    ASSERT_TRUE(w.Start());
    QVWriter& writer = *w.writer;
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(w.Submit(std::to_string(i)));
    ASSERT_TRUE(Eventually([&] { return w.acknowledged.load() == 5; }));
    EXPECT_EQ(5u, spool.Reports());
    EXPECT_FALSE(writer.Health().ok);
    EXPECT_NE(std::string::npos, writer.Health().text.find("5 reports in the spool")) << writer.Health().text;
    // One report is already in the database (the database committed before
    // the answer was lost): its copy from the spool is stored once.
    {
        std::lock_guard<std::mutex> lock(db.mutex);
        db.stored.push_back("3");
        db.failing = false;
    }
    // Back: the spool drains, and what comes meanwhile follows it.
    ASSERT_TRUE(w.Submit("6"));
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(db.mutex);
        return db.stored.size() == 6;
    }));
    ASSERT_TRUE(Eventually([&] { return writer.Health().ok && spool.Reports() == 0; })) << writer.Health().text;
    writer.Stop();
    EXPECT_EQ(std::vector<std::string>({"3", "1", "2", "4", "5", "6"}), db.stored);
    EXPECT_EQ(0, w.lost.load());
    EXPECT_LE(5, Metric(w.metrics, "qvstats_reports_spooled_total"));  // and the sixth, unless the drain was done
    EXPECT_EQ(5, Metric(w.metrics, "qvstats_reports_stored_total"));
    EXPECT_EQ(1, Metric(w.metrics, "qvstats_reports_replayed_total"));
}

// A report the database refuses while it takes others holds up nothing:
// it is found, set aside in the spool's file, and the rest follow it.
TEST_F(SpoolFolder, AReportTheDatabaseRefusesAloneIsSetAsideAndTheRestAreStored) {
    SpooledWriter w(m_folder);
    FakeDatabase& db = w.db;
    db.poison = "2";
    db.released = false;
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(w.Submit("1"));
    {
        std::unique_lock<std::mutex> lock(db.mutex);  // 2 and 3 then go in one batch
        db.wake.wait(lock, [&] { return db.entered; });
    }
    ASSERT_TRUE(w.Submit("2"));
    ASSERT_TRUE(w.Submit("3"));
    {
        std::lock_guard<std::mutex> lock(db.mutex);
        db.released = true;
    }
    db.wake.notify_all();
    ASSERT_TRUE(Eventually([&] { return w.acknowledged.load() == 3 && w.spool.Reports() == 0 && w.writer->Health().ok; }))
        << w.writer->Health().text;
    ASSERT_TRUE(w.Submit("4"));
    ASSERT_TRUE(Eventually([&] { return w.acknowledged.load() == 4; }));
    w.writer->Stop();
    EXPECT_EQ(std::vector<std::string>({"1", "3", "4"}), db.stored);
    EXPECT_EQ(0, w.lost.load());
    EXPECT_EQ(1, Metric(w.metrics, "qvstats_reports_set_aside_total"));
    QVSqliteDb file(m_folder + "/spool-refused.db", SQLITE_OPEN_READONLY);
    QVSqliteStatement refused(file, "SELECT client_time FROM refused");
    ASSERT_EQ(SQLITE_ROW, refused.Step()) << file.Error();
    EXPECT_EQ("2", refused.Text(0));
    EXPECT_EQ(SQLITE_DONE, refused.Step());
}

// Writes that fail for a while as reads go on (another connection holds
// the write lock, a standby after a failover, a full disk) set nothing
// aside: each report is stored once writes work again.
TEST_F(SpoolFolder, WritesThatFailForAWhileWhileReadsWorkSetNothingAside) {
    SpooledWriter w(m_folder);
    w.db.writesRefused = true;
    ASSERT_TRUE(w.Start());
    for (const char* t : {"1", "2", "3"}) ASSERT_TRUE(w.Submit(t));
    ASSERT_TRUE(Eventually([&] { return w.acknowledged.load() == 3; }));
    std::this_thread::sleep_for(std::chrono::seconds(6));  // several rounds of tries
    {
        std::lock_guard<std::mutex> lock(w.db.mutex);
        w.db.writesRefused = false;
    }
    ASSERT_TRUE(Eventually([&] { return w.spool.Reports() == 0 && w.writer->Health().ok; })) << w.writer->Health().text;
    w.writer->Stop();
    EXPECT_EQ(0, Metric(w.metrics, "qvstats_reports_set_aside_total"));
    EXPECT_EQ(std::vector<std::string>({"1", "2", "3"}), w.db.stored);
}

TEST_F(SpoolFolder, AFullSpoolRefusesAndWhatItHeldSurvivesARestart) {
    FakeDatabase db;
    db.failing = true;
    FakeStore store(db), drainStore(db);
    QVMetrics metrics;
    std::atomic<int> acknowledged(0), lost(0);
    const auto done = [&](bool ok) { (ok ? acknowledged : lost)++; };
    {
        QVSpool spool(m_folder + "/spool.db", 64 * 1024);
        std::string error;
        ASSERT_TRUE(spool.Open(&error)) << error;
        QVSpool second(m_folder + "/spool.db", 64 * 1024);
        EXPECT_FALSE(second.Open(&error));  // one process per spool
        EXPECT_NE(std::string::npos, error.find("in use")) << error;
        QVWriter writer(store, &spool, &drainStore, metrics, QVWriterOptions());
        writer.Start();
        QVReportRow big = Report("0");
        big.body.assign(3000, 'x');
        for (int i = 0; i < 100; ++i) {
            big.clientTime = std::to_string(i);
            ASSERT_TRUE(writer.Submit(big, done));
            ASSERT_TRUE(Eventually([&] { return acknowledged.load() + lost.load() == i + 1; }));
        }
        EXPECT_GT(lost.load(), 0);
        EXPECT_GT(acknowledged.load(), 10);
        const QVHealth health = writer.Health();
        EXPECT_FALSE(health.ok);
        writer.Stop();
    }
    QVSpool again(m_folder + "/spool.db", 64 * 1024);
    std::string error;
    ASSERT_TRUE(again.Open(&error)) << error;
    EXPECT_EQ(static_cast<size_t>(acknowledged.load()), again.Reports());
    std::vector<QVReportRow> rows;
    int64_t last = 0;
    ASSERT_TRUE(again.Oldest(3, &rows, &last, &error));
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("0", rows[0].clientTime);
    EXPECT_EQ(3000u, rows[0].body.size());
    ASSERT_TRUE(again.RemoveThrough(last, &error));
    EXPECT_EQ(static_cast<size_t>(acknowledged.load()) - 3, again.Reports());
}

TEST(WriterTest, HealthFromTheWritersState) {
    QVWriterState up;
    QVWriterState down;
    down.databaseUp = false;
    down.downSince = 1796795383;
    down.lastError = "could not connect";
    QVWriterState stalled;
    stalled.commitRunningMs = 800;
    QVWriterState draining;
    draining.spooling = true;
    draining.spoolReports = 3;
    draining.spoolBytes = 100;
    draining.spoolMaxBytes = 1000;
    QVWriterState filling = draining;
    filling.spoolBytes = 730;
    const struct {
        const char* name;
        QVWriterState state;
        bool ok;
        const char* says;
    } rows[] = {
        {"storing", up, true, "ok: storing reports"},
        {"down", down, false, "database down since "},
        {"stalled commit", stalled, false, "database not answering for 0.8 s"},
        {"draining", draining, true, "draining the spool; 3 reports in the spool"},
        {"spool filling", filling, false, "spool 73% full"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QVHealth health = JudgeHealth(row.state, 500);
        EXPECT_EQ(row.ok, health.ok);
        EXPECT_NE(std::string::npos, health.text.find(row.says)) << health.text;
        EXPECT_EQ(std::string::npos, health.text.find('\n'));
    }
}

}  // namespace
