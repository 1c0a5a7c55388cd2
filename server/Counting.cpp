#include "server/Counting.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "server/Days.h"

namespace Quorvel {

namespace {

bool Failed(QVSqlSession& s, std::string* error) {
    *error = s.Error();
    return false;
}

int64_t Number(const std::string& text) { return atoll(text.c_str()); }

// A breakdown's count moved by n: its own row when it has one; otherwise a
// new row while the game has fewer than cap values of that kind, else the
// kind's "other" row. Taking back (n < 0) never adds a value.
bool AddToBreakdown(QVSqlSession& s, const std::string& game, const std::string& kind, const std::string& value,
                    int64_t n, size_t cap, std::string* error) {
    if (!s.Run("UPDATE breakdown SET reports = reports + ? WHERE game_id = ? AND kind = ? AND value = ?",
               {n, game, kind, value})) {
        return Failed(s, error);
    }
    if (s.Changes() > 0) return true;
    bool room = false;
    if (n > 0) {
        std::vector<QVSqlRow> size;
        if (!s.Run("SELECT COUNT(*) FROM breakdown WHERE game_id = ? AND kind = ?", {game, kind}, &size)) {
            return Failed(s, error);
        }
        room = !size.empty() && static_cast<size_t>(Number(size[0][0])) < cap;
    }
    return s.Run("INSERT INTO breakdown AS b (game_id, kind, value, reports) VALUES (?, ?, ?, ?)"
                 " ON CONFLICT (game_id, kind, value) DO UPDATE SET reports = b.reports + excluded.reports",
                 {game, room ? kind : kind + ":other", room ? value : std::string(), n}) ||
           Failed(s, error);
}

bool ApplyCounts(QVSqlSession& s, const QVBatchCounts& counts, size_t cap, std::string* error) {
    for (const auto& d : counts.days) {
        if (!s.Run("INSERT INTO daily AS d (game_id, day, reports, new_machines) VALUES (?, ?, ?, ?)"
                   " ON CONFLICT (game_id, day) DO UPDATE SET reports = d.reports + excluded.reports,"
                   " new_machines = d.new_machines + excluded.new_machines",
                   {d.first.first, d.first.second, d.second.first, d.second.second})) {
            return Failed(s, error);
        }
    }
    for (const auto& b : counts.breakdown) {
        if (!AddToBreakdown(s, std::get<0>(b.first), std::get<1>(b.first), std::get<2>(b.first), b.second, cap, error)) {
            return false;
        }
    }
    for (const auto& g : counts.games) {
        if (!s.Run("INSERT INTO games AS g (game_id, reports, machines) VALUES (?, ?, ?) ON CONFLICT (game_id)"
                   " DO UPDATE SET reports = g.reports + excluded.reports, machines = g.machines + excluded.machines",
                   {g.first, g.second.first, g.second.second})) {
            return Failed(s, error);
        }
    }
    return true;
}

}  // namespace

bool CountReports(QVSqlSession& s, std::vector<const QVReportRow*> rows, size_t cap, std::string* error) {
    // Machines in key order, so that receivers sharing a database lock their
    // rows alike; a machine's reports in the order they came.
    std::stable_sort(rows.begin(), rows.end(), [](const QVReportRow* a, const QVReportRow* b) {
        return std::tie(a->gameId, a->guid, a->receivedAt) < std::tie(b->gameId, b->guid, b->receivedAt);
    });
    QVBatchCounts counts;
    for (const QVReportRow* r : rows) {
        if (!s.Run("INSERT INTO machines (game_id, guid, first_seen, last_seen, reports) VALUES (?, ?, ?, ?, 1)"
                   " ON CONFLICT (game_id, guid) DO NOTHING",
                   {r->gameId, r->guid, r->receivedAt, r->receivedAt})) {
            return Failed(s, error);
        }
        const bool fresh = s.Changes() == 1;
        if (!fresh && !s.Run("UPDATE machines SET reports = reports + 1,"
                             " first_seen = CASE WHEN first_seen > ? THEN ? ELSE first_seen END,"
                             " last_seen = CASE WHEN last_seen < ? THEN ? ELSE last_seen END"
                             " WHERE game_id = ? AND guid = ?",
                             {r->receivedAt, r->receivedAt, r->receivedAt, r->receivedAt, r->gameId, r->guid})) {
            return Failed(s, error);
        }
        counts.Add(*r, fresh);
    }
    return ApplyCounts(s, counts, cap, error);
}

bool CountRejects(QVSqlSession& s, const std::vector<QVRejectCount>& rejects, std::string* error) {
    for (const QVRejectCount& r : rejects) {
        if (!s.Run("INSERT INTO rejects AS j (day, reason, n) VALUES (?, ?, ?) ON CONFLICT (day, reason)"
                   " DO UPDATE SET n = j.n + excluded.n",
                   {r.day, r.reason, r.count})) {
            return Failed(s, error);
        }
    }
    return true;
}

namespace {

const char kMatching[] =
    " FROM reports WHERE (? = '' OR game_id = ?) AND (? = '' OR source = ?) AND received_at >= ? AND received_at < ?";

std::vector<QVSqlValue> FilterValues(const QVPurgeFilter& f) {
    return {f.game, f.game, f.source, f.source, f.from, f.to};
}

}  // namespace

bool PurgeReports(QVSqlSession& s, const QVPurgeFilter& f, bool dryRun, QVPurgeResult* result, std::string* error) {
    *result = QVPurgeResult();
    QVBatchCounts counts;  // what the counted reports added, to be taken back
    std::map<std::pair<std::string, std::string>, int64_t> machines;
    // A page at a time, by id: the rows in memory stay few however many
    // match.
    const size_t kPage = 5000;
    std::string after = "-9223372036854775808";
    for (;;) {
        std::vector<QVSqlRow> page;
        std::vector<QVSqlValue> values = FilterValues(f);
        values.push_back(Number(after));
        values.push_back(static_cast<int64_t>(kPage));
        if (!s.Run(std::string("SELECT id, game_id, guid, day, version, osmajor, osminor, system, flash, held, received_at") +
                       kMatching + " AND id > ? ORDER BY id LIMIT ?",
                   values, &page)) {
            return Failed(s, error);
        }
        for (const QVSqlRow& c : page) {
            ++result->reports;
            if (Number(c[9]) != 0) {
                ++result->held;
                continue;
            }
            QVReportRow r;
            r.gameId = c[1];
            r.guid = c[2];
            r.day = c[3];
            r.version = c[4];
            r.osMajor = Number(c[5]);
            r.osMinor = Number(c[6]);
            r.system = c[7];
            r.flash = c[8];
            counts.Add(r, false);
            machines[std::make_pair(r.gameId, r.guid)] += 1;
        }
        if (!page.empty() && !dryRun) {
            values = FilterValues(f);
            values.push_back(Number(after));
            values.push_back(Number(page.back()[0]));
            if (!s.Run(std::string("DELETE") + kMatching + " AND id > ? AND id <= ?", values)) return Failed(s, error);
        }
        if (page.size() < kPage) break;
        after = page.back()[0];
    }
    // Machines left with none of their reports go, and with them a unique
    // machine of the game and a new machine of their first day.
    for (const auto& m : machines) {
        std::vector<QVSqlRow> left;
        if (!s.Run("SELECT reports, first_seen FROM machines WHERE game_id = ? AND guid = ?",
                   {m.first.first, m.first.second}, &left)) {
            return Failed(s, error);
        }
        if (left.empty()) continue;
        const bool gone = Number(left[0][0]) <= m.second;
        if (gone) {
            ++result->machines;
            auto& day = counts.days[std::make_pair(m.first.first, LocalDay(Number(left[0][1])))];
            day.second += 1;
            counts.games[m.first.first].second += 1;
        }
        if (dryRun) continue;
        const bool done = gone ? s.Run("DELETE FROM machines WHERE game_id = ? AND guid = ?", {m.first.first, m.first.second})
                               : s.Run("UPDATE machines SET reports = reports - ? WHERE game_id = ? AND guid = ?",
                                       {m.second, m.first.first, m.first.second});
        if (!done) return Failed(s, error);
    }
    if (dryRun) return true;
    // Taken back: the same counts, negative.
    QVBatchCounts back;
    for (const auto& d : counts.days) back.days[d.first] = std::make_pair(-d.second.first, -d.second.second);
    for (const auto& b : counts.breakdown) back.breakdown[b.first] = -b.second;
    for (const auto& g : counts.games) back.games[g.first] = std::make_pair(-g.second.first, -g.second.second);
    if (!ApplyCounts(s, back, 0, error)) return false;
    // Rows with nothing left in them would only make the tables longer.
    return s.Exec("DELETE FROM daily WHERE reports <= 0 AND new_machines <= 0;"
                  "DELETE FROM breakdown WHERE reports <= 0;"
                  "DELETE FROM games WHERE reports <= 0 AND machines <= 0;") ||
           Failed(s, error);
}

bool ReleaseReports(QVSqlSession& s, const std::string& source, const std::string& game, size_t cap,
                    int64_t* released, std::string* error) {
    *released = 0;
    std::vector<QVSqlRow> held;
    if (!s.Run("SELECT received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash FROM reports"
               " WHERE held = 1 AND source = ? AND (? = '' OR game_id = ?) ORDER BY received_at",
               {source, game, game}, &held)) {
        return Failed(s, error);
    }
    std::vector<QVReportRow> rows;
    for (const QVSqlRow& c : held) {
        QVReportRow r;
        r.receivedAt = Number(c[0]);
        r.day = c[1];
        r.gameId = c[2];
        r.version = c[3];
        r.guid = c[4];
        r.clientTime = c[5];
        r.osMajor = Number(c[6]);
        r.osMinor = Number(c[7]);
        r.system = c[8];
        r.flash = c[9];
        rows.push_back(std::move(r));
    }
    std::vector<const QVReportRow*> pointers;
    for (const QVReportRow& r : rows) pointers.push_back(&r);
    if (!CountReports(s, pointers, cap, error)) return false;
    if (!s.Run("UPDATE reports SET held = 0 WHERE held = 1 AND source = ? AND (? = '' OR game_id = ?)",
               {source, game, game})) {
        return Failed(s, error);
    }
    *released = s.Changes();
    return true;
}

}  // namespace Quorvel
