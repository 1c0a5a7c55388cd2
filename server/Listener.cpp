#include "server/Listener.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>

#include "server/Days.h"
#include "server/Intake.h"
#include "server/Log.h"
#include "server/Metrics.h"
#include "server/Sources.h"
#include "server/Writer.h"

namespace Quorvel {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

const size_t kHeaderLimit = 8 * 1024;
const size_t kBodyLimit = 4 * 1024;

int64_t Decimal(const std::string& digits) { return strtoll(digits.c_str(), NULL, 10); }

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

class QVIntakeSession : public QVSession, public std::enable_shared_from_this<QVIntakeSession> {
public:
    QVIntakeSession(tcp::socket socket, const tcp::endpoint& peer, QVIntakeListener& listener)
        : m_stream(std::move(socket)), m_peer(peer.address()), m_port(peer.port()), m_listener(listener),
          m_reading(false) {}
    ~QVIntakeSession() override { m_listener.Sessions().Remove(m_place); }

    void Start() {
        m_place = m_listener.Sessions().Add(shared_from_this());
        Read();
    }

    // Stopping: a connection waiting for a request is closed; one with a
    // request under way finishes it, unless it is cut. One whose report is
    // with the writer is never cut: the writer answers within its own
    // deadline, and the report may be committed already.
    bool Idle() const override { return m_reading && !m_waiting && !m_shut; }
    void Shut(bool idleOnly) override {
        if ((idleOnly && !m_reading) || m_waiting) return;
        m_shut = true;  // a request read meanwhile is not taken: nobody would hear its answer
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();  // the socket and the stream's deadline timer, which would keep the thread busy
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
        m_listener.Sessions().Touch(m_place);
        m_started = std::chrono::steady_clock::now();
        auto self = shared_from_this();
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self](beast::error_code error, size_t) { self->OnRead(error); });
    }

    void OnRead(beast::error_code error) {
        m_reading = false;
        if (m_shut) return Close();
        if (error == http::error::end_of_stream || error == beast::error::timeout || error == asio::error::operation_aborted ||
            error == asio::error::connection_reset || error == asio::error::eof) {
            // A connection kept open with no request begun (a proxy's pool,
            // a health check) is let go quietly: only a request cut short
            // counts as refused.
            if (error == beast::error::timeout && (m_parser->got_some() || m_buffer.size() > 0)) {
                m_listener.CountReject("timeout");
            }
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
        row.sign = fields.sign;
        row.body = request.body();
        // Kept as its fields alone when they give the body back byte for
        // byte (nearly always); whole otherwise.
        QVReportFields stored = fields;
        stored.osMajor = std::to_string(row.osMajor);
        stored.osMinor = std::to_string(row.osMinor);
        row.bodyRebuilds = RebuildBody(stored, m_listener.FromUtf8()) == row.body;
        // Where it came from, and whether that source has sent more than its
        // share: held for review, or beyond the day's cap refused.
        std::string forwarded;
        const auto hops = request.equal_range("X-Forwarded-For");
        for (auto field = hops.first; field != hops.second; ++field) {
            forwarded += (forwarded.empty() ? "" : ",") + std::string(field->value());
        }
        row.source = SourceAddress(m_peer.to_string(), forwarded, m_listener.Options().trustedProxies);
        const QVSourceLimits::Verdict limit = m_listener.Limits().Take(row.source, SteadyMs(), row.day);
        if (limit == QVSourceLimits::kRefuse) return Refuse(http::status::too_many_requests, "rate_limited", request.version());
        row.held = limit == QVSourceLimits::kHold;
        if (row.held) m_listener.CountHeld(row.source);
        const unsigned version = request.version();
        const bool keepAlive = request.keep_alive();
        auto self = shared_from_this();
        // The answer waits for the commit; until then this connection's
        // thread keeps running for it.
        auto work = std::make_shared<asio::executor_work_guard<asio::any_io_executor> >(m_stream.get_executor());
        // Answered on this thread (the writer's AnswerOn), where the
        // session's last reference is dropped too.
        const bool queued =
            m_listener.Writer().Submit(std::move(row), [self, work, version, keepAlive](bool stored) {
                self->m_waiting = false;
                if (stored) {
                    self->Answer(http::status::ok, "ok\n", version, keepAlive);
                } else {
                    self->Refuse(http::status::service_unavailable, "not_stored", version);
                }
            });
        m_waiting = queued;
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
        if (status == http::status::too_many_requests) {
            // The source's day is used up: until the server's next midnight.
            const int64_t now = static_cast<int64_t>(time(NULL));
            response->set(http::field::retry_after, std::to_string(NextLocalTime(now, 0, 0) - now));
        }
        if (status == http::status::method_not_allowed) response->set(http::field::allow, "POST");
        response->body() = text;
        // HTTP/1.0 is answered and closed, as the installer expects.
        response->keep_alive(keepAlive && version != 10 && !m_listener.Stopping());
        if (response->keep_alive() && !m_noDelay) {
            // The next answer on this connection goes out without waiting
            // for this one's acknowledgement.
            beast::error_code ignored;
            m_stream.socket().set_option(tcp::no_delay(true), ignored);
            m_noDelay = true;
        }
        response->prepare_payload();
        m_stream.expires_after(std::chrono::seconds(m_listener.Options().requestSeconds));
        auto self = shared_from_this();
        http::async_write(m_stream, *response, [self, response, status](beast::error_code error, size_t sent) {
            if (self->m_listener.Options().accessLog) self->LogRequest(static_cast<int>(status), sent);
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

    void LogRequest(int status, size_t sent) {
        std::string line = "-";
        if (m_parser && m_parser->is_header_done()) {
            const auto& request = m_parser->get();
            line = std::string(request.method_string()) + " " + std::string(request.target()) +
                   (request.version() == 10 ? " HTTP/1.0" : " HTTP/1.1");
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
        // From the accept: a client gone by now has no remote endpoint.
        LogAccess("intake", m_peer.to_string() + ":" + std::to_string(m_port), line, status, sent, seconds);
    }

    beast::tcp_stream m_stream;
    const asio::ip::address m_peer;
    const uint16_t m_port;  // for the access log
    beast::flat_buffer m_buffer;
    boost::optional<http::request_parser<http::string_body> > m_parser;
    QVIntakeListener& m_listener;
    QVSessionList::Place m_place;
    bool m_reading, m_waiting = false, m_noDelay = false, m_shut = false;
    std::chrono::steady_clock::time_point m_started;
};

QVIntakeListener::QVIntakeListener(asio::io_context& io, QVWriter& writer, QVMetrics& metrics,
                                   const QVIntakeOptions& options)
    : m_writer(writer), m_metrics(metrics), m_options(options), m_toUtf8(options.codePage),
      m_fromUtf8("UTF-8", options.codePage),
      m_acceptor(io, "reports", options.maxConnections, m_sessions, [this](const char* reason) { CountReject(reason); }),
      m_limits(options.limits), m_summary(io), m_stopping(false) {}

bool QVIntakeListener::Listen(std::string* error) {
    if (!m_acceptor.Listen(m_options.address, m_options.port, error)) return false;
    m_acceptor.Start([this](tcp::socket socket, const tcp::endpoint& peer) {
        std::make_shared<QVIntakeSession>(std::move(socket), peer, *this)->Start();
    });
    Summarize();
    return true;
}

void QVIntakeListener::Summarize() {
    m_summary.expires_after(std::chrono::minutes(1));
    m_summary.async_wait([this](beast::error_code error) {
        if (error || m_stopping) return;
        LogRefusals("in the last minute");
        Summarize();
    });
}

void QVIntakeListener::LogRefusals(const char* when) {
    if (!m_minute.empty()) {
        std::string counts;
        for (const auto& r : m_minute) counts += (counts.empty() ? "" : ", ") + std::to_string(r.second) + " " + r.first;
        Log(kLogInfo, "refused %s: %s", when, counts.c_str());
        m_minute.clear();
    }
    if (!m_heldMinute.empty()) {
        // The sources that sent most, a few of them.
        std::vector<std::pair<int64_t, std::string> > most;
        int64_t total = 0;
        for (const auto& h : m_heldMinute) {
            most.emplace_back(h.second, h.first);
            total += h.second;
        }
        std::sort(most.rbegin(), most.rend());
        std::string top;
        for (size_t i = 0; i < most.size() && i < 3; ++i) {
            top += (top.empty() ? "" : ", ") + most[i].second + ": " + std::to_string(most[i].first);
        }
        Log(kLogWarning, "held for review %s: %lld reports from %zu%s %s beyond their rate (%s)", when,
            static_cast<long long>(total), most.size(), m_heldMinute.size() >= kHeldSourcesLogged ? " or more" : "",
            most.size() == 1 ? "source" : "sources", top.c_str());
        m_heldMinute.clear();
    }
}

void QVIntakeListener::CountHeld(const std::string& source) {
    if (m_heldMinute.size() < kHeldSourcesLogged || m_heldMinute.count(source)) m_heldMinute[source] += 1;
}

void QVIntakeListener::Stop() {
    m_stopping = true;
    m_summary.cancel();
    m_acceptor.Stop(true);
    LogRefusals("since the last summary");
}

void QVIntakeListener::Cut() { m_sessions.ShutAll(false); }

void QVIntakeListener::CountReject(const char* reason) {
    m_writer.CountReject(LocalDay(time(NULL)), reason);
    m_metrics.Refused(reason);
    m_minute[reason] += 1;
}

}  // namespace Quorvel
