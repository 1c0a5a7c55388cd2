#include "server/Store.h"

#include <stdlib.h>

#include "server/Counting.h"
#include "server/PgStore.h"
#include "server/Sql.h"
#include "server/SqliteStore.h"

namespace Quorvel {

std::string OsValue(const QVReportRow& row) {
    return std::to_string(row.osMajor) + "." + std::to_string(row.osMinor) + "\t" + row.system;
}

void QVBatchCounts::Add(const QVReportRow& row, bool newMachine) {
    std::pair<int64_t, int64_t>& day = days[std::make_pair(row.gameId, row.day)];
    day.first += 1;
    day.second += newMachine ? 1 : 0;
    breakdown[std::make_tuple(row.gameId, std::string("version"), row.version)] += 1;
    breakdown[std::make_tuple(row.gameId, std::string("os"), OsValue(row))] += 1;
    breakdown[std::make_tuple(row.gameId, std::string("flash"), row.flash)] += 1;
    std::pair<int64_t, int64_t>& game = games[row.gameId];
    game.first += 1;
    game.second += newMachine ? 1 : 0;
}

QVTransaction::QVTransaction(QVSqlSession& session, const char* begin)
    : m_session(session), m_begun(session.Exec(begin)), m_done(false) {}

QVTransaction::~QVTransaction() {
    if (m_begun && !m_done) m_session.Exec("ROLLBACK");
}

bool QVTransaction::Commit() {
    if (!m_begun || m_done) return false;
    m_done = m_session.Exec("COMMIT");
    return m_done;
}

namespace {

int64_t Number(const std::string& text) { return atoll(text.c_str()); }

}  // namespace

bool QVStore::InTransaction(const std::function<bool(QVSqlSession&)>& work, std::string* error) {
    QVSqlSession* s = Session();
    if (s == NULL) {
        *error = "the database does not answer";
        return false;
    }
    QVTransaction transaction(*s, Begin());
    if (!transaction.Begun() || !work(*s) || !transaction.Commit()) {
        if (error->empty()) *error = s->Error();
        return false;
    }
    return true;
}

bool QVStore::Games(std::vector<std::string>* games) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT game_id FROM games ORDER BY reports DESC, game_id", {}, &rows)) return false;
    for (const QVSqlRow& r : rows) games->push_back(r[0]);
    return true;
}

bool QVStore::Summary(const std::string& game, const std::string& today, QVGameSummary* summary) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> totals, day;
    if (s == NULL || !s->Run("SELECT reports, machines FROM games WHERE game_id = ?", {game}, &totals) ||
        !s->Run("SELECT reports, new_machines FROM daily WHERE game_id = ? AND day = ?", {game, today}, &day)) {
        return false;
    }
    if (!totals.empty()) {
        summary->reports = Number(totals[0][0]);
        summary->machines = Number(totals[0][1]);
    }
    if (!day.empty()) {
        summary->reportsToday = Number(day[0][0]);
        summary->newMachinesToday = Number(day[0][1]);
    }
    return true;
}

bool QVStore::Days(const std::string& game, const std::string& firstDay, std::vector<QVDayCount>* days) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT day, reports, new_machines FROM daily WHERE game_id = ? AND day >= ? ORDER BY day",
                             {game, firstDay}, &rows)) {
        return false;
    }
    for (const QVSqlRow& r : rows) days->push_back(QVDayCount{r[0], Number(r[1]), Number(r[2])});
    return true;
}

bool QVStore::Breakdown(const std::string& game, const std::string& kind, size_t offset, size_t limit,
                        QVBreakdownPage* page) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows, other, values;
    if (s == NULL ||
        !s->Run("SELECT value, reports FROM breakdown WHERE game_id = ? AND kind = ? ORDER BY reports DESC, value"
                " LIMIT ? OFFSET ?",
                {game, kind, static_cast<int64_t>(limit), static_cast<int64_t>(offset)}, &rows) ||
        !s->Run("SELECT reports FROM breakdown WHERE game_id = ? AND kind = ?", {game, kind + ":other"}, &other) ||
        !s->Run("SELECT COUNT(*) FROM breakdown WHERE game_id = ? AND kind = ?", {game, kind}, &values)) {
        return false;
    }
    for (const QVSqlRow& r : rows) page->rows.push_back(QVBreakdownRow{r[0], Number(r[1])});
    page->other = other.empty() ? 0 : Number(other[0][0]);
    page->values = values.empty() ? 0 : Number(values[0][0]);
    return true;
}

bool QVStore::Rejects(std::vector<QVRejectCount>* rejects) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT day, reason, n FROM rejects ORDER BY day DESC, reason", {}, &rows)) return false;
    for (const QVSqlRow& r : rows) rejects->push_back(QVRejectCount{r[0], r[1], Number(r[2])});
    return true;
}

bool QVStore::Held(size_t limit, std::vector<QVHeldSource>* held) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT source, COUNT(*), MIN(received_at), MAX(received_at) FROM reports WHERE held = 1"
                             " GROUP BY source ORDER BY 2 DESC, source LIMIT ?",
                             {static_cast<int64_t>(limit)}, &rows)) {
        return false;
    }
    for (const QVSqlRow& r : rows) held->push_back(QVHeldSource{r[0], Number(r[1]), Number(r[2]), Number(r[3])});
    return true;
}

bool QVStore::ExportPage(const std::string& game, int64_t from, int64_t to, const QVExportPlace& after, size_t limit,
                         std::vector<QVReportRow>* rows) {
    rows->clear();
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> page;
    if (s == NULL ||
        !s->Run("SELECT id, received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash, source"
                " FROM reports WHERE (received_at > ? OR (received_at = ? AND id > ?)) AND received_at >= ?"
                " AND received_at < ? AND (? = '' OR game_id = ?) ORDER BY received_at, id LIMIT ?",
                {after.receivedAt, after.receivedAt, after.id, from, to, game, game, static_cast<int64_t>(limit)},
                &page)) {
        return false;
    }
    for (const QVSqlRow& c : page) {
        QVReportRow r;
        r.id = Number(c[0]);
        r.receivedAt = Number(c[1]);
        r.day = c[2];
        r.gameId = c[3];
        r.version = c[4];
        r.guid = c[5];
        r.clientTime = c[6];
        r.osMajor = Number(c[7]);
        r.osMinor = Number(c[8]);
        r.system = c[9];
        r.flash = c[10];
        r.source = c[11];
        rows->push_back(std::move(r));
    }
    return true;
}

bool QVStore::Prune(int64_t before, size_t limit, int64_t* deleted, std::string* error) {
    *deleted = 0;
    // A bounded number at a time, the oldest first: the writer waits for
    // this transaction's locks, so it stays short.
    return InTransaction([&](QVSqlSession& s) {
        if (!s.Run("DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE received_at < ?"
                   " ORDER BY received_at LIMIT ?)",
                   {before, static_cast<int64_t>(limit)})) {
            return false;
        }
        *deleted = s.Changes();
        return true;
    }, error);
}

bool QVStore::Release(const std::string& source, const std::string& game, int64_t* released, std::string* error) {
    return InTransaction([&](QVSqlSession& s) {
        return ReleaseReports(s, source, game, m_breakdownCap, released, error);
    }, error);
}

bool QVStore::Purge(const QVPurgeFilter& filter, bool dryRun, QVPurgeResult* result, std::string* error) {
    return InTransaction([&](QVSqlSession& s) { return PurgeReports(s, filter, dryRun, result, error); }, error);
}

std::unique_ptr<QVStore> OpenStore(const std::string& url, std::string* error, const QVStoreOptions& options) {
    if (url.compare(0, 7, "sqlite:") == 0 && url.size() > 7) {
        return std::unique_ptr<QVStore>(new QVSqliteStore(url.substr(7), options));
    }
    if (url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0) {
        return std::unique_ptr<QVStore>(new QVPgStore(url, options));
    }
    *error = "not a database this qvstats knows: " + url + " (give sqlite:PATH or postgresql://...)";
    return std::unique_ptr<QVStore>();
}

}  // namespace Quorvel
