#ifndef QV_SERVER_PAGE_H
#define QV_SERVER_PAGE_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "server/Store.h"

namespace Quorvel {

// One game over a period and the one before it, for the games' overview.
struct QVGameRow {
    std::string game;
    QVPeriodTotals now, before;
};

// Everything a page (and the API, from the same data) shows, read from the
// store.
struct QVDashboardData {
    std::vector<std::string> games;  // most reports first
    std::map<std::string, std::string> names;
    bool hasGame = false;  // no game: no reports yet
    std::string game;
    std::string today;
    // The period, days inclusive, and the one of the same length before it.
    std::string from, to, previousFrom, previousTo;
    std::string firstDay;  // the game's first day with a report
    QVPeriodTotals totals, previous;
    std::vector<QVDayCount> days;  // from the later of from and firstDay to to, every day present
    QVBreakdownPage versions, systems, flash;
    std::vector<QVDayValue> versionsByDay;
    std::vector<QVHeldSource> held;
    std::vector<QVRejectCount> rejects;
    // One breakdown whole ("versions", "systems" or "flash") instead of the
    // overview, page (from 0) of pages; or the page of /games.
    std::string table;
    size_t page = 0, pages = 1;
    bool ascending = false;
    // The games' overview (/games) instead of one game.
    bool overview = false;
    std::vector<QVGameRow> gameRows;
};

// The longest period a page or the API shows, in days.
const int32_t kLongestPeriod = 3660;
// Rows of a breakdown on the overview, and on each page of a whole table.
const size_t kOverviewRows = 50;
// Games on a page of /games, of /api/v1/games, and in the picker.
const size_t kGamePageRows = 50;
const size_t kApiGameRows = 200;
const size_t kPickerGames = 50;
const size_t kTablePageRows = 200;
// Versions with a colour of their own in the adoption chart.
const size_t kAdoptionVersions = 5;

std::string HtmlEscape(const std::string& text);
// "Name (id)", or the id alone for a game without a name.
std::string GameTitle(const QVDashboardData& data, const std::string& game);
// A share of a whole, one decimal: "12.5".
std::string Share(int64_t part, int64_t whole);
// The change from before to now, one decimal, with its sign: "+12.5",
// "-3.0"; empty when there was nothing before.
std::string Change(double now, double before);
// Round gridlines for values up to most: 0, step, 2 step…, 3 to 5 of them.
std::vector<int64_t> Gridlines(int64_t most);

// The whole page: server-rendered HTML with its charts as inline SVG, and
// nothing from anywhere else. Every text from a report is escaped.
std::string RenderDashboard(const QVDashboardData& data);

}  // namespace Quorvel

#endif
