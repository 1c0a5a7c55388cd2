// The store for more than one machine: any number of receivers against one
// PostgreSQL database, each stateless. The database's own unique key keeps a
// report that two receivers take in stored once.
#include "server/PgStore.h"

#include <libpq-fe.h>
#include <stdlib.h>

#include <algorithm>
#include <numeric>

namespace Quorvel {

QVPgResult::~QVPgResult() { PQclear(m_result); }

bool QVPgResult::ok() const {
    const ExecStatusType status = m_result != NULL ? PQresultStatus(m_result) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string QVPgResult::State() const {
    const char* state = m_result != NULL ? PQresultErrorField(m_result, PG_DIAG_SQLSTATE) : NULL;
    return state != NULL ? state : "";
}

int QVPgResult::Rows() const { return m_result != NULL ? PQntuples(m_result) : 0; }

int64_t QVPgResult::Affected() const { return m_result != NULL ? atoll(PQcmdTuples(m_result)) : 0; }

std::string QVPgResult::Text(int row, int column) const {
    return std::string(PQgetvalue(m_result, row, column), static_cast<size_t>(PQgetlength(m_result, row, column)));
}

int64_t QVPgResult::Int(int row, int column) const { return atoll(PQgetvalue(m_result, row, column)); }

namespace {

void Quiet(void*, const char*) {}  // "relation already exists" and the like

}  // namespace

QVPgConnection::QVPgConnection(const std::string& url) : m_conn(PQconnectdb(url.c_str())) {
    if (m_conn != NULL) PQsetNoticeProcessor(m_conn, Quiet, NULL);
}

QVPgConnection::~QVPgConnection() { PQfinish(m_conn); }

bool QVPgConnection::valid() const { return m_conn != NULL && PQstatus(m_conn) == CONNECTION_OK; }

bool QVPgConnection::Reset() {
    if (m_conn == NULL) return false;
    PQreset(m_conn);
    return valid();
}

std::string QVPgConnection::Error() const {
    std::string message = m_conn != NULL ? PQerrorMessage(m_conn) : "out of memory";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return message;
}

QVPgResult QVPgConnection::Exec(const char* sql) { return QVPgResult(PQexec(m_conn, sql)); }

bool QVPgConnection::Prepare(const char* name, const char* sql, int parameters) {
    return QVPgResult(PQprepare(m_conn, name, sql, parameters, NULL)).ok();
}

QVPgResult QVPgConnection::Run(const char* name, const std::vector<std::string>& parameters, int binaryIndex) {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (size_t i = 0; i < parameters.size(); ++i) {
        values.push_back(parameters[i].data());
        lengths.push_back(static_cast<int>(parameters[i].size()));
        formats.push_back(static_cast<int>(i) == binaryIndex ? 1 : 0);
    }
    return QVPgResult(PQexecPrepared(m_conn, name, static_cast<int>(parameters.size()), values.data(), lengths.data(),
                                     formats.data(), 0));
}

QVPgResult QVPgConnection::Query(const char* sql, const std::vector<std::string>& parameters) {
    std::vector<const char*> values;
    for (const std::string& p : parameters) values.push_back(p.c_str());
    return QVPgResult(PQexecParams(m_conn, sql, static_cast<int>(parameters.size()), NULL, values.data(), NULL, NULL, 0));
}

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS reports (id BIGSERIAL PRIMARY KEY, received_at BIGINT NOT NULL, day TEXT NOT NULL,"
    " game_id TEXT NOT NULL, version TEXT NOT NULL, guid TEXT NOT NULL, client_time TEXT NOT NULL,"
    " osmajor BIGINT NOT NULL, osminor BIGINT NOT NULL, system TEXT NOT NULL, flash TEXT NOT NULL,"
    " body BYTEA NOT NULL, UNIQUE (game_id, guid, client_time));"
    "CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received_at);"
    "CREATE TABLE IF NOT EXISTS machines (game_id TEXT NOT NULL, guid TEXT NOT NULL, first_seen BIGINT NOT NULL,"
    " last_seen BIGINT NOT NULL, reports BIGINT NOT NULL, PRIMARY KEY (game_id, guid));"
    "CREATE TABLE IF NOT EXISTS daily (game_id TEXT NOT NULL, day TEXT NOT NULL, reports BIGINT NOT NULL,"
    " new_machines BIGINT NOT NULL, PRIMARY KEY (game_id, day));"
    "CREATE TABLE IF NOT EXISTS breakdown (game_id TEXT NOT NULL, kind TEXT NOT NULL, value TEXT NOT NULL,"
    " reports BIGINT NOT NULL, PRIMARY KEY (game_id, kind, value));"
    "CREATE TABLE IF NOT EXISTS games (game_id TEXT PRIMARY KEY, reports BIGINT NOT NULL, machines BIGINT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS rejects (day TEXT NOT NULL, reason TEXT NOT NULL, n BIGINT NOT NULL,"
    " PRIMARY KEY (day, reason));";

const struct {
    const char* name;
    const char* sql;
    int parameters;
} kStatements[] = {
    {"insert_report",
     "INSERT INTO reports (received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash,"
     " body) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) ON CONFLICT (game_id, guid, client_time) DO NOTHING",
     11},
    {"insert_machine",
     "INSERT INTO machines (game_id, guid, first_seen, last_seen, reports) VALUES ($1, $2, $3, $3, 1)"
     " ON CONFLICT (game_id, guid) DO NOTHING",
     3},
    {"update_machine",
     "UPDATE machines SET reports = reports + 1, last_seen = GREATEST(last_seen, $3) WHERE game_id = $1 AND guid = $2", 3},
    {"add_day",
     "INSERT INTO daily (game_id, day, reports, new_machines) VALUES ($1, $2, $3, $4) ON CONFLICT (game_id, day)"
     " DO UPDATE SET reports = daily.reports + excluded.reports, new_machines = daily.new_machines + excluded.new_machines",
     4},
    {"add_breakdown",
     "INSERT INTO breakdown (game_id, kind, value, reports) VALUES ($1, $2, $3, $4) ON CONFLICT (game_id, kind, value)"
     " DO UPDATE SET reports = breakdown.reports + excluded.reports",
     4},
    {"add_game",
     "INSERT INTO games (game_id, reports, machines) VALUES ($1, $2, $3) ON CONFLICT (game_id)"
     " DO UPDATE SET reports = games.reports + excluded.reports, machines = games.machines + excluded.machines",
     3},
    {"add_reject",
     "INSERT INTO rejects (day, reason, n) VALUES ($1, $2, $3) ON CONFLICT (day, reason)"
     " DO UPDATE SET n = rejects.n + excluded.n",
     3},
};

std::string Number(int64_t value) { return std::to_string(value); }

}  // namespace

QVPgStore::QVPgStore(const std::string& url) : m_url(url), m_conn(url) {}

bool QVPgStore::Prepare(std::string* error) {
    if (!m_conn.valid()) {
        *error = "cannot connect to " + m_url + ": " + m_conn.Error();
        return false;
    }
    // Receivers that start together create the schema one after another.
    QVPgResult begin = m_conn.Exec("BEGIN; SELECT pg_advisory_xact_lock(7718310);");
    QVPgResult schema = m_conn.Exec(kSchema);
    if (!begin.ok() || !schema.ok()) {
        *error = "cannot use " + m_url + ": " + m_conn.Error();
        m_conn.Exec("ROLLBACK");
        return false;
    }
    QVPgResult version = m_conn.Exec("SELECT value FROM meta WHERE key = 'schema_version'");
    if (version.ok() && version.Rows() == 1 && atoll(version.Text(0, 0).c_str()) > kSchemaVersion) {
        *error = "the database has schema version " + version.Text(0, 0) + ", newer than the " +
                 std::to_string(kSchemaVersion) + " this qvstats knows: use a newer qvstats";
        m_conn.Exec("ROLLBACK");
        return false;
    }
    QVPgResult mark = m_conn.Query("INSERT INTO meta (key, value) VALUES ('schema_version', $1) ON CONFLICT DO NOTHING",
                                   {std::to_string(kSchemaVersion)});
    if (!mark.ok() || !m_conn.Exec("COMMIT").ok()) {
        *error = "cannot use " + m_url + ": " + m_conn.Error();
        m_conn.Exec("ROLLBACK");
        return false;
    }
    if (!PrepareStatements()) {
        *error = "cannot use " + m_url + ": " + m_conn.Error();
        return false;
    }
    return true;
}

bool QVPgStore::PrepareStatements() {
    for (const auto& statement : kStatements) {
        if (!m_conn.Prepare(statement.name, statement.sql, statement.parameters)) return false;
    }
    return true;
}

bool QVPgStore::Connected() { return m_conn.valid() || (m_conn.Reset() && PrepareStatements()); }

bool QVPgStore::TryBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                         std::vector<bool>* inserted, std::string* state, std::string* error) {
    inserted->assign(rows.size(), false);
    if (!Connected()) {
        *error = m_conn.Error();
        return false;
    }
    QVPgResult begin = m_conn.Exec("BEGIN");
    if (!begin.ok()) {
        *error = m_conn.Error();
        return false;
    }
    // Rows in key order, and the counts in theirs (maps are ordered): two
    // receivers then take their row locks in the same order.
    std::vector<size_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&rows](size_t a, size_t b) {
        return std::tie(rows[a].gameId, rows[a].guid, rows[a].clientTime) <
               std::tie(rows[b].gameId, rows[b].guid, rows[b].clientTime);
    });
    QVBatchCounts counts;
    const auto failed = [&](const QVPgResult& result) {
        *state = result.State();
        *error = m_conn.Error();
        m_conn.Exec("ROLLBACK");
        inserted->assign(rows.size(), false);
        return false;
    };
    for (size_t i : order) {
        const QVReportRow& r = rows[i];
        QVPgResult report = m_conn.Run("insert_report",
            {Number(r.receivedAt), r.day, r.gameId, r.version, r.guid, r.clientTime, Number(r.osMajor), Number(r.osMinor),
             r.system, r.flash, r.body}, 10);
        if (!report.ok()) return failed(report);
        if (report.Affected() == 0) continue;  // stored already, by this receiver or another
        (*inserted)[i] = true;
        QVPgResult machine = m_conn.Run("insert_machine", {r.gameId, r.guid, Number(r.receivedAt)});
        if (!machine.ok()) return failed(machine);
        const bool newMachine = machine.Affected() == 1;
        if (!newMachine) {
            QVPgResult update = m_conn.Run("update_machine", {r.gameId, r.guid, Number(r.receivedAt)});
            if (!update.ok()) return failed(update);
        }
        counts.Add(r, newMachine);
    }
    for (const auto& d : counts.days) {
        QVPgResult day = m_conn.Run("add_day", {d.first.first, d.first.second, Number(d.second.first), Number(d.second.second)});
        if (!day.ok()) return failed(day);
    }
    for (const auto& b : counts.breakdown) {
        QVPgResult row = m_conn.Run("add_breakdown",
                                    {std::get<0>(b.first), std::get<1>(b.first), std::get<2>(b.first), Number(b.second)});
        if (!row.ok()) return failed(row);
    }
    for (const auto& g : counts.games) {
        QVPgResult game = m_conn.Run("add_game", {g.first, Number(g.second.first), Number(g.second.second)});
        if (!game.ok()) return failed(game);
    }
    for (const QVRejectCount& r : rejects) {
        QVPgResult reject = m_conn.Run("add_reject", {r.day, r.reason, Number(r.count)});
        if (!reject.ok()) return failed(reject);
    }
    QVPgResult commit = m_conn.Exec("COMMIT");
    if (!commit.ok()) return failed(commit);
    return true;
}

bool QVPgStore::WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                           std::vector<bool>* inserted, std::string* error) {
    // Receivers' transactions may still meet in a deadlock or serialization
    // failure: the database rolls one back, and it is simply tried again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string state;
        if (TryBatch(rows, rejects, inserted, &state, error)) return true;
        // A connection lost on the way is tried again once it is back: the
        // batch then stores only what did not commit.
        const bool lost = !m_conn.valid() && Connected();
        if (state != "40P01" && state != "40001" && !lost) return false;
    }
    return false;
}

bool QVPgStore::Healthy() { return Connected() && m_conn.Exec("SELECT 1").ok(); }

// A page of the dashboard starts here.
bool QVPgStore::Games(std::vector<std::string>* games) {
    if (!Connected()) return false;
    QVPgResult result = m_conn.Exec("SELECT game_id FROM games ORDER BY reports DESC, game_id");
    for (int i = 0; i < result.Rows(); ++i) games->push_back(result.Text(i, 0));
    return result.ok();
}

bool QVPgStore::Summary(const std::string& game, const std::string& today, QVGameSummary* s) {
    QVPgResult totals = m_conn.Query("SELECT reports, machines FROM games WHERE game_id = $1", {game});
    QVPgResult day = m_conn.Query("SELECT reports, new_machines FROM daily WHERE game_id = $1 AND day = $2", {game, today});
    if (totals.Rows() == 1) {
        s->reports = totals.Int(0, 0);
        s->machines = totals.Int(0, 1);
    }
    if (day.Rows() == 1) {
        s->reportsToday = day.Int(0, 0);
        s->newMachinesToday = day.Int(0, 1);
    }
    return totals.ok() && day.ok();
}

bool QVPgStore::Days(const std::string& game, const std::string& firstDay, std::vector<QVDayCount>* days) {
    QVPgResult result = m_conn.Query(
        "SELECT day, reports, new_machines FROM daily WHERE game_id = $1 AND day >= $2 ORDER BY day", {game, firstDay});
    for (int i = 0; i < result.Rows(); ++i) days->push_back(QVDayCount{result.Text(i, 0), result.Int(i, 1), result.Int(i, 2)});
    return result.ok();
}

bool QVPgStore::Breakdown(const std::string& game, const std::string& kind, std::vector<QVBreakdownRow>* rows) {
    QVPgResult result = m_conn.Query(
        "SELECT value, reports FROM breakdown WHERE game_id = $1 AND kind = $2 ORDER BY reports DESC, value", {game, kind});
    for (int i = 0; i < result.Rows(); ++i) rows->push_back(QVBreakdownRow{result.Text(i, 0), result.Int(i, 1)});
    return result.ok();
}

bool QVPgStore::Rejects(std::vector<QVRejectCount>* rejects) {
    QVPgResult result = m_conn.Exec("SELECT day, reason, n FROM rejects ORDER BY day DESC, reason");
    for (int i = 0; i < result.Rows(); ++i) {
        rejects->push_back(QVRejectCount{result.Text(i, 0), result.Text(i, 1), result.Int(i, 2)});
    }
    return result.ok();
}

bool QVPgStore::Export(const std::string& game, int64_t from, int64_t to,
                       const std::function<bool(const QVReportRow&)>& row) {
    // In pages, so that a large export neither waits for all rows nor holds
    // them all.
    const int64_t kPage = 5000;
    if (!Connected()) return false;
    int64_t afterTime = from, afterId = -1;
    for (;;) {
        QVPgResult page = m_conn.Query(
            "SELECT id, received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash FROM reports"
            " WHERE (received_at, id) > ($1::bigint, $2::bigint) AND received_at < $3::bigint"
            " AND ($4 = '' OR game_id = $4) ORDER BY received_at, id LIMIT 5000",
            {Number(afterTime), Number(afterId), Number(to), game});
        if (!page.ok()) return false;
        QVReportRow r;
        for (int i = 0; i < page.Rows(); ++i) {
            afterId = page.Int(i, 0);
            r.receivedAt = afterTime = page.Int(i, 1);
            r.day = page.Text(i, 2);
            r.gameId = page.Text(i, 3);
            r.version = page.Text(i, 4);
            r.guid = page.Text(i, 5);
            r.clientTime = page.Text(i, 6);
            r.osMajor = page.Int(i, 7);
            r.osMinor = page.Int(i, 8);
            r.system = page.Text(i, 9);
            r.flash = page.Text(i, 10);
            if (!row(r)) return true;
        }
        if (page.Rows() < kPage) return true;
    }
}

}  // namespace Quorvel
