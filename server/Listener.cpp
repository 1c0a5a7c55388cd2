#include "server/Listener.h"

#include <stdlib.h>
#include <time.h>

#include <chrono>

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>

#include "server/Intake.h"

namespace Quorvel {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::string LocalDay(int64_t when) {
    const time_t t = static_cast<time_t>(when);
    struct tm local;
    char text[16] = "1970-01-01";
    if (localtime_r(&t, &local) != NULL) strftime(text, sizeof(text), "%Y-%m-%d", &local);
    return text;
}

namespace {

const size_t kHeaderLimit = 8 * 1024;
const size_t kBodyLimit = 4 * 1024;

int64_t Decimal(const std::string& digits) { return strtoll(digits.c_str(), NULL, 10); }

}  // namespace

class QVIntakeSession : public std::enable_shared_from_this<QVIntakeSession> {
public:
    QVIntakeSession(tcp::socket socket, QVIntakeListener& listener)
        : m_stream(std::move(socket)), m_listener(listener), m_reading(false) {}

    void SetPlace(std::list<std::weak_ptr<QVIntakeSession> >::iterator at) { m_place = at; }
    ~QVIntakeSession() { m_listener.Forget(m_place); }

    void Start() { Read(); }

    // Stopping: a connection waiting for a request is closed; one with a
    // request under way finishes it.
    void CloseIfIdle() {
        if (m_reading) {
            beast::error_code ignored;
            m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
            m_stream.socket().close(ignored);
        }
    }

private:
    void Read() {
        m_parser.emplace();
        m_parser->header_limit(kHeaderLimit);
        m_parser->body_limit(kBodyLimit);
        // The whole request, headers and body, within the deadline: a client
        // that sends a byte a second is cut off all the same.
        m_stream.expires_after(std::chrono::seconds(m_listener.Options().requestSeconds));
        m_reading = true;
        auto self = shared_from_this();
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self](beast::error_code error, size_t) { self->OnRead(error); });
    }

    void OnRead(beast::error_code error) {
        m_reading = false;
        if (error == http::error::end_of_stream || error == beast::error::timeout || error == asio::error::operation_aborted ||
            error == asio::error::connection_reset || error == asio::error::eof) {
            if (error == beast::error::timeout) m_listener.CountReject("timeout");
            return Close();
        }
        const unsigned version = m_parser->is_header_done() ? m_parser->get().version() : 11;
        if (error == http::error::body_limit) return Refuse(http::status::payload_too_large, "body_too_large", version);
        if (error == http::error::header_limit) {
            return Refuse(http::status::request_header_fields_too_large, "headers_too_large", version);
        }
        if (error) return Refuse(http::status::bad_request, "bad_http", version);
        Handle(m_parser->get());
    }

    void Handle(const http::request<http::string_body>& request) {
        const beast::string_view target = request.target();
        const bool intake = target == "/micro_stats" || target == "micro_stats";
        if (!intake) return Refuse(http::status::not_found, "not_found", request.version());
        if (request.method() != http::verb::post) {
            return Refuse(http::status::method_not_allowed, "wrong_method", request.version());
        }
        QVReportFields fields;
        const QVIntakeVerdict verdict = TakeIn(request.body(), m_listener.Options().key, m_listener.ToUtf8(), &fields);
        if (verdict == kIntakeBadSignature) return Refuse(http::status::forbidden, VerdictReason(verdict), request.version());
        if (verdict != kIntakeAccepted) return Refuse(http::status::bad_request, VerdictReason(verdict), request.version());

        QVReportRow row;
        row.receivedAt = static_cast<int64_t>(time(NULL));
        row.day = LocalDay(row.receivedAt);
        row.gameId = fields.gameId;
        row.version = fields.version;
        row.guid = fields.guid;
        row.clientTime = fields.time;
        row.osMajor = Decimal(fields.osMajor);
        row.osMinor = Decimal(fields.osMinor);
        row.system = fields.system;
        row.flash = fields.flash;
        row.body = request.body();
        const unsigned version = request.version();
        const bool keepAlive = request.keep_alive();
        auto self = shared_from_this();
        // The answer waits for the commit; until then this connection's
        // thread keeps running for it.
        auto work = std::make_shared<asio::executor_work_guard<asio::any_io_executor> >(m_stream.get_executor());
        // The writer's thread only passes the session on: its last reference
        // is always dropped on this one.
        const bool queued =
            m_listener.Writer().Submit(std::move(row), [self, work, version, keepAlive](bool stored) mutable {
                auto executor = self->m_stream.get_executor();
                asio::post(executor, [self = std::move(self), work = std::move(work), version, keepAlive, stored] {
                    if (stored) {
                        self->Answer(http::status::ok, "ok\n", version, keepAlive);
                    } else {
                        self->Answer(http::status::service_unavailable, "not stored\n", version, false);
                    }
                });
            });
        if (!queued) {
            m_listener.CountReject("overloaded");
            Answer(http::status::service_unavailable, "overloaded\n", version, false);
        }
    }

    void Refuse(http::status status, const char* reason, unsigned version) {
        m_listener.CountReject(reason);
        Answer(status, std::string(reason) + "\n", version, false);
    }

    void Answer(http::status status, const std::string& text, unsigned version, bool keepAlive) {
        auto response = std::make_shared<http::response<http::string_body> >(status, version == 10 ? 10 : 11);
        response->set(http::field::content_type, "text/plain");
        if (status == http::status::service_unavailable) response->set(http::field::retry_after, "1");
        if (status == http::status::method_not_allowed) response->set(http::field::allow, "POST");
        response->body() = text;
        // HTTP/1.0 is answered and closed, as the installer expects.
        response->keep_alive(keepAlive && version != 10 && !m_listener.Stopping());
        response->prepare_payload();
        m_stream.expires_after(std::chrono::seconds(m_listener.Options().requestSeconds));
        auto self = shared_from_this();
        http::async_write(m_stream, *response, [self, response](beast::error_code error, size_t) {
            if (error || !response->keep_alive()) return self->Close();
            // What is left in the buffer is the next pipelined request.
            self->Read();
        });
    }

    void Close() {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.close();
    }

    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    boost::optional<http::request_parser<http::string_body> > m_parser;
    QVIntakeListener& m_listener;
    std::list<std::weak_ptr<QVIntakeSession> >::iterator m_place;
    bool m_reading;

    friend class QVIntakeListener;
};

QVIntakeListener::QVIntakeListener(asio::io_context& io, QVWriter& writer, const QVIntakeOptions& options)
    : m_io(io), m_writer(writer), m_options(options), m_toUtf8(options.codePage), m_acceptor(io), m_pause(io), m_stopping(false) {}

QVIntakeListener::~QVIntakeListener() {}

bool QVIntakeListener::Listen(std::string* error) {
    beast::error_code ec;
    const asio::ip::address address = asio::ip::make_address(m_options.address, ec);
    if (ec) {
        *error = "not an address: " + m_options.address;
        return false;
    }
    const tcp::endpoint endpoint(address, m_options.port);
    m_acceptor.open(endpoint.protocol(), ec);
    // A restart right after heavy traffic finds its port in TIME_WAIT.
    if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) m_acceptor.bind(endpoint, ec);
    if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + m_options.address + ":" + std::to_string(m_options.port) + ": " + ec.message();
        return false;
    }
    Accept();
    return true;
}

void QVIntakeListener::Accept() {
    m_acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || m_stopping) return;
        if (!error) {
            if (m_sessions.size() >= m_options.maxConnections) {
                // Refused, not queued: the installer gives up on its own.
                CountReject("too_many_connections");
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                socket.set_option(tcp::no_delay(true), error);
                auto session = std::make_shared<QVIntakeSession>(std::move(socket), *this);
                m_sessions.push_front(session);
                session->SetPlace(m_sessions.begin());
                session->Start();
            }
            return Accept();
        }
        // Out of descriptors or memory: the connection stays queued and
        // accepting again at once would fail at once, spinning.
        CountReject("accept_failed");
        m_pause.expires_after(std::chrono::milliseconds(50));
        m_pause.async_wait([this](beast::error_code waited) {
            if (!waited && !m_stopping) Accept();
        });
    });
}

void QVIntakeListener::Forget(std::list<std::weak_ptr<QVIntakeSession> >::iterator at) { m_sessions.erase(at); }

void QVIntakeListener::Stop() {
    m_stopping = true;
    beast::error_code ignored;
    m_acceptor.close(ignored);
    m_pause.cancel();
    for (const std::weak_ptr<QVIntakeSession>& weak : m_sessions) {
        if (std::shared_ptr<QVIntakeSession> session = weak.lock()) session->CloseIfIdle();
    }
}

void QVIntakeListener::CountReject(const char* reason) { m_writer.CountReject(LocalDay(time(NULL)), reason); }

}  // namespace Quorvel
