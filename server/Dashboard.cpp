#include "server/Dashboard.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>

#include "server/Api.h"
#include "server/Csv.h"
#include "server/Days.h"
#include "server/Log.h"
#include "server/Metrics.h"
#include "server/Page.h"
#include "server/Writer.h"

namespace Quorvel {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

const size_t kHeaderLimit = 8 * 1024;
const size_t kExportPage = 2000;  // rows read, and written, at a time
const size_t kWaitingReads = 64;  // requests waiting for the reader; above, 503
// Exports at a time; more get 503. Each takes the reader a page at a time,
// so a crowd of them would keep pages waiting.
const int kMostExports = 4;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> QueryOf(const std::string& target) {
    std::map<std::string, std::string> query;
    const size_t mark = target.find('?');
    if (mark == std::string::npos) return query;
    size_t start = mark + 1;
    while (start <= target.size()) {
        size_t end = target.find('&', start);
        if (end == std::string::npos) end = target.size();
        const std::string pair = target.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (!pair.empty()) {
            query[PercentDecode(pair.substr(0, equals))] =
                equals == std::string::npos ? std::string() : PercentDecode(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return query;
}


// The page asked for (from 0): digits from 1 to a million, 0 when not
// asked; false for anything else.
bool PageAsked(const std::string& number, size_t* page) {
    if (number.empty()) {
        *page = 0;
        return true;
    }
    if (number.size() > 7 || number.find_first_not_of("0123456789") != std::string::npos) return false;
    const long n = atol(number.c_str());
    if (n < 1 || n > 1000000) return false;
    *page = static_cast<size_t>(n - 1);
    return true;
}

int ReadDashboard(QVStore& store, const std::string& path, std::map<std::string, std::string> query, int64_t now,
                  QVDashboardData* d, std::string* problem) {
    const bool api = path.compare(0, 8, "/api/v1/") == 0;
    d->overview = path == "/games" || path == "/api/v1/games";
    d->today = LocalDay(now);
    // The period: the last 30 days unless asked; both ends inclusive.
    d->to = query.count("to") && !query["to"].empty() ? query["to"] : d->today;
    int32_t from = 0, to = 0;
    if (!DayNumber(d->to, &to)) {
        *problem = "to is a date: YYYY-MM-DD";
        return 400;
    }
    d->from = query.count("from") && !query["from"].empty() ? query["from"] : DayText(std::max(0, to - 29));
    if (!DayNumber(d->from, &from)) {
        *problem = "from is a date: YYYY-MM-DD";
        return 400;
    }
    if (from > to) {
        *problem = "from is after to";
        return 400;
    }
    // Every day of a period is drawn and sent: a period of centuries would
    // hold the reader, and every request behind it, for a minute.
    if (from < 0 || to - from >= kLongestPeriod) {
        *problem = "a period lies within 1970-01-01 and ten years (" + std::to_string(kLongestPeriod) + " days)";
        return 400;
    }
    d->previousTo = DayText(from - 1);
    d->previousFrom = DayText(from - (to - from + 1));
    std::vector<std::pair<std::string, int64_t> > active;
    if (!store.Games(&d->games) || !store.Names(&d->names) || !store.PeriodGames(d->from, d->to, &active)) {
        *problem = "the database does not answer";
        return 503;
    }
    if (d->overview) {
        if (!store.FirstDayOfAll(&d->firstDay)) {
            *problem = "the database does not answer";
            return 503;
        }
        // Most reports in the period first, then the games without any;
        // a page of them, whatever number of game ids a flood made up.
        std::vector<std::string> order;
        std::set<std::string> listed;
        for (const auto& g : active) {
            order.push_back(g.first);
            listed.insert(g.first);
        }
        for (const std::string& g : d->games) {
            if (!listed.count(g)) order.push_back(g);
        }
        const size_t rows = api ? kApiGameRows : kGamePageRows;
        d->pages = std::max<size_t>(1, (order.size() + rows - 1) / rows);
        if (!PageAsked(query["page"], &d->page) || d->page >= d->pages) {
            *problem = "page is a number from 1 to " + std::to_string(d->pages);
            return 400;
        }
        for (size_t i = d->page * rows; i < order.size() && i < (d->page + 1) * rows; ++i) {
            QVGameRow row;
            row.game = order[i];
            if (!store.Totals(row.game, d->from, d->to, &row.now) ||
                !store.Totals(row.game, d->previousFrom, d->previousTo, &row.before)) {
                *problem = "the database does not answer";
                return 503;
            }
            d->gameRows.push_back(row);
        }
        return 200;
    }
    if (query.count("game")) {
        d->game = query["game"];
        if (std::find(d->games.begin(), d->games.end(), d->game) == d->games.end()) {
            *problem = "no reports of that game";
            return 400;
        }
        d->hasGame = true;
    } else {
        // The game with most reports in the period (one without an id, an
        // older database's, only when there is no other), else of all time.
        for (const auto& g : active) {
            if (!d->hasGame || d->game.empty()) {
                d->game = g.first;
                d->hasGame = true;
            }
        }
        for (size_t i = 0; !d->hasGame && i < d->games.size(); ++i) {
            d->game = d->games[i];
            d->hasGame = true;
        }
    }
    if (!d->hasGame) return api ? (*problem = "no reports yet", 400) : 200;
    d->table = query["table"];
    d->ascending = query["order"] == "asc";
    const char* kinds[][2] = {{"versions", "version"}, {"systems", "os"}, {"flash", "flash"}};
    QVBreakdownPage* pages[] = {&d->versions, &d->systems, &d->flash};
    const bool table = !d->table.empty() && !api;
    size_t k = 0;
    while (table && k < 3 && d->table != kinds[k][0]) ++k;
    if (table && (k == 3 || !PageAsked(query["page"], &d->page))) {
        *problem = "table is versions, systems or flash, and page a number from 1";
        return 400;
    }
    bool ok = store.FirstDay(d->game, &d->firstDay) && store.Totals(d->game, d->from, d->to, &d->totals) &&
              store.Totals(d->game, d->previousFrom, d->previousTo, &d->previous) &&
              store.Held(kOverviewRows, &d->held) && store.Rejects(d->from, d->to, &d->rejects);
    if (table) {
        ok = ok && store.Breakdown(d->game, kinds[k][1], d->from, d->to, d->ascending, d->page * kTablePageRows,
                                   kTablePageRows, pages[k]);
        d->pages = std::max<size_t>(1, (static_cast<size_t>(pages[k]->values) + kTablePageRows - 1) / kTablePageRows);
        if (ok && d->page >= d->pages) {
            *problem = "page is a number from 1 to " + std::to_string(d->pages);
            return 400;
        }
    } else {
        // The API has every value; the page the top ones and the rest.
        const size_t rows = api ? 1000000 : kOverviewRows;
        for (size_t i = 0; i < 3 && ok; ++i) {
            ok = store.Breakdown(d->game, kinds[i][1], d->from, d->to, false, 0, rows, pages[i]);
        }
        ok = ok && store.VersionsByDay(d->game, d->from, d->to, &d->versionsByDay);
        std::vector<QVDayCount> stored;
        ok = ok && store.Days(d->game, d->from, d->to, &stored);
        // Every day, from the first the game has (a new server's chart does
        // not climb from days it had no reports yet).
        std::map<std::string, QVDayCount> byDay;
        for (const QVDayCount& day : stored) byDay[day.day] = day;
        int32_t first = from, have = 0;
        if (DayNumber(d->firstDay, &have)) first = std::max(first, have);
        for (int32_t n = first; n <= to; ++n) {
            const std::string day = DayText(n);
            const auto it = byDay.find(day);
            d->days.push_back(it != byDay.end() ? it->second : QVDayCount{day, 0, 0});
        }
    }
    if (!ok) {
        *problem = "the database does not answer";
        return 503;
    }
    return 200;
}

// One connection to the dashboard: requests read and answered one after
// another (kept alive for a browser), each within its deadline.
class QVDashboardSession : public QVSession, public std::enable_shared_from_this<QVDashboardSession> {
public:
    QVDashboardSession(tcp::socket socket, const tcp::endpoint& peer, QVDashboard& dashboard)
        : m_stream(std::move(socket)), m_dashboard(dashboard),
          m_peer(peer.address().to_string() + ":" + std::to_string(peer.port())), m_busy(false), m_head(false),
          m_version(11) {}
    ~QVDashboardSession() override {
        if (m_exportSlot) m_dashboard.ExportEnded();
        m_dashboard.Sessions().Remove(m_place);
    }

    void Start() {
        m_place = m_dashboard.Sessions().Add(shared_from_this());
        Read();
    }

    // Stopping: a connection waiting for a request is closed, a request
    // under way is answered, then its connection closes; an export is cut
    // with a reset, so that the file does not end as if whole.
    bool Idle() const override { return !m_busy && !m_exporting && !m_closing; }
    void Shut(bool idleOnly) override {
        m_closing = true;
        if (m_exporting) return Reset();
        if (idleOnly && m_busy) return;
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();  // the socket and the stream's deadline timer, which would keep the thread busy
    }

private:
    typedef asio::executor_work_guard<asio::any_io_executor> Work;

    void Read() {
        m_busy = false;
        m_dashboard.Sessions().Touch(m_place);
        m_parser.emplace();
        m_parser->header_limit(kHeaderLimit);
        // The whole request, and the wait for it on a kept connection: an
        // idle client is let go at the deadline.
        m_stream.expires_after(std::chrono::seconds(m_dashboard.Options().requestSeconds));
        auto self = shared_from_this();
        http::async_read(m_stream, m_buffer, *m_parser, [self](beast::error_code error, size_t) { self->OnRead(error); });
    }

    void OnRead(beast::error_code error) {
        if (error) {
            if (error == beast::error::timeout || error == http::error::end_of_stream || error == asio::error::eof ||
                error == asio::error::operation_aborted || error == asio::error::connection_reset ||
                !m_parser->is_header_done()) {
                return Close();
            }
            m_version = m_parser->get().version();
            // A body is no fault of its own: the method is (a POST, say).
            const http::verb method = m_parser->get().method();
            if (method != http::verb::get && method != http::verb::head) {
                return Answer(http::status::method_not_allowed, "text/plain", "GET or HEAD only\n", false);
            }
            return Answer(http::status::bad_request, "text/plain", "bad request\n", false);
        }
        m_busy = true;
        m_started = std::chrono::steady_clock::now();
        const http::request<http::empty_body>& request = m_parser->get();
        m_version = request.version();
        m_keepAlive = request.keep_alive();
        m_head = request.method() == http::verb::head;
        m_requestLine = std::string(request.method_string()) + " " + std::string(request.target()) +
                        (m_version == 10 ? " HTTP/1.0" : " HTTP/1.1");
        if (request.method() != http::verb::get && !m_head) {
            return Answer(http::status::method_not_allowed, "text/plain", "GET or HEAD only\n", false);
        }
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        std::map<std::string, std::string> query = QueryOf(target);
        if (path == "/healthz") {
            const QVHealth health = m_dashboard.Writer().Health();
            return Answer(health.ok ? http::status::ok : http::status::service_unavailable, "text/plain",
                          health.text + "\n", m_keepAlive);
        }
        if (path == "/metrics") {
            return Answer(http::status::ok, "text/plain; version=0.0.4; charset=utf-8", m_dashboard.MetricsText(),
                          m_keepAlive);
        }
        if (path == "/export.csv") return Export(query);
        if (path == "/" || path == "/games" || path == "/api/v1/summary" || path == "/api/v1/games") {
            return Page(path, query);
        }
        Answer(http::status::not_found, "text/plain", "not found\n", m_keepAlive);
    }

    void Page(const std::string& path, std::map<std::string, std::string> query) {
        auto self = shared_from_this();
        Work work(m_stream.get_executor());
        const bool queued = m_dashboard.Read([self, work, path, query](QVStore* store) mutable {
            const bool api = path.compare(0, 8, "/api/v1/") == 0;
            QVDashboardData data;
            std::string body;
            int status = 503;
            if (store == NULL) {
                body = "the database does not answer";
            } else {
                status = ReadDashboard(*store, path, query, static_cast<int64_t>(time(NULL)), &data, &body);
            }
            if (status == 200) {
                body = !api ? RenderDashboard(data) : data.overview ? RenderGamesJson(data) : RenderSummaryJson(data);
            } else {
                body = api ? ErrorJson(body) : body + "\n";
            }
            const char* type = api ? "application/json" : status == 200 ? "text/html; charset=utf-8" : "text/plain";
            // The session goes back to its own thread, and its last
            // reference is dropped there.
            auto executor = self->m_stream.get_executor();
            asio::post(executor, [self = std::move(self), work = std::move(work), status, type, body = std::move(body)] {
                self->Answer(static_cast<http::status>(status), type, body, self->m_keepAlive);
            });
        });
        if (!queued) Answer(http::status::service_unavailable, "text/plain", "busy: try again\n", false);
    }

    void Export(std::map<std::string, std::string> query) {
        if (!DayRange(query["from"], query["to"], &m_from, &m_to)) {
            return Answer(http::status::bad_request, "text/plain", "from and to are dates: YYYY-MM-DD\n", m_keepAlive);
        }
        if (m_from >= m_to) return Answer(http::status::bad_request, "text/plain", "from is after to\n", m_keepAlive);
        if (!m_head) {
            if (!m_dashboard.ExportStarted(kMostExports)) {
                return Answer(http::status::service_unavailable, "text/plain",
                              "busy: " + std::to_string(kMostExports) + " exports under way; try again\n", false);
            }
            m_exportSlot = true;
        }
        m_game = query["game"];
        // ?raw=1: the texts as stored, formulas and all, for a program to
        // read; never for a spreadsheet.
        m_defuse = query["raw"] != "1";
        // ?held=1: the reports held for review instead, which no count holds.
        m_held = query["held"] == "1";
        m_after = QVExportPlace();
        // Streamed a page at a time as the client takes it, ended by closing
        // the connection.
        auto head = std::make_shared<std::string>(std::string(m_version == 10 ? "HTTP/1.0" : "HTTP/1.1") +
            " 200 OK\r\nContent-Type: text/csv; charset=utf-8\r\n"
            "Content-Disposition: attachment; filename=\"reports.csv\"\r\nCache-Control: no-store\r\n"
            "Connection: close\r\n\r\n");
        m_status = 200;
        m_sent = 0;
        m_exporting = !m_head;
        // ?bom=1: a spreadsheet that would read UTF-8 as the local code page
        // (Excel on a Chinese Windows) sees the byte-order mark.
        if (!m_head) *head += (query["bom"] == "1" ? "\xEF\xBB\xBF" : "") + std::string(kCsvHeader);
        m_stream.expires_after(std::chrono::seconds(m_dashboard.Options().exportWriteSeconds));
        auto self = shared_from_this();
        asio::async_write(m_stream, asio::buffer(*head), [self, head](beast::error_code error, size_t n) {
            self->m_sent += n;
            if (error || self->m_head) return self->Close();
            self->NextPage();
        });
    }

    void NextPage() {
        auto self = shared_from_this();
        Work work(m_stream.get_executor());
        const std::string game = m_game;
        const int64_t from = m_from, to = m_to;
        const QVExportPlace after = m_after;
        const bool defuse = m_defuse, held = m_held;
        const bool queued = m_dashboard.Read([self, work, game, from, to, held, after, defuse](QVStore* store) mutable {
            std::vector<QVReportRow> rows;
            const char* problem = store == NULL ? "the database did not answer in time"
                                  : !store->ExportPage(game, from, to, held, after, kExportPage, &rows) ? "the database failed"
                                                                                                   : nullptr;
            auto chunk = std::make_shared<std::string>();
            for (const QVReportRow& r : rows) *chunk += CsvRow(r, defuse);
            QVExportPlace next = after;
            if (!rows.empty()) {
                next.receivedAt = rows.back().receivedAt;
                next.id = rows.back().id;
            }
            const bool last = rows.size() < kExportPage;
            auto executor = self->m_stream.get_executor();
            asio::post(executor, [self = std::move(self), work = std::move(work), problem, chunk, last, next] {
                self->Write(problem, chunk, last, next);
            });
        });
        if (!queued) Write("the dashboard was too busy", nullptr, true, after);
    }

    void Write(const char* problem, std::shared_ptr<std::string> chunk, bool last, QVExportPlace next) {
        if (!m_stream.socket().is_open()) return;  // cut meanwhile
        if (problem != nullptr) {
            Log(kLogWarning, "an export to %s was cut short: %s", m_peer.c_str(), problem);
            return Reset();
        }
        m_after = next;
        m_stream.expires_after(std::chrono::seconds(m_dashboard.Options().exportWriteSeconds));
        auto self = shared_from_this();
        asio::async_write(m_stream, asio::buffer(*chunk), [self, chunk, last](beast::error_code error, size_t n) {
            self->m_sent += n;
            if (error) return self->Reset();
            if (!last) return self->NextPage();
            self->m_exporting = false;
            self->Close();
        });
    }

    // Ended by a reset, not a close: a cut export must not pass for a whole
    // one (it has no length to be checked against).
    void Reset() {
        Logged();
        m_exporting = false;
        beast::error_code ignored;
        m_stream.socket().set_option(asio::socket_base::linger(true, 0), ignored);
        m_stream.close();  // no shutdown first: its FIN would end the file; the stream's timer goes too
    }

    void Answer(http::status status, const char* type, const std::string& body, bool keepAlive) {
        auto response = std::make_shared<http::response<http::string_body> >(status, m_version == 10 ? 10 : 11);
        response->set(http::field::content_type, type);
        response->set(http::field::cache_control, "no-store");
        if (status == http::status::method_not_allowed) response->set(http::field::allow, "GET, HEAD");
        if (status == http::status::service_unavailable) response->set(http::field::retry_after, "5");
        response->keep_alive(keepAlive && !m_closing);
        response->body() = body;
        response->prepare_payload();
        if (m_head) response->body().clear();  // the length stays that of the GET's body
        m_status = static_cast<int>(status);
        m_stream.expires_after(std::chrono::seconds(m_dashboard.Options().requestSeconds));
        auto self = shared_from_this();
        http::async_write(m_stream, *response, [self, response](beast::error_code error, size_t n) {
            self->m_sent = n;
            if (error || !response->keep_alive()) return self->Close();
            self->Logged();
            self->Read();
        });
    }

    void Logged() {
        if (!m_dashboard.Options().accessLog || m_requestLine.empty()) return;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
        LogAccess("dashboard", m_peer, m_requestLine, m_status, m_sent, seconds);
        m_requestLine.clear();
    }

    void Close() {
        Logged();
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.close();
    }

    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    boost::optional<http::request_parser<http::empty_body> > m_parser;
    QVDashboard& m_dashboard;
    QVSessionList::Place m_place;
    std::string m_peer, m_requestLine;
    bool m_busy, m_head, m_keepAlive = false, m_exporting = false, m_closing = false;
    bool m_exportSlot = false;  // one of the dashboard's exports at a time is this one's
    unsigned m_version;
    int m_status = 0;
    size_t m_sent = 0;
    std::chrono::steady_clock::time_point m_started;
    // The export under way.
    std::string m_game;
    int64_t m_from = 0, m_to = 0;
    QVExportPlace m_after;
    bool m_defuse = true, m_held = false;
};

QVDashboard::QVDashboard(std::unique_ptr<QVStore> store, QVWriter& writer, QVMetrics& metrics,
                         const QVSessionList* intake, const QVDashboardOptions& options)
    : m_io(1), m_stopWatch(m_io), m_store(std::move(store)), m_writer(writer), m_metrics(metrics), m_intake(intake), m_options(options),
      m_acceptor(m_io, "dashboard", options.maxConnections, m_sessions, [&metrics](const char*) { metrics.DashboardRefused(); }),
      m_stopping(false) {}

QVDashboard::~QVDashboard() {
    Close();
    Join();
}

bool QVDashboard::Listen(std::string* error) { return m_acceptor.Listen(m_options.address, m_options.port, error); }

void QVDashboard::Start() {
    m_acceptor.Start([this](tcp::socket socket, const tcp::endpoint& peer) {
        // A page goes out in several writes: none waits for the last one's
        // acknowledgement.
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        std::make_shared<QVDashboardSession>(std::move(socket), peer, *this)->Start();
    });
    // Named for top -H and perf.
    m_reader = std::thread([this] {
        pthread_setname_np(pthread_self(), "qv-board-read");
        ReaderLoop();
    });
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "qv-dashboard");
        m_io.run();
    });
}

void QVDashboard::Close() {
    asio::post(m_io, [this] {
        m_acceptor.Stop(true);
        // A client that does not take its answer is not waited for: the
        // server exits within seconds whatever its clients do.
        WatchStop(std::chrono::steady_clock::now() + std::chrono::seconds(3));
    });
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
}

void QVDashboard::WatchStop(std::chrono::steady_clock::time_point cut) {
    if (m_sessions.Size() == 0) return;
    if (std::chrono::steady_clock::now() >= cut) return m_sessions.ShutAll(false);
    m_stopWatch.expires_after(std::chrono::milliseconds(20));
    m_stopWatch.async_wait([this, cut](const beast::error_code& error) {
        if (!error) WatchStop(cut);
    });
}

void QVDashboard::Join() {
    // The reader first: what it answers still goes through the sessions.
    if (m_reader.joinable()) m_reader.join();
    if (m_thread.joinable()) m_thread.join();
}

bool QVDashboard::Read(std::function<void(QVStore* store)> job) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Stopping, the reader may have ended already: nothing would run it.
        if (m_stopping || m_jobs.size() >= kWaitingReads) return false;
        m_jobs.emplace_back(std::chrono::steady_clock::now(), std::move(job));
    }
    m_wake.notify_one();
    return true;
}

void QVDashboard::ReaderLoop() {
    for (;;) {
        std::function<void(QVStore*)> job;
        bool late;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) return;
            // One that waited long (behind queries that a database which
            // does not answer held up), or any once stopping, is answered
            // at once without the database.
            late = m_stopping || std::chrono::steady_clock::now() - m_jobs.front().first > std::chrono::seconds(2);
            job = std::move(m_jobs.front().second);
            m_jobs.pop_front();
        }
        job(late ? NULL : m_store.get());
    }
}

std::string QVDashboard::MetricsText() {
    QVGaugeValues values;
    const QVWriterState state = m_writer.State();
    values.queueReports = static_cast<double>(m_writer.Queued());
    values.spoolReports = static_cast<double>(state.spoolReports);
    values.spoolBytes = static_cast<double>(state.spoolBytes);
    values.databaseUp = state.databaseUp;
    values.intakeConnections = m_intake != NULL ? static_cast<double>(m_intake->Size()) : 0;
    values.dashboardConnections = static_cast<double>(m_sessions.Size());
    return m_metrics.Text(values);
}

}  // namespace Quorvel
