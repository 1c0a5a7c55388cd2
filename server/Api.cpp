#include "server/Api.h"

#include <stdio.h>

namespace Quorvel {

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char escaped[8];
                snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                out += escaped;
            } else if (c == '<') {
                out += "\\u003c";  // never a tag, should the text land in a page
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string ErrorJson(const std::string& message) { return "{\"error\": " + JsonString(message) + "}\n"; }

namespace {

std::string Ratio(int64_t reports, int64_t machines) {
    char text[32];
    snprintf(text, sizeof(text), "%.2f", machines > 0 ? static_cast<double>(reports) / machines : 0.0);
    return text;
}

std::string Counts(const QVPeriodTotals& t) {
    return "\"reports\": " + std::to_string(t.reports) + ", \"new_machines\": " + std::to_string(t.newMachines) +
           ", \"machines\": " + std::to_string(t.machines) + ", \"reports_per_machine\": " + Ratio(t.reports, t.machines);
}

std::string Name(const QVDashboardData& d, const std::string& game) {
    const auto named = d.names.find(game);
    return named != d.names.end() ? JsonString(named->second) : "null";
}

// A breakdown's values with their shares; fields: the names of the value's
// parts (an operating system has three).
std::string Values(const QVBreakdownPage& page, int64_t total, bool os, const char* field) {
    std::string json = "[";
    for (size_t i = 0; i < page.rows.size(); ++i) {
        const QVBreakdownRow& r = page.rows[i];
        json += i == 0 ? "{" : ", {";
        if (os) {
            const size_t tab = r.value.find('\t');
            const std::string version = r.value.substr(0, tab), system = tab == std::string::npos ? "" : r.value.substr(tab + 1);
            const size_t dot = version.find('.');
            json += "\"osmajor\": " + version.substr(0, dot) + ", \"osminor\": " +
                    (dot == std::string::npos ? "0" : version.substr(dot + 1)) + ", \"system\": " + JsonString(system);
        } else {
            json += std::string("\"") + field + "\": " + JsonString(r.value);
        }
        json += ", \"reports\": " + std::to_string(r.reports) + ", \"share\": " + Share(r.reports, total) + "}";
    }
    return json + "]";
}

}  // namespace

std::string RenderSummaryJson(const QVDashboardData& d) {
    const QVPeriodTotals& t = d.totals;
    std::string json = "{\"game\": " + JsonString(d.game) + ", \"name\": " + Name(d, d.game) + ", \"from\": \"" + d.from +
                       "\", \"to\": \"" + d.to + "\", " + Counts(t) + ", \"previous\": {\"from\": \"" + d.previousFrom +
                       "\", \"to\": \"" + d.previousTo + "\", " + Counts(d.previous) + "}, \"days\": [";
    for (size_t i = 0; i < d.days.size(); ++i) {
        json += std::string(i == 0 ? "" : ", ") + "{\"day\": \"" + d.days[i].day + "\", \"reports\": " +
                std::to_string(d.days[i].reports) + ", \"new_machines\": " + std::to_string(d.days[i].newMachines) + "}";
    }
    json += "], \"versions\": " + Values(d.versions, t.reports, false, "version") +
            ", \"versions_other\": " + std::to_string(d.versions.other) +
            ", \"systems\": " + Values(d.systems, t.reports, true, "") +
            ", \"systems_other\": " + std::to_string(d.systems.other) +
            ", \"flash\": " + Values(d.flash, t.reports, false, "flash") +
            ", \"flash_other\": " + std::to_string(d.flash.other) + ", \"versions_by_day\": [";
    for (size_t i = 0; i < d.versionsByDay.size(); ++i) {
        const QVDayValue& v = d.versionsByDay[i];
        json += std::string(i == 0 ? "" : ", ") + "{\"day\": \"" + v.day + "\", \"version\": " +
                (v.other ? std::string("null") : JsonString(v.value)) + ", \"reports\": " + std::to_string(v.reports) + "}";
    }
    return json + "]}\n";
}

std::string RenderGamesJson(const QVDashboardData& d) {
    std::string json = "{\"from\": \"" + d.from + "\", \"to\": \"" + d.to + "\", \"page\": " +
                       std::to_string(d.page + 1) + ", \"pages\": " + std::to_string(d.pages) + ", \"games\": [";
    for (size_t i = 0; i < d.gameRows.size(); ++i) {
        const QVGameRow& g = d.gameRows[i];
        json += std::string(i == 0 ? "" : ", ") + "{\"game\": " + JsonString(g.game) + ", \"name\": " + Name(d, g.game) +
                ", " + Counts(g.now) + ", \"previous\": {\"from\": \"" + d.previousFrom + "\", \"to\": \"" + d.previousTo +
                "\", " + Counts(g.before) + "}}";
    }
    return json + "]}\n";
}

}  // namespace Quorvel
