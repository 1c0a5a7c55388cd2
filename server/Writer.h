#ifndef QV_SERVER_WRITER_H
#define QV_SERVER_WRITER_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "server/Store.h"

namespace Quorvel {

class QVMetrics;
class QVSpool;

// What /healthz says, read from the writer's state, never from the
// database.
struct QVHealth {
    bool ok;
    std::string text;  // one line
};

// Where the writer stands, for the health check and the metrics.
struct QVWriterState {
    bool databaseUp = true;
    int64_t downSince = 0;          // server time, while the database is down
    std::string lastError;          // why it is down
    int64_t commitRunningMs = 0;    // how long the commit under way has waited
    bool spooling = false;          // a spool is configured
    size_t spoolReports = 0;
    uint64_t spoolBytes = 0, spoolMaxBytes = 0;
};

// /healthz from the writer's state: 503 while the database is down, while a
// commit has waited longer than stallMs, or while the spool is half full.
QVHealth JudgeHealth(const QVWriterState& state, int64_t stallMs);

struct QVWriterOptions {
    size_t capacity = 8192;  // reports waiting; above it, Submit refuses
    size_t batch = 512;      // reports in one transaction at most
    size_t drainBatch = 2000;
    int64_t stallMs = 500;   // a commit waiting this long makes /healthz 503
    bool hashSources = false;  // store a keyed hash of each source address
};

// The one thread that writes the reports to the store. Reports that arrive
// together go into one transaction (group commit): each is acknowledged
// once its transaction has committed, so durability does not cost
// throughput. When the database cannot take a batch, the batch goes to the
// spool (when there is one) and is acknowledged once durable there; a
// second thread, with a store connection of its own, drains the spool into
// the database, oldest first, once it answers again. While the spool holds
// reports, new ones join it behind them.
class QVWriter {
public:
    // done(acknowledged) runs once the report is durable (in the database
    // or the spool) or cannot be: on the thread AnswerOn names, else on a
    // writer thread.
    typedef std::function<void(bool acknowledged)> Done;
    // Hands work to the requesters' thread (asio::post to its io_context).
    typedef std::function<void(std::function<void()>)> Poster;

    // spool and drainStore: both or neither.
    QVWriter(QVStore& store, QVSpool* spool, QVStore* drainStore, QVMetrics& metrics, const QVWriterOptions& options);
    ~QVWriter() { Stop(); }
    QVWriter(const QVWriter&) = delete;
    QVWriter& operator=(const QVWriter&) = delete;

    // With a database that did not answer at the start: reports go to the
    // spool until it does. Before Start.
    void StartDown(const std::string& error);
    // The dones of a batch run there, handed over once for the batch: that
    // thread wakes once, not once per report. Before Start.
    void AnswerOn(Poster poster) { m_answerOn = std::move(poster); }
    void Start();
    // Stopping from now on: the drainer ends (what is spooled stays for the
    // next start) and a database that is down is not waited for; reports
    // are still taken until Stop.
    void BeginStop();
    // Writes (or spools) what is queued, then ends the threads.
    void Stop();
    // False when the queue is full: the report is not taken.
    bool Submit(QVReportRow row, Done done);
    // Never blocks; counted with the next batch.
    void CountReject(const std::string& day, const std::string& reason);
    size_t Queued();
    QVWriterState State();
    QVHealth Health();

private:
    void Run();
    void Drain();
    // A spooled report the database refused alone (at place in the spool):
    // set aside if the database takes the next one and still refuses it;
    // false when it took neither.
    template <class Write>
    bool RefusedAlone(std::vector<QVReportRow>& suspect, int64_t place, const std::string& why, Write& write);
    // Runs work with started set while it runs (m_commitStarted or
    // m_drainStarted): how long the database has kept it waiting.
    template <class Work>
    bool Timed(int64_t& started, Work work);
    // Commits to the database; false when it could not.
    bool Commit(std::vector<QVReportRow>& rows, std::vector<QVRejectCount>& rejects);
    bool SpoolBatch(const std::vector<QVReportRow>& rows);
    // beyondCap: the new reports held as their machines' times were full.
    void CountStored(const std::vector<QVReportRow>& rows, const std::vector<bool>& inserted, int64_t beyondCap,
                     double seconds);
    void HashSources(std::vector<QVReportRow>& rows, const std::string& key);
    void MarkDown(const std::string& error);
    void MarkUp();
    void SpoolLevel();

    QVStore& m_store;
    QVSpool* m_spool;
    QVStore* m_drainStore;
    QVMetrics& m_metrics;
    const QVWriterOptions m_options;
    Poster m_answerOn;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_drainWake;
    std::deque<std::pair<QVReportRow, Done> > m_queue;
    std::map<std::pair<std::string, std::string>, int64_t> m_rejects;
    bool m_stopping, m_exit;
    // Guarded by m_mutex:
    bool m_up;
    int64_t m_downSince;
    std::string m_lastError;
    int64_t m_commitStarted;  // monotonic ms; 0 when no commit is under way
    int64_t m_drainStarted;   // the same, for the drainer's waits
    int m_spoolWarned;        // the last fill level logged, in percent
    int64_t m_spooledWhileDown;
    std::thread m_thread, m_drainer;
};

}  // namespace Quorvel

#endif
