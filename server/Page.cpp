#include "server/Page.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <map>

#include "server/Days.h"

namespace Quorvel {

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

std::string GameTitle(const QVDashboardData& d, const std::string& game) {
    const auto named = d.names.find(game);
    if (named == d.names.end() || named->second.empty()) return game.empty() ? "(no id)" : game;
    return named->second + " (" + game + ")";
}

std::string Share(int64_t part, int64_t whole) {
    char text[32];
    snprintf(text, sizeof(text), "%.1f", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

std::string Change(double now, double before) {
    if (before <= 0) return std::string();
    char text[32];
    snprintf(text, sizeof(text), "%+.1f", 100.0 * (now - before) / before);
    return text;
}

std::vector<int64_t> Gridlines(int64_t most) {
    // The smallest round step (1, 2 or 5 times a power of ten) that covers
    // most in at most four steps.
    int64_t step = 1;
    for (int64_t power = 1;; power *= 10) {
        for (int64_t m : {1, 2, 5}) {
            if (m * power * 4 >= most) {
                step = m * power;
                std::vector<int64_t> lines;
                for (int64_t v = 0; v < most + step && lines.size() < 5; v += step) lines.push_back(v);
                if (lines.size() < 3) lines.push_back(lines.back() + step);
                return lines;
            }
        }
    }
}

namespace {

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

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
    char text[128];
    snprintf(text, sizeof(text), format, a, b, c, d);
    return text;
}

// A link's query for the page's game and a period (and what else follows).
std::string Query(const QVDashboardData& d, const std::string& from, const std::string& to) {
    return std::string("?") + (d.hasGame ? "game=" + PercentEncode(d.game) + "&amp;" : "") + "from=" + from + "&amp;to=" + to;
}

// Every cell is escaped here, so that no caller can forget to; numeric:
// how many columns at the end are numbers, right-aligned.
// links: where each row's first cell leads, if anywhere (already escaped).
std::string Table(const char* id, const std::string& caption, const std::vector<std::string>& heads,
                  const std::vector<std::vector<std::string> >& rows, size_t numeric, const std::string& headLink = "",
                  const std::vector<std::string>& links = std::vector<std::string>()) {
    std::string html = std::string("<div class=\"wide\"><table id=\"") + id + "\"><caption>" + HtmlEscape(caption) +
                       "</caption><thead><tr>";
    for (size_t i = 0; i < heads.size(); ++i) {
        const bool number = i + numeric >= heads.size();
        html += std::string("<th scope=\"col\"") + (number ? " class=\"n\"" : "") + ">" +
                (i == heads.size() - numeric && !headLink.empty() ? "<a href=\"" + headLink + "\">" + HtmlEscape(heads[i]) + "</a>"
                                                                  : HtmlEscape(heads[i])) +
                "</th>";
    }
    html += "</tr></thead><tbody>";
    if (rows.empty()) html += "<tr><td colspan=\"" + std::to_string(heads.size()) + "\" class=\"none\">none</td></tr>";
    for (size_t r = 0; r < rows.size(); ++r) {
        const std::vector<std::string>& row = rows[r];
        html += "<tr>";
        for (size_t i = 0; i < row.size(); ++i) {
            const std::string cell = HtmlEscape(row[i]);
            html += (i + numeric >= row.size() ? "<td class=\"n\">" : "<td>") +
                    (i == 0 && r < links.size() ? "<a href=\"" + links[r] + "\">" + cell + "</a>" : cell) + "</td>";
        }
        html += "</tr>";
    }
    return html + "</tbody></table></div>";
}

std::string Card(const char* id, const char* label, const std::string& value, const std::string& change) {
    std::string html = std::string("<div class=\"card\" id=\"") + id + "\"><div class=\"value\">" + HtmlEscape(value) +
                       "</div><div class=\"label\">" + HtmlEscape(label) + "</div><div class=\"change\">";
    if (change.empty()) {
        html += "<span class=\"same\">no earlier period to compare</span>";
    } else if (change[0] == '+' && change != "+0.0") {
        html += "<span class=\"up\">&#9650; " + change.substr(1) + "%</span>";
    } else if (change[0] == '-' && change != "-0.0") {
        html += "<span class=\"down\">&#9660; " + change.substr(1) + "%</span>";
    } else {
        html += "<span class=\"same\">= 0.0%</span>";
    }
    return html + "</div></div>";
}

// The left margin holds the axis's numbers at twice their size on a phone.
const int kChartWidth = 760, kChartLeft = 80, kChartRight = 20, kChartTop = 12;

// Under a chart, the day of every so many columns, and of the last, which
// the one before it gives way to when they would touch.
std::string DayTicks(const std::vector<QVDayCount>& days, double step, int baseline) {
    std::string svg;
    const size_t every = std::max<size_t>(1, days.size() / 6);
    for (size_t i = 0; i < days.size(); ++i) {
        if ((i % every == 0 && i + every / 2 + 1 < days.size()) || i + 1 == days.size()) {
            svg += Format("<text x=\"%.1f\" y=\"%.0f\" class=\"tick\" text-anchor=\"middle\">",
                          kChartLeft + step * (static_cast<double>(i) + 0.5), baseline) +
                   days[i].day.substr(5) + "</text>";
        }
    }
    return svg;
}

// Reports a day as bars, each with its own tooltip, new machines as a line,
// on round gridlines.
std::string DayChart(const std::vector<QVDayCount>& days) {
    const int height = 230, bottom = 28;
    int64_t most = 1;
    for (const QVDayCount& d : days) most = std::max(most, std::max(d.reports, d.newMachines));
    const std::vector<int64_t> lines = Gridlines(most);
    const double top = static_cast<double>(lines.back());
    const double plot = height - kChartTop - bottom;
    const double step = days.empty() ? 0 : static_cast<double>(kChartWidth - kChartLeft - kChartRight) / days.size();
    const auto y = [&](int64_t v) { return kChartTop + plot * (1.0 - static_cast<double>(v) / top); };
    std::string svg = Format("<svg class=\"chart\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" aria-label=\"reports and new "
                             "machines per day\">",
                             kChartWidth, height);
    for (int64_t v : lines) {
        svg += Format("<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" class=\"grid\"/>", kChartLeft, y(v),
                      kChartWidth - kChartRight, y(v)) +
               Format("<text x=\"%.0f\" y=\"%.1f\" class=\"tick\" text-anchor=\"end\">", kChartLeft - 6, y(v) + 3) +
               Thousands(v) + "</text>";
    }
    std::string line;
    for (size_t i = 0; i < days.size(); ++i) {
        const double x = kChartLeft + step * static_cast<double>(i);
        svg += Format("<rect class=\"bar\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">", x + step * 0.1,
                      y(days[i].reports), std::max(1.0, step * 0.8), kChartTop + plot - y(days[i].reports)) +
               "<title>" + days[i].day + ": " + Thousands(days[i].reports) + " reports, " +
               Thousands(days[i].newMachines) + " new machines</title></rect>";
        line += (line.empty() ? "" : " ") + Format("%.1f,%.1f", x + step / 2, y(days[i].newMachines));
    }
    return svg + DayTicks(days, step, height - 8) + "<polyline class=\"line\" points=\"" + line + "\"/></svg>";
}

// Each at least 3:1 against white, and the bands parted by white lines,
// so that neighbours are told apart without telling their colours apart.
const char* const kSeriesColours[] = {"#2f6db5", "#b5651d", "#2e7d4a", "#b03a6f", "#7a5fb8", "#6f7888"};

// Each day's reports shared out between the top versions and the rest,
// stacked to 100%: how fast one version replaces another.
std::string AdoptionChart(const std::vector<QVDayValue>& rows, const std::vector<std::string>& top,
                          const std::vector<QVDayCount>& days) {
    const int height = 200, bottom = 28;
    const double plot = height - kChartTop - bottom;
    std::map<std::string, std::map<std::string, int64_t> > byDay;  // day: series: reports
    for (const QVDayValue& r : rows) {
        const bool own = !r.other && std::find(top.begin(), top.end(), r.value) != top.end();
        byDay[r.day][own ? r.value : std::string("\x01other")] += r.reports;
    }
    std::vector<std::string> series = top;
    series.push_back("\x01other");
    const auto name = [&top](size_t s) { return s < top.size() ? (top[s].empty() ? "(none)" : top[s]) : "other versions"; };
    const double step = days.empty() ? 0 : static_cast<double>(kChartWidth - kChartLeft - kChartRight) / days.size();
    std::string svg = Format("<svg class=\"chart\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" aria-label=\"share of each "
                             "version, day by day\">",
                             kChartWidth, height);
    for (int percent : {0, 50, 100}) {
        const double y = kChartTop + plot * (1 - percent / 100.0);
        svg += Format("<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" class=\"grid\"/>", kChartLeft, y,
                      kChartWidth - kChartRight, y) +
               Format("<text x=\"%.0f\" y=\"%.1f\" class=\"tick\" text-anchor=\"end\">%.0f%%</text>", kChartLeft - 6,
                      y + 3, percent);
    }
    // One polygon a series: its band from the shares below it to its own top.
    std::vector<double> base(days.size(), 0);
    for (size_t s = 0; s < series.size(); ++s) {
        std::string upper, lower;
        for (size_t i = 0; i < days.size(); ++i) {
            const auto day = byDay.find(days[i].day);
            int64_t total = 0, own = 0;
            if (day != byDay.end()) {
                for (const auto& v : day->second) total += v.second;
                const auto mine = day->second.find(series[s]);
                own = mine != day->second.end() ? mine->second : 0;
            }
            const double share = total > 0 ? static_cast<double>(own) / total : 0;
            const double x0 = kChartLeft + step * i, x1 = x0 + step;
            const double yBase = kChartTop + plot * (1 - base[i]), yTop = kChartTop + plot * (1 - base[i] - share);
            upper += Format(" %.1f,%.1f %.1f,%.1f", x0, yTop, x1, yTop);
            lower = Format(" %.1f,%.1f %.1f,%.1f", x1, yBase, x0, yBase) + lower;
            base[i] += share;
        }
        svg += std::string("<polygon fill=\"") + kSeriesColours[std::min<size_t>(s, 5)] +
               "\" stroke=\"#fff\" stroke-width=\"1\" points=\"" + upper.substr(upper.empty() ? 0 : 1) + lower + "\"/>";
    }
    // The day under the pointer, with each version's share of it.
    for (size_t i = 0; i < days.size(); ++i) {
        const auto day = byDay.find(days[i].day);
        int64_t total = 0;
        if (day != byDay.end()) {
            for (const auto& v : day->second) total += v.second;
        }
        std::string title = days[i].day + ": " + Thousands(total) + " reports";
        for (size_t s = 0; s < series.size() && total > 0; ++s) {
            const auto mine = day->second.find(series[s]);
            if (mine == day->second.end() || mine->second == 0) continue;
            title += ", " + name(s) + " " +
                     Share(mine->second, total) + "%";
        }
        svg += Format("<rect x=\"%.1f\" y=\"%.0f\" width=\"%.1f\" height=\"%.0f\" fill=\"#fff\" fill-opacity=\"0\">",
                      kChartLeft + step * static_cast<double>(i), kChartTop, step, plot) +
               "<title>" + HtmlEscape(title) + "</title></rect>";
    }
    svg += DayTicks(days, step, height - 8) + "</svg><p class=\"legend\">";
    for (size_t s = 0; s < series.size(); ++s) {
        svg += std::string("<span><i style=\"background:") + kSeriesColours[std::min<size_t>(s, 5)] + "\"></i>" +
               HtmlEscape(name(s)) + "</span>";
    }
    return svg + "</p>";
}

// A breakdown's rows: the values with their shares of the period's reports,
// then what the values not shown add up to.
std::vector<std::vector<std::string> > BreakdownRows(bool os, const QVBreakdownPage& page, int64_t total, bool withOther) {
    std::vector<std::vector<std::string> > rows;
    int64_t shown = 0;
    for (const QVBreakdownRow& r : page.rows) {
        shown += r.reports;
        std::vector<std::string> row;
        if (os) {
            const size_t tab = r.value.find('\t');
            row = {r.value.substr(0, tab), tab == std::string::npos ? std::string() : r.value.substr(tab + 1)};
        } else {
            row = {r.value.empty() ? "(none)" : r.value};
        }
        row.push_back(Thousands(r.reports));
        row.push_back(Share(r.reports, total) + "%");
        rows.push_back(row);
    }
    if (withOther && total > shown) {
        std::vector<std::string> other = {"(other values)"};
        if (os) other.push_back(std::string());
        other.push_back(Thousands(total - shown));
        other.push_back(Share(total - shown, total) + "%");
        rows.push_back(other);
    }
    return rows;
}

struct QVKindTable {
    const char *kind, *id, *caption;
    std::vector<std::string> heads;
};

const QVKindTable kKindTables[] = {
    {"version", "versions", "Versions", {"version", "reports", "share"}},
    {"os", "systems", "Operating systems", {"version", "system", "reports", "share"}},
    {"flash", "flash", "Flash Player", {"flash", "reports", "share"}},
};

const char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:0;padding:16px 20px;color:#1d2330;background:#f6f7f9;line-height:1.4}"
    "h1{font-size:20px;margin:0 0 8px}a{color:#1f5aa6}nav,form{margin:6px 0}nav a{margin-right:12px}"
    "nav a.here{font-weight:600;color:#1d2330;text-decoration:none}"
    "select,input,button{font-size:14px;padding:2px 6px;margin:2px 4px 2px 0;max-width:100%}"
    "h1,nav,td{overflow-wrap:anywhere}"
    ".period{color:#4a5263;font-size:14px;margin:4px 0 12px}"
    ".cards{display:flex;gap:12px;flex-wrap:wrap;margin-bottom:16px}"
    ".card{background:#fff;border:1px solid #c9ced6;border-radius:6px;padding:10px 14px;min-width:140px;flex:1}"
    ".value{font-size:24px;font-weight:600}.label{color:#4a5263;font-size:13px}.change{font-size:13px}"
    ".up{color:#1e6b34}.down{color:#a3261d}.same{color:#4a5263}"
    "figure{margin:16px 0}figcaption{font-weight:600;margin-bottom:4px}"
    ".chart{width:100%;max-width:760px;height:auto;background:#fff;border:1px solid #c9ced6;border-radius:6px}"
    ".bar{fill:#5b8fd6}.line{fill:none;stroke:#c0392b;stroke-width:2}.grid{stroke:#dde1e7}"
    ".tick{font-size:10px;fill:#4a5263}.legend span{display:inline-block;margin-right:14px;font-size:13px}"
    ".legend i{display:inline-block;width:10px;height:10px;margin-right:4px;vertical-align:baseline}"
    ".wide{overflow-x:auto;max-width:100%}"
    "table{border-collapse:collapse;background:#fff;margin:12px 0}"
    "caption{text-align:left;font-weight:600;padding:4px 0}"
    "th,td{border:1px solid #c9ced6;padding:4px 8px;text-align:left;vertical-align:top}"
    "th.n,td.n{text-align:right;white-space:nowrap}td.none{color:#4a5263}"
    "@media (max-width:600px){body{padding:10px}.card{min-width:120px}.value{font-size:20px}.tick{font-size:20px}}";

std::string Head(const std::string& title) {
    return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
           "content=\"width=device-width, initial-scale=1\"><title>" +
           HtmlEscape(title) + "</title><style>" + kStyle + "</style></head><body>";
}

// The period's links and form, and the game picker.
std::string Navigation(const QVDashboardData& d, const std::string& path) {
    std::string html = "<nav aria-label=\"games\"><a href=\"/games" + Query(QVDashboardData(), d.from, d.to) + "\"" +
                       (d.overview ? " class=\"here\"" : "") + ">All games</a>";
    if (!d.overview) {
        for (size_t i = 0; i < d.games.size() && i < 8; ++i) {
            const std::string& g = d.games[i];
            html += "<a href=\"/?game=" + PercentEncode(g) + "&amp;from=" + d.from + "&amp;to=" + d.to + "\"" +
                    (d.hasGame && g == d.game ? " class=\"here\"" : "") + ">" + HtmlEscape(GameTitle(d, g)) + "</a>";
        }
    }
    html += "</nav><form method=\"get\" action=\"" + path + "\">";
    if (!d.overview) {
        // The games with most reports, and this one: the rest are on /games.
        html += "<label>Game <select name=\"game\" id=\"game\">";
        for (size_t i = 0; i < d.games.size(); ++i) {
            const std::string& g = d.games[i];
            const bool here = d.hasGame && g == d.game;
            if (i >= kPickerGames && !here) continue;
            html += "<option value=\"" + HtmlEscape(g) + "\"" + (here ? " selected" : "") + ">" +
                    HtmlEscape(GameTitle(d, g)) + "</option>";
        }
        html += "</select></label>";
    }
    html += "<label>From <input type=\"date\" name=\"from\" value=\"" + d.from + "\"></label><label>to <input type=\"date\" "
            "name=\"to\" value=\"" + d.to + "\"></label><button>Show</button></form><nav aria-label=\"period\">";
    const struct {
        const char* label;
        int days;
    } presets[] = {{"Today", 1}, {"7 days", 7}, {"30 days", 30}, {"90 days", 90}};
    for (const auto& p : presets) {
        const std::string from = AddDays(d.today, 1 - p.days);
        html += "<a href=\"" + path + Query(d.overview ? QVDashboardData() : d, from, d.today) + "\"" +
                (from == d.from && d.to == d.today ? " class=\"here\"" : "") + ">" + p.label + "</a>";
    }
    // As far back as a period may reach.
    const std::string earliest = AddDays(d.today, 1 - kLongestPeriod);
    const std::string first = d.firstDay.empty() ? d.today : std::max(d.firstDay, earliest);
    html += "<a href=\"" + path + Query(d.overview ? QVDashboardData() : d, first, d.today) + "\"" +
            (first == d.from && d.to == d.today ? " class=\"here\"" : "") + ">All time</a></nav>";
    int32_t a = 0, b = 0;
    DayNumber(d.from, &a);
    DayNumber(d.to, &b);
    html += "<p class=\"period\">" + d.from + " to " + d.to + " (" + Thousands(b - a + 1) + (b == a ? " day" : " days") +
            "), compared with " + d.previousFrom + " to " + d.previousTo + "; days by the server's clock</p>";
    return html;
}

std::string Games(const QVDashboardData& d) {
    std::string html = Head("Installations: all games") + "<header><h1>All games</h1>" + Navigation(d, "/games") +
                       "</header><main>";
    std::vector<std::vector<std::string> > rows;
    std::vector<std::string> links;
    for (const QVGameRow& g : d.gameRows) {
        const std::string change = Change(static_cast<double>(g.now.reports), static_cast<double>(g.before.reports));
        const std::string arrow = change.empty() || change == "+0.0" || change == "-0.0" ? ""
                                  : change[0] == '+'                                  ? "\xE2\x96\xB2 "  // ▲
                                                                                      : "\xE2\x96\xBC ";  // ▼
        rows.push_back({GameTitle(d, g.game), Thousands(g.now.reports), Thousands(g.now.newMachines),
                        Thousands(g.now.machines), change.empty() ? "" : arrow + change + "%"});
        links.push_back("/?game=" + PercentEncode(g.game) + "&amp;from=" + d.from + "&amp;to=" + d.to);
    }
    html += Table("games", "Games in the period", {"game", "reports", "new machines", "unique machines", "reports vs before"},
                  rows, 4, "", links);
    if (d.pages > 1) {
        const std::string base = "/games" + Query(QVDashboardData(), d.from, d.to);
        html += "<p class=\"pages\">page " + Thousands(static_cast<int64_t>(d.page) + 1) + " of " +
                Thousands(static_cast<int64_t>(d.pages)) + " (" + Thousands(static_cast<int64_t>(d.games.size())) + " games)";
        if (d.page > 0) html += " <a href=\"" + base + "&amp;page=" + std::to_string(d.page) + "\">previous</a>";
        if (d.page + 1 < d.pages) html += " <a href=\"" + base + "&amp;page=" + std::to_string(d.page + 2) + "\">next</a>";
        html += "</p>";
    }
    return html + "</main></body></html>\n";
}

}  // namespace

std::string RenderDashboard(const QVDashboardData& d) {
    if (d.overview) return Games(d);
    const std::string title = d.hasGame ? GameTitle(d, d.game) : std::string("no reports yet");
    std::string html = Head("Installations: " + title) + "<header><h1>Installations: " + HtmlEscape(title) + "</h1>" +
                       Navigation(d, "/") + "</header><main>";
    if (!d.hasGame) return html + "<p id=\"empty\">No reports yet.</p></main></body></html>\n";
    const std::string query = Query(d, d.from, d.to);
    const QVBreakdownPage* pages[] = {&d.versions, &d.systems, &d.flash};
    if (!d.table.empty()) {
        // One table whole, a page at a time.
        for (size_t k = 0; k < 3; ++k) {
            if (d.table != kKindTables[k].id) continue;
            const QVBreakdownPage& page = *pages[k];
            std::vector<std::vector<std::string> > rows = BreakdownRows(k == 1, page, d.totals.reports, false);
            if (page.other > 0 && d.page + 1 >= d.pages) {
                std::vector<std::string> other = {"(values beyond the cap)"};
                if (k == 1) other.push_back(std::string());
                other.push_back(Thousands(page.other));
                other.push_back(Share(page.other, d.totals.reports) + "%");
                rows.push_back(other);
            }
            const std::string base = "/" + query + "&amp;table=" + kKindTables[k].id;
            html += "<p><a href=\"/" + query + "\">&larr; the overview</a></p>" +
                    Table(kKindTables[k].id, kKindTables[k].caption, kKindTables[k].heads, rows, 2,
                          base + (d.ascending ? "" : "&amp;order=asc"));
            html += "<p class=\"pages\">page " + Thousands(static_cast<int64_t>(d.page) + 1) + " of " +
                    Thousands(static_cast<int64_t>(d.pages)) + " (" + Thousands(page.values) + " values)";
            const std::string order = d.ascending ? "&amp;order=asc" : "";
            if (d.page > 0) html += " <a href=\"" + base + order + "&amp;page=" + std::to_string(d.page) + "\">previous</a>";
            if (d.page + 1 < d.pages) {
                html += " <a href=\"" + base + order + "&amp;page=" + std::to_string(d.page + 2) + "\">next</a>";
            }
            html += "</p>";
        }
        return html + "</main></body></html>\n";
    }
    const QVPeriodTotals& t = d.totals;
    const QVPeriodTotals& p = d.previous;
    const double perMachine = t.machines > 0 ? static_cast<double>(t.reports) / t.machines : 0.0;
    const double perMachineBefore = p.machines > 0 ? static_cast<double>(p.reports) / p.machines : 0.0;
    html += "<section class=\"cards\" aria-label=\"the period's totals\">" +
            Card("reports", "reports", Thousands(t.reports), Change(t.reports, p.reports)) +
            Card("new-machines", "new machines", Thousands(t.newMachines), Change(t.newMachines, p.newMachines)) +
            Card("machines", "unique machines", Thousands(t.machines), Change(t.machines, p.machines)) +
            Card("per-machine", "reports per machine", Format("%.2f", perMachine), Change(perMachine, perMachineBefore)) +
            "</section>";
    html += "<figure><figcaption>Reports (bars) and new machines (line) per day</figcaption>" + DayChart(d.days) +
            "</figure>";
    std::vector<std::string> top;
    for (const QVBreakdownRow& r : d.versions.rows) {
        if (top.size() < kAdoptionVersions) top.push_back(r.value);
    }
    html += "<figure><figcaption>Version adoption: each version's share of a day's reports</figcaption>" +
            AdoptionChart(d.versionsByDay, top, d.days) + "</figure>";
    for (size_t k = 0; k < 3; ++k) {
        const QVBreakdownPage& page = *pages[k];
        html += Table(kKindTables[k].id, std::string(kKindTables[k].caption) + " (shares of the period's reports)",
                      kKindTables[k].heads, BreakdownRows(k == 1, page, t.reports, true), 2,
                      "/" + query + "&amp;table=" + kKindTables[k].id + "&amp;order=asc");
        if (page.values > static_cast<int64_t>(page.rows.size())) {
            html += "<p class=\"more\"><a href=\"/" + query + "&amp;table=" + kKindTables[k].id + "\">all " +
                    Thousands(page.values) + " values</a></p>";
        }
    }
    html += "<p>The period's reports as CSV: <a href=\"/export.csv" + query + "\">export</a> (<a href=\"/export.csv" +
            query + "&amp;bom=1\" id=\"excel\">for Excel</a>)</p>";
    std::vector<std::vector<std::string> > rows;
    for (const QVHeldSource& h : d.held) rows.push_back({h.source, Iso8601(h.first), Iso8601(h.last), Thousands(h.reports)});
    html += Table("held", "Held for review, all games (more reports from one source than its rate allows, or from one machine than 1,000)",
                  {"source", "first", "last", "reports"}, rows, 1);
    if (!d.held.empty()) html += "<p>The held reports as CSV: <a href=\"/export.csv?held=1\" id=\"held-export\">export</a></p>";
    rows.clear();
    for (const QVRejectCount& r : d.rejects) rows.push_back({r.day, r.reason, Thousands(r.count)});
    html += Table("rejects", "Refused requests in the period, all games", {"day", "reason", "requests"}, rows, 1);
    return html + "</main></body></html>\n";
}

}  // namespace Quorvel
