#include "server/Writer.h"

#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "server/Days.h"
#include "server/Log.h"
#include "server/Metrics.h"
#include "server/Sources.h"
#include "server/Spool.h"

namespace Quorvel {

namespace {

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Count(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

QVHealth JudgeHealth(const QVWriterState& s, int64_t stallMs) {
    const std::string spooled =
        s.spooling ? "; " + Count(s.spoolReports, "report", "reports") + " in the spool" : std::string();
    if (!s.databaseUp) {
        return QVHealth{false, "database down since " + ClockTime(s.downSince) + ": " + s.lastError + spooled};
    }
    if (s.commitRunningMs > stallMs) {
        char text[96];
        snprintf(text, sizeof(text), "database not answering for %.1f s", s.commitRunningMs / 1000.0);
        return QVHealth{false, text + spooled};
    }
    if (s.spooling && s.spoolMaxBytes > 0 && s.spoolBytes * 2 >= s.spoolMaxBytes) {
        const unsigned percent = static_cast<unsigned>(s.spoolBytes * 100 / s.spoolMaxBytes);
        return QVHealth{false, "spool " + std::to_string(percent > 100 ? 100 : percent) + "% full" + spooled};
    }
    if (s.spoolReports > 0) return QVHealth{true, "ok: storing reports; draining the spool" + spooled};
    return QVHealth{true, "ok: storing reports"};
}

QVWriter::QVWriter(QVStore& store, QVSpool* spool, QVStore* drainStore, QVMetrics& metrics,
                   const QVWriterOptions& options)
    : m_store(store), m_spool(drainStore != NULL ? spool : NULL), m_drainStore(drainStore), m_metrics(metrics),
      m_options(options), m_stopping(false), m_exit(false), m_up(true), m_downSince(0), m_commitStarted(0), m_drainStarted(0),
      m_spoolWarned(0),
      m_spooledWhileDown(0) {}

void QVWriter::Start() {
    // Named for top -H and perf.
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "qv-writer");
        Run();
    });
    if (m_spool != NULL) {
        m_drainer = std::thread([this] {
            pthread_setname_np(pthread_self(), "qv-drainer");
            Drain();
        });
    }
}

void QVWriter::BeginStop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_drainWake.notify_all();
}

void QVWriter::Stop() {
    BeginStop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_exit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    if (m_drainer.joinable()) m_drainer.join();
}

void QVWriter::StartDown(const std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_up = false;
    m_downSince = static_cast<int64_t>(time(NULL));
    m_lastError = error;
    Log(kLogWarning, "database down at the start: %s; reports go to the spool %s until it answers", error.c_str(),
        m_spool != NULL ? m_spool->Path().c_str() : "(none)");
}

bool QVWriter::Submit(QVReportRow row, Done done) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() >= m_options.capacity) return false;
        m_queue.emplace_back(std::move(row), std::move(done));
    }
    m_wake.notify_one();
    return true;
}

void QVWriter::CountReject(const std::string& day, const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rejects[std::make_pair(day, reason)] += 1;
    }
    m_wake.notify_one();
}

size_t QVWriter::Queued() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

QVWriterState QVWriter::State() {
    QVWriterState s;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        s.databaseUp = m_up;
        s.downSince = m_downSince;
        s.lastError = m_lastError;
        // The drainer's waits count too: while the spool drains, it is the
        // one that talks to the database.
        int64_t since = 0;
        for (int64_t started : {m_commitStarted, m_drainStarted}) {
            if (started != 0 && (since == 0 || started < since)) since = started;
        }
        s.commitRunningMs = since != 0 ? MonotonicMs() - since : 0;
    }
    if (m_spool != NULL) {
        s.spooling = true;
        s.spoolReports = m_spool->Reports();
        s.spoolBytes = m_spool->Bytes();
        s.spoolMaxBytes = m_spool->MaxBytes();
    }
    return s;
}

QVHealth QVWriter::Health() { return JudgeHealth(State(), m_options.stallMs); }

void QVWriter::MarkDown(const std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastError = error;
    if (!m_up) return;
    m_up = false;
    m_downSince = static_cast<int64_t>(time(NULL));
    m_spooledWhileDown = 0;
    if (m_spool != NULL) {
        Log(kLogWarning, "database down: %s; reports go to the spool %s until it is back", error.c_str(),
            m_spool->Path().c_str());
    } else {
        Log(kLogWarning, "database down: %s; reports are refused (503) until it is back", error.c_str());
    }
    m_drainWake.notify_all();
}

void QVWriter::MarkUp() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_up) return;
    m_wake.notify_all();  // refusals kept while it was down go now
    m_up = true;
    const int64_t seconds = static_cast<int64_t>(time(NULL)) - m_downSince;
    if (m_spool != NULL) {
        Log(kLogInfo, "database back after %lld s; %lld reports were spooled meanwhile, all stored now",
            static_cast<long long>(seconds), static_cast<long long>(m_spooledWhileDown));
    } else {
        Log(kLogInfo, "database back after %lld s", static_cast<long long>(seconds));
    }
    m_lastError.clear();
}

void QVWriter::SpoolLevel() {
    const uint64_t max = m_spool->MaxBytes(), bytes = m_spool->Bytes();
    const int percent = max > 0 ? static_cast<int>(bytes * 100 / max) : 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (percent < m_spoolWarned / 2) m_spoolWarned = 0;  // drained: warn again next time
    static const int kLevels[] = {100, 90, 75, 50};
    for (int level : kLevels) {
        if (percent >= level && m_spoolWarned < level) {
            m_spoolWarned = level;
            Log(level >= 90 ? kLogError : kLogWarning, "spool %d%% full: %zu reports, %llu of %llu bytes%s", percent,
                m_spool->Reports(), static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(max),
                level == 100 ? "; new reports are refused (503)" : "");
            break;
        }
    }
}

template <class Work>
bool QVWriter::Timed(int64_t& started, Work work) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        started = MonotonicMs();
    }
    const bool done = work();
    std::lock_guard<std::mutex> lock(m_mutex);
    started = 0;
    return done;
}

bool QVWriter::Commit(std::vector<QVReportRow>& rows, std::vector<QVRejectCount>& rejects) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<bool> inserted;
    int64_t beyondCap = 0;
    std::string error;
    const bool committed =
        Timed(m_commitStarted, [&] { return m_store.WriteBatch(rows, rejects, &inserted, &beyondCap, &error); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!committed) {
        MarkDown(error);
        return false;
    }
    CountStored(rows, inserted, beyondCap, seconds);
    return true;
}

void QVWriter::CountStored(const std::vector<QVReportRow>& rows, const std::vector<bool>& inserted, int64_t beyondCap,
                           double seconds) {
    int64_t fresh = 0, held = beyondCap;
    for (size_t i = 0; i < rows.size() && i < inserted.size(); ++i) {
        fresh += inserted[i] ? 1 : 0;
        held += inserted[i] && rows[i].held ? 1 : 0;
    }
    m_metrics.Stored(fresh, static_cast<int64_t>(rows.size()) - fresh, held);
    if (!rows.empty()) m_metrics.Batch(rows.size(), seconds);
}

void QVWriter::HashSources(std::vector<QVReportRow>& rows, const std::string& key) {
    // Without the database's key yet (it has not answered since the
    // start), the addresses wait in the spool to be hashed on the way in.
    if (!m_options.hashSources || key.empty()) return;
    for (QVReportRow& r : rows) {
        if (!IsHashedSource(r.source)) r.source = HashSource(key, r.source);
    }
}

bool QVWriter::SpoolBatch(const std::vector<QVReportRow>& rows) {
    std::string error;
    const QVSpool::Result result = m_spool->Append(rows, &error);
    if (result != QVSpool::kAppended) {
        if (result == QVSpool::kFailed) Log(kLogError, "%zu reports refused (503): %s", rows.size(), error.c_str());
        SpoolLevel();
        return false;
    }
    m_metrics.Spooled(static_cast<int64_t>(rows.size()));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_spooledWhileDown += static_cast<int64_t>(rows.size());
    }
    SpoolLevel();
    m_drainWake.notify_all();
    return true;
}

void QVWriter::Run() {
    std::vector<QVReportRow> rows;
    std::vector<Done> dones;
    std::vector<QVRejectCount> rejects;
    for (;;) {
        rows.clear();
        dones.clear();
        rejects.clear();
        bool up, stopping, direct, woken;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // Refusals are counted with the next commit: while the database
            // is down they wait for it rather than wake this thread.
            woken = m_wake.wait_for(lock, std::chrono::seconds(1), [this] {
                return m_exit || !m_queue.empty() || (m_up && !m_rejects.empty());
            });
            if (m_exit && m_queue.empty() && (m_rejects.empty() || !m_up)) return;
            while (!m_queue.empty() && rows.size() < m_options.batch) {
                rows.push_back(std::move(m_queue.front().first));
                dones.push_back(std::move(m_queue.front().second));
                m_queue.pop_front();
            }
            up = m_up;
            stopping = m_stopping;
            // While the spool holds reports, new ones go behind them, so
            // that the database takes them in the order they came; a full
            // spool leaves the database as the only place. Without a spool,
            // the database is tried again with each batch, except when
            // stopping: then a database that is down is not waited for.
            if (m_spool == NULL) {
                direct = up || !stopping;
            } else {
                direct = up && (m_spool->Reports() == 0 || m_spool->Bytes() >= m_spool->MaxBytes());
            }
            if (direct) {
                for (const auto& r : m_rejects) rejects.push_back(QVRejectCount{r.first.first, r.first.second, r.second});
                m_rejects.clear();
            }
        }
        if (rows.empty() && rejects.empty()) {
            // Idle: a database lost meanwhile is noticed without traffic.
            // With a spool, the drainer watches it while it is down.
            if (!woken && (up || m_spool == NULL)) {
                const bool healthy = Timed(m_commitStarted, [this] { return m_store.Healthy(); });
                if (!healthy) MarkDown("the database does not answer");
                if (healthy && !up) MarkUp();
            }
            continue;
        }
        HashSources(rows, m_store.SourceKey());
        bool acknowledged = direct && Commit(rows, rejects);
        if (acknowledged && m_spool == NULL) MarkUp();
        if (direct && !acknowledged && !stopping) {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const QVRejectCount& r : rejects) m_rejects[std::make_pair(r.day, r.reason)] += r.count;
        }
        if (!acknowledged && m_spool != NULL && !rows.empty()) {
            acknowledged = SpoolBatch(rows);
            // A spool that fails while the database answers: the database
            // then, rather than a 503.
            std::vector<QVRejectCount> none;
            if (!acknowledged && !direct && up) acknowledged = Commit(rows, none);
        }
        if (m_answerOn) {
            // The answers alone hold them: this thread keeps no copy, so the
            // sessions they hold end on the answering thread, never here
            // (a session that ends removes itself from its listener's list).
            m_answerOn([batch = std::make_shared<std::vector<Done> >(std::move(dones)), acknowledged] {
                for (Done& done : *batch) done(acknowledged);
            });
            dones = std::vector<Done>();
        } else {
            for (Done& done : dones) done(acknowledged);
        }
        if (!acknowledged && m_spool == NULL && !stopping) {
            // A store that fails (a full disk) is not tried in a tight loop.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
}

void QVWriter::Drain() {
    const int64_t kFirstPause = 250, kLongestPause = 2000;
    // Refused that often on its own while the database answers, a report is
    // put to the test: the one after it alone, then it again.
    const int kRefusalsToTest = 3;
    int64_t pause = kFirstPause;
    std::vector<QVReportRow> rows;
    std::vector<bool> inserted;
    // After a batch the database refused while it answered: that many
    // reports one at a time, to find the one it refuses.
    size_t single = 0;
    int refusals = 0;
    const std::vector<QVRejectCount> none;
    const auto write = [&](std::vector<QVReportRow>& batch, std::string* error) {
        HashSources(batch, m_drainStore->SourceKey());
        const auto started = std::chrono::steady_clock::now();
        int64_t beyondCap = 0;
        if (!Timed(m_drainStarted, [&] { return m_drainStore->WriteBatch(batch, none, &inserted, &beyondCap, error); })) {
            return false;
        }
        CountStored(batch, inserted, beyondCap,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        return true;
    };
    const auto backOff = [&] { pause = std::min(std::max(pause * 2, kFirstPause), kLongestPause); };
    for (;;) {
        bool up;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // Nothing to do while the database takes reports and nothing is
            // spooled.
            m_drainWake.wait_for(lock, std::chrono::seconds(1),
                                 [this] { return m_stopping || !m_up || m_spool->Reports() > 0; });
            if (pause > 0) m_drainWake.wait_for(lock, std::chrono::milliseconds(pause), [this] { return m_stopping; });
            // What is spooled stays there for the next start: stopping is
            // not held up by a database that does not answer.
            if (m_stopping) return;
            up = m_up;
        }
        if (up && m_spool->Reports() == 0) continue;
        if (!up && !Timed(m_drainStarted, [this] { return m_drainStore->Healthy(); })) {
            backOff();
            continue;
        }
        std::string error;
        int64_t last = 0;
        if (!m_spool->Oldest(single > 0 ? 1 : m_options.drainBatch, &rows, &last, &error)) {
            Log(kLogError, "cannot drain the spool: %s", error.c_str());
            pause = kLongestPause;
            continue;
        }
        if (rows.empty()) {
            MarkUp();  // nothing left behind, and the database answers
            pause = kFirstPause;
            continue;
        }
        if (write(rows, &error)) {
            // Removed only once committed: a kill in between stores them
            // again, and each machine's times keep each once.
            if (!m_spool->RemoveThrough(last, &error)) Log(kLogError, "cannot empty the spool: %s", error.c_str());
            SpoolLevel();
            if (single > 0) single -= std::min(single, rows.size());
            refusals = 0;
            pause = 0;  // at once again while there is more
            continue;
        }
        backOff();
        if (!Timed(m_drainStarted, [this] { return m_drainStore->Healthy(); })) {
            MarkDown(error);
            single = 0;
            refusals = 0;
        } else if (rows.size() > 1) {
            Log(kLogWarning, "the database refused %zu spooled reports (%s): trying them one at a time", rows.size(),
                error.c_str());
            single = rows.size();
            refusals = 0;
        } else if (++refusals >= kRefusalsToTest) {
            refusals = 0;
            if (RefusedAlone(rows, last, error, write)) {
                if (single > 0) --single;
                pause = 0;
            } else {
                MarkDown(error);  // it takes no report: down for writing
                single = 0;
            }
        }
    }
}

template <class Write>
bool QVWriter::RefusedAlone(std::vector<QVReportRow>& suspect, int64_t place, const std::string& why, Write& write) {
    // The report after it, alone, then the suspect again: only a database
    // that takes the one and still refuses the other refuses the report,
    // and not writes for a while (a lock, a full disk, a standby).
    std::vector<QVReportRow> two;
    int64_t next = 0;
    std::string error;
    if (!m_spool->Oldest(2, &two, &next, &error) || two.size() < 2) return true;  // none to try yet: wait
    std::vector<QVReportRow> after(1, two[1]);
    if (!write(after, &error)) return false;
    if (!m_spool->Remove(next, &error)) Log(kLogError, "cannot empty the spool: %s", error.c_str());
    if (write(suspect, &error)) {
        if (!m_spool->RemoveThrough(place, &error)) Log(kLogError, "cannot empty the spool: %s", error.c_str());
    } else if (m_spool->SetAside(place, &error)) {
        Log(kLogError, "the database refuses a report (game %s, machine %s, time %s) while it takes others: %s; set"
            " aside in %s", suspect[0].gameId.c_str(), suspect[0].guid.c_str(), suspect[0].clientTime.c_str(),
            why.c_str(), m_spool->RefusedPath().c_str());
        m_metrics.SetAside(1);
    } else {
        Log(kLogError, "cannot set a report aside: %s", error.c_str());
    }
    SpoolLevel();
    return true;
}

}  // namespace Quorvel
