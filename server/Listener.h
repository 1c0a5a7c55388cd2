#ifndef QV_SERVER_LISTENER_H
#define QV_SERVER_LISTENER_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/Accept.h"
#include "server/Convert.h"
#include "server/Sources.h"

namespace Quorvel {

class QVMetrics;
class QVWriter;

struct QVIntakeOptions {
    std::string address;
    uint16_t port;
    std::string key;
    std::string codePage;
    size_t maxConnections;
    int requestSeconds;  // the whole request must arrive within this
    bool accessLog;
    std::vector<std::string> trustedProxies;
    QVSourceLimitOptions limits;
    QVIntakeOptions() : port(80), maxConnections(4096), requestSeconds(10), accessLog(false) {}
};

// The public listener: POST /micro_stats (also without the slash), checked,
// verified and made durable before its 200. One thread runs it; no thread
// per client. Slow or idle clients are cut off at the request deadline, and
// connections above the maximum are closed at once rather than queued.
// Refusals are counted per day for the dashboard, in the metrics, and
// summed up in the log at most once a minute.
class QVIntakeListener {
public:
    QVIntakeListener(boost::asio::io_context& io, QVWriter& writer, QVMetrics& metrics, const QVIntakeOptions& options);
    QVIntakeListener(const QVIntakeListener&) = delete;
    QVIntakeListener& operator=(const QVIntakeListener&) = delete;

    // Binds and starts accepting; false, with a message, when it cannot.
    bool Listen(std::string* error);
    // Stops accepting and closes idle connections; requests under way are
    // answered, then their connections close.
    void Stop();
    // Closes every connection, whatever it is doing.
    void Cut();
    bool Stopping() const { return m_stopping; }

    QVWriter& Writer() { return m_writer; }
    QVIconv& ToUtf8() { return m_toUtf8; }
    QVIconv& FromUtf8() { return m_fromUtf8; }
    const QVIntakeOptions& Options() const { return m_options; }
    QVSessionList& Sessions() { return m_sessions; }
    QVSourceLimits& Limits() { return m_limits; }
    void CountReject(const char* reason);
    // A report held for review, for the summary in the log.
    void CountHeld(const std::string& source);

private:
    void Summarize();
    void LogRefusals(const char* when);

    QVWriter& m_writer;
    QVMetrics& m_metrics;
    QVIntakeOptions m_options;
    QVIconv m_toUtf8, m_fromUtf8;
    QVSessionList m_sessions;
    QVAcceptor m_acceptor;
    QVSourceLimits m_limits;
    boost::asio::steady_timer m_summary;
    std::map<std::string, int64_t> m_minute;      // refusals since the last summary
    std::map<std::string, int64_t> m_heldMinute;  // held reports by source, as many sources as are logged
    static const size_t kHeldSourcesLogged = 10000;
    bool m_stopping;
};

}  // namespace Quorvel

#endif
