#ifndef QV_SERVER_DASHBOARD_H
#define QV_SERVER_DASHBOARD_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/Accept.h"
#include "server/Store.h"

namespace Quorvel {

class QVMetrics;
class QVWriter;

struct QVDashboardOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;
    size_t maxConnections = 256;
    int requestSeconds = 10;      // the whole request, and then writing its answer
    int exportWriteSeconds = 30;  // each piece of an export
    bool accessLog = false;
};

// The dashboard's listener, never the public one: "/", "/games", the JSON
// API under "/api/v1/", "/export.csv", "/healthz" and "/metrics". Its sessions
// run on a thread of their own and never block: what needs the database
// goes to a reader thread with a store connection of its own, and the
// answer comes back when it is ready, so a slow query, a frozen database
// or a client that stops reading delays no one else. /healthz and /metrics
// never wait for the database.
class QVDashboard {
public:
    // intake: the public listener's connections, for the metrics (may be
    // null).
    QVDashboard(std::unique_ptr<QVStore> store, QVWriter& writer, QVMetrics& metrics, const QVSessionList* intake,
                const QVDashboardOptions& options);
    ~QVDashboard();
    QVDashboard(const QVDashboard&) = delete;
    QVDashboard& operator=(const QVDashboard&) = delete;

    bool Listen(std::string* error);
    void Start();
    // Stops accepting and closes every connection, from any thread; Join
    // waits until its threads have ended.
    void Close();
    void Join();

    // For the sessions, on the dashboard's thread.
    boost::asio::io_context& Io() { return m_io; }
    QVSessionList& Sessions() { return m_sessions; }
    const QVDashboardOptions& Options() const { return m_options; }
    QVWriter& Writer() { return m_writer; }
    std::string MetricsText();
    // Runs job on the reader thread with the store, or with null when it
    // cannot have it (stopping, or waited too long); false when too many
    // wait already, or when stopping.
    bool Read(std::function<void(QVStore* store)> job);
    // An export starts if fewer than most are under way; each that started
    // ends once.
    bool ExportStarted(int most) { return m_exports < most ? (++m_exports, true) : false; }
    void ExportEnded() { --m_exports; }

private:
    void ReaderLoop();
    // Stopping: until cut, answers under way go out; then any left is shut.
    void WatchStop(std::chrono::steady_clock::time_point cut);

    // First, so gone last: what an io_context still holds when it goes ends
    // sessions, which leave this list.
    QVSessionList m_sessions;
    boost::asio::io_context m_io;
    boost::asio::steady_timer m_stopWatch;
    std::unique_ptr<QVStore> m_store;
    QVWriter& m_writer;
    QVMetrics& m_metrics;
    const QVSessionList* m_intake;
    const QVDashboardOptions m_options;
    QVAcceptor m_acceptor;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::function<void(QVStore*)> > > m_jobs;
    bool m_stopping;
    int m_exports = 0;  // on the dashboard's thread
    std::thread m_thread, m_reader;
};

struct QVDashboardData;

// What a page ("/", "/games") or the API ("/api/v1/summary",
// "/api/v1/games") shows, read from the store: 200, or the status of a
// refusal (400, 503) with its text in problem.
int ReadDashboard(QVStore& store, const std::string& path, std::map<std::string, std::string> query, int64_t now,
                  QVDashboardData* data, std::string* problem);

// The query of a request target, decoded: "a=1&b=%E6%98%9F" → {a: 1, b: 星}.
std::map<std::string, std::string> QueryOf(const std::string& target);

}  // namespace Quorvel

#endif
