#ifndef QV_SERVER_PAGE_H
#define QV_SERVER_PAGE_H

#include <string>
#include <vector>

#include "server/Store.h"

namespace Quorvel {

// Everything one page shows, read from the store.
struct QVDashboardData {
    std::vector<std::string> games;
    bool hasGame = false;  // no game: no reports yet
    std::string game;      // the one shown
    std::string today;     // the server's local date
    QVGameSummary summary;
    std::vector<QVDayCount> days;  // the last 30 days, oldest first, every day present
    QVBreakdownPage versions, systems, flash;
    std::vector<QVHeldSource> held;
    std::vector<QVRejectCount> rejects;
    // One breakdown whole ("versions", "systems" or "flash") instead of the
    // overview, page (from 0) of pages.
    std::string table;
    size_t page = 0, pages = 1;
};

// Rows of a breakdown on the overview, and on each page of a whole table.
const size_t kOverviewRows = 50;
const size_t kTablePageRows = 200;

std::string HtmlEscape(const std::string& text);

// The whole page: server-rendered HTML with its chart as inline SVG, and
// nothing from anywhere else. Every text from a report is escaped.
std::string RenderDashboard(const QVDashboardData& data);

}  // namespace Quorvel

#endif
