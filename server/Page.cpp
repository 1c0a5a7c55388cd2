#include "server/Page.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>

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

// Every cell is escaped here, so that no caller can forget to; the last
// column is a number, right-aligned.
std::string Table(const char* id, const char* caption, const std::vector<std::string>& heads,
                  const std::vector<std::vector<std::string> >& rows) {
    std::string html = std::string("<table id=\"") + id + "\"><caption>" + HtmlEscape(caption) + "</caption><thead><tr>";
    for (const std::string& h : heads) html += "<th>" + HtmlEscape(h) + "</th>";
    html += "</tr></thead><tbody>";
    if (rows.empty()) html += "<tr><td colspan=\"" + std::to_string(heads.size()) + "\" class=\"none\">none yet</td></tr>";
    for (const std::vector<std::string>& row : rows) {
        html += "<tr>";
        for (size_t i = 0; i < row.size(); ++i) {
            html += (i + 1 == row.size() ? "<td class=\"n\">" : "<td>") + HtmlEscape(row[i]) + "</td>";
        }
        html += "</tr>";
    }
    return html + "</tbody></table>";
}

std::string Card(const char* id, const char* label, const std::string& value) {
    return std::string("<div class=\"card\" id=\"") + id + "\"><div class=\"value\">" + HtmlEscape(value) +
           "</div><div class=\"label\">" + HtmlEscape(label) + "</div></div>";
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

namespace {

// A breakdown's rows as table rows: the values, then what the values not
// shown add up to (total: the game's counted reports, which every kind
// shares out).
std::vector<std::vector<std::string> > BreakdownRows(const char* kind, const QVBreakdownPage& page, int64_t total,
                                                     bool withOther) {
    std::vector<std::vector<std::string> > rows;
    int64_t shown = 0;
    for (const QVBreakdownRow& r : page.rows) {
        shown += r.reports;
        if (std::string(kind) == "os") {
            const size_t tab = r.value.find('\t');
            rows.push_back({r.value.substr(0, tab), tab == std::string::npos ? std::string() : r.value.substr(tab + 1),
                            Thousands(r.reports)});
        } else {
            rows.push_back({r.value.empty() ? "(none)" : r.value, Thousands(r.reports)});
        }
    }
    if (withOther && total > shown) {
        std::vector<std::string> other = {"(other values)", Thousands(total - shown)};
        if (std::string(kind) == "os") other.insert(other.begin() + 1, std::string());
        rows.push_back(other);
    }
    return rows;
}

struct QVKindTable {
    const char *kind, *id, *caption;
    std::vector<std::string> heads;
};

const QVKindTable kKindTables[] = {
    {"version", "versions", "Versions", {"version", "reports"}},
    {"os", "systems", "Operating systems", {"version", "system", "reports"}},
    {"flash", "flash", "Flash Player", {"flash", "reports"}},
};

}  // namespace

std::string RenderDashboard(const QVDashboardData& d) {
    std::string html = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Installations</title><style>";
    html += kStyle;
    html += "</style></head><body><h1>Installations";
    if (d.hasGame) html += ": game " + HtmlEscape(d.game);
    html += "</h1><form method=\"get\" action=\"/\"><label>Game <select name=\"game\" id=\"game\" "
            "onchange=\"this.form.submit()\">";
    for (const std::string& g : d.games) {
        html += "<option value=\"" + HtmlEscape(g) + "\"" + (d.hasGame && g == d.game ? " selected" : "") + ">" +
                HtmlEscape(g) + "</option>";
    }
    const std::string game = d.hasGame ? "?game=" + PercentEncode(d.game) : std::string();
    html += "</select></label> <noscript><button>Show</button></noscript> <a href=\"/export.csv" + game +
            "\">Export CSV</a> (<a href=\"/export.csv" + (game.empty() ? "?" : game + "&amp;") +
            "bom=1\" id=\"excel\">for Excel</a>)</form>";
    const QVGameSummary& s = d.summary;
    const QVBreakdownPage* pages[] = {&d.versions, &d.systems, &d.flash};
    if (!d.hasGame) {
        html += "<p id=\"empty\">No reports yet.</p>";
    } else if (!d.table.empty()) {
        // One table whole, a page at a time.
        for (size_t k = 0; k < 3; ++k) {
            if (d.table != kKindTables[k].id) continue;
            const QVBreakdownPage& page = *pages[k];
            std::vector<std::vector<std::string> > rows = BreakdownRows(kKindTables[k].kind, page, 0, false);
            if (page.other > 0 && d.page + 1 >= d.pages) {
                std::vector<std::string> other = {"(values beyond the first " + Thousands(page.values) + ")",
                                                  Thousands(page.other)};
                if (k == 1) other.insert(other.begin() + 1, std::string());
                rows.push_back(other);
            }
            html += "<p><a href=\"/" + game + "\">&larr; the overview</a></p>" +
                    Table(kKindTables[k].id, kKindTables[k].caption, kKindTables[k].heads, rows);
            const std::string base = "/" + game + "&amp;table=" + kKindTables[k].id + "&amp;page=";
            html += "<p class=\"pages\">page " + Thousands(static_cast<int64_t>(d.page) + 1) + " of " +
                    Thousands(static_cast<int64_t>(d.pages)) + " (" + Thousands(page.values) + " values)";
            if (d.page > 0) html += " <a href=\"" + base + std::to_string(d.page) + "\">previous</a>";
            if (d.page + 1 < d.pages) html += " <a href=\"" + base + std::to_string(d.page + 2) + "\">next</a>";
            html += "</p>";
        }
    } else {
        char perMachine[32];
        snprintf(perMachine, sizeof(perMachine), "%.2f", s.machines > 0 ? static_cast<double>(s.reports) / s.machines : 0.0);
        html += "<div class=\"cards\">" + Card("reports-today", "reports today", Thousands(s.reportsToday)) +
                Card("new-machines-today", "new machines today", Thousands(s.newMachinesToday)) +
                Card("machines", "unique machines", Thousands(s.machines)) +
                Card("per-machine", "reports per machine", perMachine) + "</div>";
        html += "<div class=\"legend\"><span style=\"color:#4f7fc4\">&#9632; reports</span><span style=\"color:#d9534f\">"
                "&#9473; new machines</span> (last 30 days, by the server's date)</div>" + Chart(d.days);
        for (size_t k = 0; k < 3; ++k) {
            const QVBreakdownPage& page = *pages[k];
            html += Table(kKindTables[k].id, kKindTables[k].caption, kKindTables[k].heads,
                          BreakdownRows(kKindTables[k].kind, page, s.reports, true));
            if (page.values > static_cast<int64_t>(page.rows.size())) {
                html += "<p class=\"more\"><a href=\"/" + game + "&amp;table=" + kKindTables[k].id + "\">all " +
                        Thousands(page.values) + " values</a></p>";
            }
        }
    }
    std::vector<std::vector<std::string> > rows;
    for (const QVHeldSource& h : d.held) {
        rows.push_back({h.source, Iso8601(h.first), Iso8601(h.last), Thousands(h.reports)});
    }
    if (d.table.empty()) {
        html += Table("held", "Held for review, all games (more reports from one source than its rate allows)",
                      {"source", "first", "last", "reports"}, rows);
    }
    rows.clear();
    for (const QVRejectCount& r : d.rejects) rows.push_back({r.day, r.reason, Thousands(r.count)});
    if (d.table.empty()) html += Table("rejects", "Refused requests, all games", {"day", "reason", "requests"}, rows);
    return html + "</body></html>\n";
}

}  // namespace Quorvel
