#ifndef QV_SERVER_DASHBOARD_H
#define QV_SERVER_DASHBOARD_H

#include <stdint.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/Store.h"
#include "server/Writer.h"

namespace Quorvel {

// Everything one page shows, read from the store.
struct QVDashboardData {
    std::vector<std::string> games;
    std::string game;   // the one shown; empty when there is none
    std::string today;  // the server's local date
    QVGameSummary summary;
    std::vector<QVDayCount> days;  // the last 30 days, oldest first, every day present
    std::vector<QVBreakdownRow> versions, systems, flash;
    std::vector<QVRejectCount> rejects;
};

std::string HtmlEscape(const std::string& text);
// One field of RFC 4180: quoted when it holds a comma, a quote or a line
// break, quotes doubled.
std::string CsvField(const std::string& text);
std::string CsvRow(const QVReportRow& row);
extern const char kCsvHeader[];

// The whole page: server-rendered HTML with its chart as inline SVG, and
// nothing from anywhere else. Every text from a report is escaped.
std::string RenderDashboard(const QVDashboardData& data);

// The dates of the 30 days up to today (local time), oldest first.
std::vector<std::string> LastDays(int64_t now, int count);
// [from, to) in server time for local dates "YYYY-MM-DD"; false for a date
// of another shape. An empty from is the beginning, an empty to the end.
bool DayRange(const std::string& from, const std::string& to, int64_t* start, int64_t* end);

// The dashboard listener, never the public one: "/", "/?game=ID",
// "/export.csv?game=&from=&to=" and "/healthz", on a thread of its own with
// a store connection of its own. One request at a time: it is for the
// publisher, not for the players.
class QVDashboard {
public:
    // The writer's state is part of the health the dashboard reports.
    QVDashboard(std::unique_ptr<QVStore> store, const QVWriter& writer);
    ~QVDashboard();

    bool Listen(const std::string& address, uint16_t port, std::string* error);
    void Start();
    void Stop();

private:
    void Accept();
    void Serve(boost::asio::ip::tcp::socket& socket);

    std::unique_ptr<QVStore> m_store;
    const QVWriter& m_writer;
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_pause;  // after a failed accept
    std::thread m_thread;
};

}  // namespace Quorvel

#endif
