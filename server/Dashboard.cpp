#include "server/Dashboard.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <map>

#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "server/Listener.h"

namespace Quorvel {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

const char kCsvHeader[] = "received_at,game_id,version,guid,client_time,osmajor,osminor,system,flash\r\n";

std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

std::string Iso8601(int64_t when) {
    const time_t t = static_cast<time_t>(when);
    struct tm local;
    char text[40] = "";
    if (localtime_r(&t, &local) != NULL) strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S%z", &local);
    return text;
}

std::string Thousands(int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return (n < 0 ? "-" : "") + out;
}

std::string PercentEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

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

std::string Chart(const std::vector<QVDayCount>& days) {
    const int width = 760, height = 220, left = 48, bottom = 28, top = 12;
    int64_t most = 1;
    for (const QVDayCount& d : days) most = std::max(most, std::max(d.reports, d.newMachines));
    const double step = days.empty() ? 0 : static_cast<double>(width - left - 8) / static_cast<double>(days.size());
    const auto y = [&](int64_t v) { return top + (height - top - bottom) * (1.0 - static_cast<double>(v) / most); };
    char buffer[512];
    std::string svg;
    snprintf(buffer, sizeof(buffer),
             "<svg class=\"chart\" viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\" role=\"img\" "
             "aria-label=\"reports and new machines per day\">",
             width, height, width, height);
    svg += buffer;
    snprintf(buffer, sizeof(buffer),
             "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"axis\"/><text x=\"%d\" y=\"%d\" class=\"tick\" "
             "text-anchor=\"end\">%s</text><text x=\"%d\" y=\"%d\" class=\"tick\" text-anchor=\"end\">0</text>",
             left, height - bottom, width - 4, height - bottom, left - 6, top + 10, Thousands(most).c_str(), left - 6,
             height - bottom);
    svg += buffer;
    std::string line;
    for (size_t i = 0; i < days.size(); ++i) {
        const double x = left + step * static_cast<double>(i);
        const double barTop = y(days[i].reports);
        snprintf(buffer, sizeof(buffer),
                 "<rect class=\"bar\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"><title>%s: %s reports, %s new "
                 "machines</title></rect>",
                 x + 1, barTop, std::max(1.0, step - 2), (height - bottom) - barTop, days[i].day.c_str(),
                 Thousands(days[i].reports).c_str(), Thousands(days[i].newMachines).c_str());
        svg += buffer;
        snprintf(buffer, sizeof(buffer), "%s%.1f,%.1f", line.empty() ? "" : " ", x + step / 2, y(days[i].newMachines));
        line += buffer;
        if (i % 5 == 0 || i + 1 == days.size()) {
            snprintf(buffer, sizeof(buffer), "<text x=\"%.1f\" y=\"%d\" class=\"tick\" text-anchor=\"middle\">%s</text>",
                     x + step / 2, height - 8, days[i].day.substr(5).c_str());
            svg += buffer;
        }
    }
    svg += "<polyline class=\"line\" points=\"" + line + "\"/></svg>";
    return svg;
}

std::string Table(const char* id, const char* caption, const std::vector<std::string>& heads,
                  const std::vector<std::vector<std::string> >& rows) {
    std::string html = std::string("<table id=\"") + id + "\"><caption>" + caption + "</caption><thead><tr>";
    for (const std::string& h : heads) html += "<th>" + h + "</th>";
    html += "</tr></thead><tbody>";
    if (rows.empty()) html += "<tr><td colspan=\"" + std::to_string(heads.size()) + "\" class=\"none\">none yet</td></tr>";
    for (const std::vector<std::string>& row : rows) {
        html += "<tr>";
        for (size_t i = 0; i < row.size(); ++i) html += (i + 1 == row.size() ? "<td class=\"n\">" : "<td>") + row[i] + "</td>";
        html += "</tr>";
    }
    return html + "</tbody></table>";
}

std::string Card(const char* id, const char* label, const std::string& value) {
    return std::string("<div class=\"card\" id=\"") + id + "\"><div class=\"value\">" + value +
           "</div><div class=\"label\">" + label + "</div></div>";
}

const char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:24px;color:#1d2330;background:#f6f7f9}"
    "h1{font-size:20px;margin:0 0 12px}form{margin:0 0 16px}select{font-size:14px;padding:2px 6px}"
    ".cards{display:flex;gap:12px;flex-wrap:wrap;margin-bottom:16px}"
    ".card{background:#fff;border:1px solid #dde1e7;border-radius:6px;padding:12px 16px;min-width:150px}"
    ".value{font-size:24px;font-weight:600}.label{color:#5b6475;font-size:13px}"
    ".chart{background:#fff;border:1px solid #dde1e7;border-radius:6px}.bar{fill:#7aa6e8}"
    ".line{fill:none;stroke:#d9534f;stroke-width:2}.axis{stroke:#8a93a3}.tick{font-size:10px;fill:#5b6475}"
    ".legend span{display:inline-block;margin-right:16px;font-size:13px}"
    "table{border-collapse:collapse;background:#fff;margin:16px 0;min-width:420px}"
    "caption{text-align:left;font-weight:600;padding:4px 0}th,td{border:1px solid #dde1e7;padding:4px 8px;text-align:left}"
    "td.n{text-align:right}td.none{color:#8a93a3}";

}  // namespace

std::string CsvRow(const QVReportRow& r) {
    return CsvField(Iso8601(r.receivedAt)) + "," + CsvField(r.gameId) + "," + CsvField(r.version) + "," +
           CsvField(r.guid) + "," + CsvField(r.clientTime) + "," + std::to_string(r.osMajor) + "," +
           std::to_string(r.osMinor) + "," + CsvField(r.system) + "," + CsvField(r.flash) + "\r\n";
}

std::string RenderDashboard(const QVDashboardData& d) {
    std::string html = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Installations</title><style>";
    html += kStyle;
    html += "</style></head><body><h1>Installations";
    if (!d.game.empty()) html += ": game " + HtmlEscape(d.game);
    html += "</h1><form method=\"get\" action=\"/\"><label>Game <select name=\"game\" id=\"game\" "
            "onchange=\"this.form.submit()\">";
    for (const std::string& g : d.games) {
        html += "<option value=\"" + HtmlEscape(g) + "\"" + (g == d.game ? " selected" : "") + ">" + HtmlEscape(g) +
                "</option>";
    }
    html += "</select></label> <noscript><button>Show</button></noscript> <a href=\"/export.csv";
    if (!d.game.empty()) html += "?game=" + PercentEncode(d.game);
    html += "\">Export CSV</a></form>";
    if (d.game.empty()) {
        html += "<p id=\"empty\">No reports yet.</p>";
    } else {
        const QVGameSummary& s = d.summary;
        char perMachine[32];
        snprintf(perMachine, sizeof(perMachine), "%.2f", s.machines > 0 ? static_cast<double>(s.reports) / s.machines : 0.0);
        html += "<div class=\"cards\">" + Card("reports-today", "reports today", Thousands(s.reportsToday)) +
                Card("new-machines-today", "new machines today", Thousands(s.newMachinesToday)) +
                Card("machines", "unique machines", Thousands(s.machines)) +
                Card("per-machine", "reports per machine", perMachine) + "</div>";
        html += "<div class=\"legend\"><span style=\"color:#4f7fc4\">&#9632; reports</span><span style=\"color:#d9534f\">"
                "&#9473; new machines</span> (last 30 days, by the server's date)</div>" + Chart(d.days);
        std::vector<std::vector<std::string> > rows;
        for (const QVBreakdownRow& r : d.versions) rows.push_back({HtmlEscape(r.value), Thousands(r.reports)});
        html += Table("versions", "Versions", {"version", "reports"}, rows);
        rows.clear();
        for (const QVBreakdownRow& r : d.systems) {
            const size_t tab = r.value.find('\t');
            rows.push_back({HtmlEscape(r.value.substr(0, tab)),
                            HtmlEscape(tab == std::string::npos ? std::string() : r.value.substr(tab + 1)),
                            Thousands(r.reports)});
        }
        html += Table("systems", "Operating systems", {"version", "system", "reports"}, rows);
        rows.clear();
        for (const QVBreakdownRow& r : d.flash) rows.push_back({r.value.empty() ? "(none)" : HtmlEscape(r.value), Thousands(r.reports)});
        html += Table("flash", "Flash Player", {"flash", "reports"}, rows);
    }
    std::vector<std::vector<std::string> > rows;
    for (const QVRejectCount& r : d.rejects) rows.push_back({HtmlEscape(r.day), HtmlEscape(r.reason), Thousands(r.count)});
    html += Table("rejects", "Refused requests, all games", {"day", "reason", "requests"}, rows);
    return html + "</body></html>\n";
}

std::vector<std::string> LastDays(int64_t now, int count) {
    std::vector<std::string> days;
    const time_t t = static_cast<time_t>(now);
    struct tm local;
    if (localtime_r(&t, &local) == NULL) return days;
    for (int back = count - 1; back >= 0; --back) {
        struct tm day = local;
        day.tm_mday -= back;
        day.tm_hour = 12;  // away from any change of clocks
        day.tm_isdst = -1;
        mktime(&day);
        char text[16];
        strftime(text, sizeof(text), "%Y-%m-%d", &day);
        days.push_back(text);
    }
    return days;
}

bool DayRange(const std::string& from, const std::string& to, int64_t* start, int64_t* end) {
    const auto midnight = [](const std::string& day, int plusDays, int64_t* out) {
        int y = 0, m = 0, d = 0;
        char tail = 0;
        if (day.size() != 10 || sscanf(day.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 || m < 1 || m > 12 ||
            d < 1 || d > 31) {
            return false;
        }
        struct tm local = {};
        local.tm_year = y - 1900;
        local.tm_mon = m - 1;
        local.tm_mday = d + plusDays;
        local.tm_isdst = -1;
        *out = static_cast<int64_t>(mktime(&local));
        return true;
    };
    *start = 0;
    *end = INT64_MAX;
    return (from.empty() || midnight(from, 0, start)) && (to.empty() || midnight(to, 1, end));
}

QVDashboard::QVDashboard(std::unique_ptr<QVStore> store, const QVWriter& writer)
    : m_store(std::move(store)), m_writer(writer), m_acceptor(m_io), m_pause(m_io) {}

QVDashboard::~QVDashboard() { Stop(); }

bool QVDashboard::Listen(const std::string& address, uint16_t port, std::string* error) {
    beast::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        *error = "not an address: " + address;
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) m_acceptor.bind(endpoint, ec);
    if (!ec) m_acceptor.listen(64, ec);
    if (ec) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + " (dashboard): " + ec.message();
        return false;
    }
    Accept();
    return true;
}

void QVDashboard::Start() {
    m_thread = std::thread([this] { m_io.run(); });
}

void QVDashboard::Stop() {
    asio::post(m_io, [this] {
        beast::error_code ignored;
        m_acceptor.close(ignored);
        m_pause.cancel();
    });
    if (m_thread.joinable()) m_thread.join();
}

void QVDashboard::Accept() {
    m_acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) return;
        if (!error) {
            Serve(socket);
            return Accept();
        }
        // Out of descriptors: not again at once, which would spin.
        m_pause.expires_after(std::chrono::milliseconds(50));
        m_pause.async_wait([this](beast::error_code waited) {
            if (!waited) Accept();
        });
    });
}

void QVDashboard::Serve(tcp::socket& socket) {
    // Blocking, one request at a time, with time-outs so that a client that
    // stops talking cannot keep the page from anyone else for long.
    const struct timeval timeout = {10, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    beast::flat_buffer buffer;
    http::request_parser<http::empty_body> parser;
    parser.header_limit(8 * 1024);
    beast::error_code ec;
    http::read(socket, buffer, parser, ec);
    if (ec) return;
    const http::request<http::empty_body>& request = parser.get();
    const std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    std::map<std::string, std::string> query = QueryOf(target);
    const auto answer = [&](http::status status, const char* type, const std::string& body) {
        http::response<http::string_body> response(status, request.version());
        response.set(http::field::content_type, type);
        response.set(http::field::cache_control, "no-store");
        response.keep_alive(false);
        response.body() = body;
        response.prepare_payload();
        http::write(socket, response, ec);
    };
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        return answer(http::status::method_not_allowed, "text/plain", "GET only\n");
    }
    if (path == "/healthz") {
        if (!m_store->Healthy()) {
            return answer(http::status::service_unavailable, "text/plain", "the database does not answer\n");
        }
        if (!m_writer.Storing()) {
            return answer(http::status::service_unavailable, "text/plain", "reports are not being stored\n");
        }
        return answer(http::status::ok, "text/plain", "ok: the database answers\n");
    }
    if (path == "/export.csv") {
        int64_t from = 0, to = 0;
        if (!DayRange(query["from"], query["to"], &from, &to)) {
            return answer(http::status::bad_request, "text/plain", "from and to are dates: YYYY-MM-DD\n");
        }
        // Streamed as the rows come, ended by closing the connection.
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/csv; charset=utf-8\r\n"
                           "Content-Disposition: attachment; filename=\"reports.csv\"\r\nConnection: close\r\n\r\n";
        head += kCsvHeader;
        asio::write(socket, asio::buffer(head), ec);
        std::string chunk;
        const bool whole = m_store->Export(query["game"], from, to, [&](const QVReportRow& row) {
            chunk += CsvRow(row);
            if (chunk.size() >= 64 * 1024) {
                asio::write(socket, asio::buffer(chunk), ec);
                chunk.clear();
            }
            return !ec;
        });
        if (!whole) {
            // Ended by a reset, not a close: a cut export must not pass for
            // a whole one.
            fprintf(stderr, "qvstats: an export was cut short: the database failed\n");
            socket.set_option(asio::socket_base::linger(true, 0), ec);
            socket.close(ec);
            return;
        }
        if (!ec && !chunk.empty()) asio::write(socket, asio::buffer(chunk), ec);
        return;
    }
    if (path != "/") return answer(http::status::not_found, "text/plain", "not found\n");

    QVDashboardData data;
    const int64_t now = static_cast<int64_t>(time(NULL));
    data.today = LocalDay(now);
    bool ok = m_store->Games(&data.games);
    data.game = query.count("game") ? query["game"] : (data.games.empty() ? std::string() : data.games[0]);
    if (std::find(data.games.begin(), data.games.end(), data.game) == data.games.end()) {
        if (query.count("game")) return answer(http::status::not_found, "text/plain", "no reports of that game\n");
        data.game.clear();
    }
    if (ok && !data.game.empty()) {
        const std::vector<std::string> days = LastDays(now, 30);
        std::vector<QVDayCount> stored;
        ok = m_store->Summary(data.game, data.today, &data.summary) && m_store->Days(data.game, days.front(), &stored) &&
             m_store->Breakdown(data.game, "version", &data.versions) && m_store->Breakdown(data.game, "os", &data.systems) &&
             m_store->Breakdown(data.game, "flash", &data.flash);
        std::map<std::string, QVDayCount> byDay;
        for (const QVDayCount& d : stored) byDay[d.day] = d;
        for (const std::string& day : days) {
            const auto it = byDay.find(day);
            data.days.push_back(it != byDay.end() ? it->second : QVDayCount{day, 0, 0});
        }
    }
    ok = ok && m_store->Rejects(&data.rejects);
    if (!ok) return answer(http::status::service_unavailable, "text/plain", "the database does not answer\n");
    answer(http::status::ok, "text/html; charset=utf-8", RenderDashboard(data));
}

}  // namespace Quorvel
