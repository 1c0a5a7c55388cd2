#ifndef QV_SERVER_ACCEPT_H
#define QV_SERVER_ACCEPT_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace Quorvel {

// One client connection of a listener, as the listener sees it.
class QVSession {
public:
    virtual ~QVSession() {}
    // Stopping: idleOnly closes a connection that has no request under way;
    // otherwise it is closed whatever it does.
    virtual void Shut(bool idleOnly) = 0;
    // Waiting for a request: nothing of it is lost when it is shut.
    virtual bool Idle() const = 0;
};

// The open connections of one listener, for its cap and its shutdown. Used
// on the listener's thread; Size may be read from any.
class QVSessionList {
public:
    typedef std::list<std::weak_ptr<QVSession> >::iterator Place;

    QVSessionList() : m_size(0) {}
    QVSessionList(const QVSessionList&) = delete;
    QVSessionList& operator=(const QVSessionList&) = delete;

    Place Add(const std::shared_ptr<QVSession>& session);
    // From the session's destructor.
    void Remove(Place place);
    // A session that starts waiting for a request: the newest again.
    void Touch(Place place) { m_sessions.splice(m_sessions.begin(), m_sessions, place); }
    void ShutAll(bool idleOnly);
    // Shuts the connection that has waited longest for its request (the
    // one touched longest ago); false when every one has a request under way.
    bool ShutOldestIdle();
    size_t Size() const { return m_size; }

private:
    std::list<std::weak_ptr<QVSession> > m_sessions;
    std::atomic<size_t> m_size;
};

// Binds a listener and accepts on it until stopped: each connection goes
// to make, which starts its session. At the cap, the connection that has
// waited longest for its request makes room (clients that hold connections
// open cannot keep new ones out); with none waiting, the new one is closed
// at once. Either is counted as refused. A failed accept (descriptors or
// memory used up) waits a moment instead of spinning.
class QVAcceptor {
public:
    // The peer's address comes with the socket, from the accept itself.
    typedef std::function<void(boost::asio::ip::tcp::socket, const boost::asio::ip::tcp::endpoint& peer)> Make;
    typedef std::function<void(const char* reason)> Refused;

    // what names the listener in messages ("dashboard"); sessions holds the
    // open connections, and outlives the io_context they run on.
    QVAcceptor(boost::asio::io_context& io, const std::string& what, size_t maxConnections, QVSessionList& sessions,
               Refused refused);
    QVAcceptor(const QVAcceptor&) = delete;
    QVAcceptor& operator=(const QVAcceptor&) = delete;

    // Binds and listens; false, with a one-line message, when it cannot.
    bool Listen(const std::string& address, uint16_t port, std::string* error);
    void Start(Make make);
    // Accepts no more; sessions are shut as ShutAll says.
    void Stop(bool idleOnly);

private:
    void Accept();

    std::string m_what;
    size_t m_maxConnections;
    Refused m_refused;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::ip::tcp::endpoint m_peer;  // of the accept under way
    boost::asio::steady_timer m_pause;
    QVSessionList& m_sessions;
    Make m_make;
    bool m_stopped;
};

}  // namespace Quorvel

#endif
