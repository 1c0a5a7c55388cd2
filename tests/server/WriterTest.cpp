#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "server/Writer.h"

using namespace Quorvel;

namespace {

// A store that holds the writer in its first batch until released, and
// remembers the batches it was given.
class HeldStore : public QVStore {
public:
    bool Prepare(std::string*) override { return true; }
    bool WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                    std::vector<bool>* inserted, std::string*) override {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        wake.notify_all();
        wake.wait(lock, [this] { return released; });
        batches.push_back(rows.size());
        for (const QVRejectCount& r : rejects) rejected += r.count;
        inserted->assign(rows.size(), true);
        return !failing;
    }
    bool Healthy() override { return true; }
    bool Games(std::vector<std::string>*) override { return true; }
    bool Summary(const std::string&, const std::string&, QVGameSummary*) override { return true; }
    bool Days(const std::string&, const std::string&, std::vector<QVDayCount>*) override { return true; }
    bool Breakdown(const std::string&, const std::string&, std::vector<QVBreakdownRow>*) override { return true; }
    bool Rejects(std::vector<QVRejectCount>*) override { return true; }
    bool Export(const std::string&, int64_t, int64_t, const std::function<bool(const QVReportRow&)>&) override {
        return true;
    }

    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        wake.notify_all();
    }
    void AwaitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] { return entered; });
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool entered = false, released = false, failing = false;
    std::vector<size_t> batches;
    int64_t rejected = 0;
};

TEST(WriterTest, AFullQueueRefusesAndWaitingReportsGoInOneCommit) {
    HeldStore store;
    std::atomic<int> stored(0), lost(0);
    {
        QVWriter writer(store, 3, 100);
        writer.Start();
        const auto done = [&](bool ok) { (ok ? stored : lost)++; };
        ASSERT_TRUE(writer.Submit(QVReportRow(), done));
        store.AwaitEntered();  // the writer holds the first one in its transaction
        EXPECT_TRUE(writer.Submit(QVReportRow(), done));
        EXPECT_TRUE(writer.Submit(QVReportRow(), done));
        EXPECT_TRUE(writer.Submit(QVReportRow(), done));
        EXPECT_FALSE(writer.Submit(QVReportRow(), done));  // the 503: full
        writer.CountReject("2026-12-09", "overloaded");
        writer.CountReject("2026-12-09", "overloaded");
        store.Release();
    }  // Stop writes what is queued
    EXPECT_EQ(4, stored.load());
    EXPECT_EQ(0, lost.load());
    EXPECT_EQ(std::vector<size_t>({1, 3}), store.batches);  // the three that waited: one transaction
    EXPECT_EQ(2, store.rejected);
}

TEST(WriterTest, AFailedCommitAnswersNotStored) {
    HeldStore store;
    store.failing = true;
    store.Release();
    std::atomic<int> stored(0), lost(0);
    {
        QVWriter writer(store, 8, 100);
        writer.Start();
        ASSERT_TRUE(writer.Submit(QVReportRow(), [&](bool ok) { (ok ? stored : lost)++; }));
    }
    EXPECT_EQ(0, stored.load());
    EXPECT_EQ(1, lost.load());
}

}  // namespace
