#ifndef QV_SERVER_PAGE_H
#define QV_SERVER_PAGE_H

#include <string>
#include <vector>

#include "server/Store.h"

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

// The whole page: server-rendered HTML with its chart as inline SVG, and
// nothing from anywhere else. Every text from a report is escaped.
std::string RenderDashboard(const QVDashboardData& data);

}  // namespace Quorvel

#endif
