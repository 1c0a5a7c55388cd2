#include "server/Retention.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>

#include "server/Days.h"
#include "server/Log.h"
#include "server/Metrics.h"

namespace Quorvel {

bool PruneReports(QVStore& store, int64_t before, size_t batch, const std::function<bool()>& stop, int64_t* deleted,
                  std::string* error) {
    *deleted = 0;
    for (;;) {
        if (stop && stop()) return true;
        int64_t n = 0;
        if (!store.Prune(before, batch, &n, error)) return false;
        *deleted += n;
        if (n < static_cast<int64_t>(batch)) return true;
    }
}

QVRetention::QVRetention(std::unique_ptr<QVStore> store, int keepDays, QVMetrics& metrics)
    : m_store(std::move(store)), m_keepDays(keepDays), m_metrics(metrics), m_stopping(false) {}

void QVRetention::Start() {
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "qv-retention");
        Run();
    });
}

void QVRetention::Signal() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
}

void QVRetention::Stop() {
    Signal();
    if (m_thread.joinable()) m_thread.join();
}

void QVRetention::Run() {
    // A little after the start, so that starting stays quick; then nightly.
    int64_t next = static_cast<int64_t>(time(NULL)) + 2;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // Waits in short steps: the wall clock may jump.
            for (int64_t left; !m_stopping && (left = next - static_cast<int64_t>(time(NULL))) > 0;) {
                m_wake.wait_for(lock, std::chrono::seconds(std::min<int64_t>(left, 30)));
            }
            if (m_stopping) return;
        }
        const int64_t now = static_cast<int64_t>(time(NULL));
        const std::vector<std::string> days = LastDays(now, m_keepDays + 1);
        int64_t before = 0, deleted = 0;
        std::string error;
        if (m_keepDays > 0 && !days.empty() && DayStart(days.front(), &before)) {
            const bool done = PruneReports(*m_store, before, 2000, [this] {
                std::lock_guard<std::mutex> lock(m_mutex);
                return m_stopping;
            }, &deleted, &error);
            m_metrics.Pruned(deleted);
            if (!done) {
                Log(kLogError, "retention: %lld raw reports received before %s deleted, then: %s",
                    static_cast<long long>(deleted), days.front().c_str(), error.c_str());
            } else if (deleted > 0) {
                Log(kLogInfo, "retention: %lld raw reports received before %s deleted (--keep-days %d)",
                    static_cast<long long>(deleted), days.front().c_str(), m_keepDays);
            }
        }
        // The texts of the reports pruned, which nothing else uses.
        int64_t forgotten = 0;
        error.clear();
        if (!m_store->ForgetUnusedTexts([this] {
                std::lock_guard<std::mutex> lock(m_mutex);
                return m_stopping;
            }, &forgotten, &error)) {
            Log(kLogError, "retention: unused texts not deleted: %s", error.c_str());
        } else if (forgotten > 0) {
            Log(kLogInfo, "retention: %lld texts no stored report uses any more deleted", static_cast<long long>(forgotten));
        }
        next = NextLocalTime(static_cast<int64_t>(time(NULL)), 3, 0);
    }
}

}  // namespace Quorvel
