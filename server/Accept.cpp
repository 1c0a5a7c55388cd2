#include "server/Accept.h"

#include <chrono>

namespace Quorvel {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

QVSessionList::Place QVSessionList::Add(const std::shared_ptr<QVSession>& session) {
    m_sessions.push_front(session);
    ++m_size;
    return m_sessions.begin();
}

void QVSessionList::Remove(Place place) {
    m_sessions.erase(place);
    --m_size;
}

void QVSessionList::ShutAll(bool idleOnly) {
    // Shutting may end a session, which removes it from the list.
    std::list<std::shared_ptr<QVSession> > alive;
    for (const std::weak_ptr<QVSession>& weak : m_sessions) {
        if (std::shared_ptr<QVSession> session = weak.lock()) alive.push_back(session);
    }
    for (const std::shared_ptr<QVSession>& session : alive) session->Shut(idleOnly);
}

bool QVSessionList::ShutOldestIdle() {
    // The latest touched are at the front.
    for (auto it = m_sessions.rbegin(); it != m_sessions.rend(); ++it) {
        std::shared_ptr<QVSession> session = it->lock();
        if (session && session->Idle()) {
            session->Shut(false);
            return true;
        }
    }
    return false;
}

QVAcceptor::QVAcceptor(asio::io_context& io, const std::string& what, size_t maxConnections, QVSessionList& sessions,
                       Refused refused)
    : m_what(what), m_maxConnections(maxConnections), m_refused(std::move(refused)), m_acceptor(io), m_pause(io),
      m_sessions(sessions), m_stopped(false) {}

bool QVAcceptor::Listen(const std::string& address, uint16_t port, std::string* error) {
    boost::system::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        *error = "not an address: " + address;
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    m_acceptor.open(endpoint.protocol(), ec);
    // A restart right after heavy traffic finds its port in TIME_WAIT.
    if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) m_acceptor.bind(endpoint, ec);
    if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + " (" + m_what + "): " + ec.message();
        return false;
    }
    return true;
}

void QVAcceptor::Start(Make make) {
    m_make = std::move(make);
    Accept();
}

void QVAcceptor::Accept() {
    m_acceptor.async_accept(m_peer, [this](boost::system::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || m_stopped) return;
        if (!error) {
            if (m_sessions.Size() < m_maxConnections) {
                m_make(std::move(socket), m_peer);
            } else if (m_sessions.ShutOldestIdle()) {
                m_refused("too_many_connections");
                m_make(std::move(socket), m_peer);
            } else {
                // Refused, not queued: a client gives up on its own.
                m_refused("too_many_connections");
                boost::system::error_code ignored;
                socket.close(ignored);
            }
            return Accept();
        }
        // Out of descriptors or memory: the connection stays queued, and
        // accepting again at once would fail at once, spinning.
        m_refused("accept_failed");
        m_pause.expires_after(std::chrono::milliseconds(50));
        m_pause.async_wait([this](boost::system::error_code waited) {
            if (!waited && !m_stopped) Accept();
        });
    });
}

void QVAcceptor::Stop(bool idleOnly) {
    m_stopped = true;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    m_pause.cancel();
    m_sessions.ShutAll(idleOnly);
}

}  // namespace Quorvel
