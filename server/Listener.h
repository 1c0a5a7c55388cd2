#ifndef QV_SERVER_LISTENER_H
#define QV_SERVER_LISTENER_H

#include <stddef.h>
#include <stdint.h>

#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/Convert.h"
#include "server/Writer.h"

namespace Quorvel {

struct QVIntakeOptions {
    std::string address;
    uint16_t port;
    std::string key;
    std::string codePage;
    size_t maxConnections;
    int requestSeconds;  // the whole request must arrive within this
    QVIntakeOptions() : port(80), maxConnections(4096), requestSeconds(10) {}
};

class QVIntakeSession;

// The public listener: POST /micro_stats (also without the slash), checked,
// verified and stored before its 200. One thread runs it; no thread per
// client. Slow or idle clients are cut off at the request deadline, and
// connections above the maximum are closed at once rather than queued.
class QVIntakeListener {
public:
    QVIntakeListener(boost::asio::io_context& io, QVWriter& writer, const QVIntakeOptions& options);
    ~QVIntakeListener();

    // Binds and starts accepting; false, with a message, when it cannot.
    bool Listen(std::string* error);
    // Stops accepting and closes idle connections; requests under way are
    // answered, then their connections close.
    void Stop();
    bool Stopping() const { return m_stopping; }

    QVWriter& Writer() { return m_writer; }
    QVIconv& ToUtf8() { return m_toUtf8; }
    const QVIntakeOptions& Options() const { return m_options; }
    void CountReject(const char* reason);
    void Forget(std::list<std::weak_ptr<QVIntakeSession> >::iterator at);

private:
    void Accept();

    boost::asio::io_context& m_io;
    QVWriter& m_writer;
    QVIntakeOptions m_options;
    QVIconv m_toUtf8;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_pause;  // after a failed accept
    std::list<std::weak_ptr<QVIntakeSession> > m_sessions;
    bool m_stopping;
};

// The server's local date of a time, YYYY-MM-DD: days count by it.
std::string LocalDay(int64_t when);

}  // namespace Quorvel

#endif
