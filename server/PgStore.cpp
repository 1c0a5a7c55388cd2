// The store for more than one machine: any number of receivers against one
// PostgreSQL database, each stateless. The database's own unique key keeps a
// report that two receivers take in stored once.
#include "server/PgStore.h"

#include <errno.h>
#include <libpq-fe.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <numeric>
#include <tuple>

#include "server/Log.h"
#include "server/Schema.h"

namespace Quorvel {

QVPgResult::~QVPgResult() { PQclear(m_result); }

bool QVPgResult::Succeeded(const pg_result* result) {
    if (result == NULL) return true;  // nothing yet: nothing failed
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

bool QVPgResult::ok() const { return m_result != NULL && Succeeded(m_result); }

std::string QVPgResult::State() const {
    const char* state = m_result != NULL ? PQresultErrorField(m_result, PG_DIAG_SQLSTATE) : NULL;
    return state != NULL ? state : "";
}

int QVPgResult::Rows() const { return m_result != NULL ? PQntuples(m_result) : 0; }


std::string QVPgResult::Text(int row, int column) const {
    return std::string(PQgetvalue(m_result, row, column), static_cast<size_t>(PQgetlength(m_result, row, column)));
}

int64_t QVPgResult::Int(int row, int column) const { return atoll(PQgetvalue(m_result, row, column)); }

int64_t QVPgResult::Affected() const { return m_result != NULL ? atoll(PQcmdTuples(m_result)) : 0; }

int QVPgResult::Columns() const { return m_result != NULL ? PQnfields(m_result) : 0; }

std::string QVPgResult::Message() const {
    return m_result != NULL && !Succeeded(m_result) ? OneLine(PQresultErrorMessage(m_result)) : std::string();
}

QVPgResult& QVPgResult::operator=(QVPgResult&& other) {
    if (this != &other) {
        PQclear(m_result);
        m_result = other.m_result;
        other.m_result = NULL;
    }
    return *this;
}

namespace {

void Quiet(void*, const char*) {}  // "relation already exists" and the like

int64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the socket is ready for one of events or the deadline
// passes; false at the deadline or on a failure.
bool WaitSocket(int socket, short events, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) return false;
        struct pollfd p = {socket, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

}  // namespace

QVPgConnection::QVPgConnection(const std::string& url, int timeoutMilliseconds)
    : m_url(url), m_timeout(timeoutMilliseconds), m_conn(NULL), m_timedOut(false) {}

QVPgConnection::~QVPgConnection() { PQfinish(m_conn); }

bool QVPgConnection::valid() const { return m_conn != NULL && PQstatus(m_conn) == CONNECTION_OK; }

void QVPgConnection::Drop(const std::string& why) {
    m_error = why;
    PQfinish(m_conn);
    m_conn = NULL;
}

bool QVPgConnection::Connect() {
    PQfinish(m_conn);
    m_timedOut = false;
    // Not PQconnectdb: it waits for a frozen server for ever, unless the
    // URL sets a time-out of its own.
    m_conn = PQconnectStart(m_url.c_str());
    if (m_conn == NULL) {
        m_error = "out of memory";
        return false;
    }
    const int64_t deadline = NowMs() + m_timeout;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(m_conn) != CONNECTION_BAD && state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        if (!WaitSocket(PQsocket(m_conn), state == PGRES_POLLING_WRITING ? POLLOUT : POLLIN, deadline)) {
            m_timedOut = NowMs() >= deadline;
            Drop(m_timedOut ? "no answer from the database within " + std::to_string(m_timeout) + " ms"
                            : "cannot wait for the database");
            return false;
        }
        state = PQconnectPoll(m_conn);
    }
    if (state != PGRES_POLLING_OK || PQstatus(m_conn) != CONNECTION_OK) {
        Drop(Error().empty() ? "cannot connect" : OneLine(PQerrorMessage(m_conn)));
        return false;
    }
    PQsetNoticeProcessor(m_conn, Quiet, NULL);
    // Sending never blocks either: a large batch goes out as the socket
    // takes it, within the same deadline.
    PQsetnonblocking(m_conn, 1);
    m_error.clear();
    return true;
}

std::string QVPgConnection::Error() const {
    if (!m_error.empty() || m_conn == NULL) return m_error.empty() ? "not connected" : m_error;
    return OneLine(PQerrorMessage(m_conn));
}

QVPgResult QVPgConnection::Await(bool sent) {
    m_timedOut = false;
    if (!sent) {
        if (m_conn != NULL && PQstatus(m_conn) == CONNECTION_BAD) Drop(OneLine(PQerrorMessage(m_conn)));
        return QVPgResult();
    }
    const int64_t deadline = NowMs() + m_timeout;
    pg_result* kept = NULL;  // the first failure, else the last result
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed < 0) break;
        if (flushed == 0 && !PQisBusy(m_conn)) {
            pg_result* result = PQgetResult(m_conn);
            if (result == NULL) return QVPgResult(kept);
            if (!QVPgResult::Succeeded(kept)) {
                PQclear(result);
            } else {
                PQclear(kept);
                kept = result;
            }
            continue;
        }
        // Still sending: the server may answer (or fail) before taking it
        // all, so its input is read as well.
        if (!WaitSocket(PQsocket(m_conn), flushed == 1 ? POLLOUT | POLLIN : POLLIN, deadline)) {
            PQclear(kept);
            m_timedOut = NowMs() >= deadline;
            Drop(m_timedOut ? "no answer from the database within " + std::to_string(m_timeout) + " ms"
                            : "cannot wait for the database");
            return QVPgResult();
        }
        if (PQconsumeInput(m_conn) == 0) break;
    }
    PQclear(kept);
    Drop(OneLine(PQerrorMessage(m_conn)));
    return QVPgResult();
}

QVPgResult QVPgConnection::Exec(const char* sql) {
    if (!valid()) return QVPgResult();
    return Await(PQsendQuery(m_conn, sql) == 1);
}

bool QVPgConnection::Prepare(const char* name, const char* sql, int parameters) {
    if (!valid()) return false;
    return Await(PQsendPrepare(m_conn, name, sql, parameters, NULL) == 1).ok();
}

QVPgResult QVPgConnection::RunBinary(const char* name, const std::vector<std::string>& parameters) {
    if (!valid()) return QVPgResult();
    std::vector<const char*> values;
    std::vector<int> lengths;
    for (const std::string& p : parameters) {
        values.push_back(p.data());
        lengths.push_back(static_cast<int>(p.size()));
    }
    const std::vector<int> formats(parameters.size(), 1);
    return Await(PQsendQueryPrepared(m_conn, name, static_cast<int>(parameters.size()), values.data(), lengths.data(),
                                     formats.data(), 0) == 1);
}

QVPgResult QVPgConnection::QueryParams(const char* sql, const std::vector<std::string>& parameters,
                                       const std::vector<int>& binary) {
    if (!valid()) return QVPgResult();
    std::vector<const char*> values;
    std::vector<int> lengths;
    for (const std::string& p : parameters) {
        values.push_back(p.c_str());
        lengths.push_back(static_cast<int>(p.size()));
    }
    return Await(PQsendQueryParams(m_conn, sql, static_cast<int>(parameters.size()), NULL, values.data(),
                                   lengths.data(), binary.data(), 0) == 1);
}

namespace {

// A whole batch in one statement, so one round trip and one implicit
// transaction: the reports that are new, their machines (new when the
// count after the upsert is this batch's own, as a stored machine has at
// least one report), then the counts of only those not held, by the rule of
// CountReports: the first cap values of a breakdown (in byte order) have
// rows of their own, further ones count under "KIND:other". Every table is
// written in key order, so that receivers sharing the database lock rows
// alike.
const char kWriteBatch[] =
    "WITH batch AS ("
    "  SELECT * FROM unnest($1::bigint[], $2::text[], $3::text[], $4::text[], $5::text[], $6::text[], $7::bigint[],"
    "    $8::bigint[], $9::text[], $10::text[], $11::bytea[], $12::text[], $13::bigint[])"
    "    AS b (received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash, body, source, held)),"
    " inserted AS ("
    "  INSERT INTO reports (received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash, body,"
    "    source, held)"
    "  SELECT * FROM batch ORDER BY client_time, game_id, guid"
    "  ON CONFLICT (client_time, game_id, guid) DO NOTHING"
    "  RETURNING game_id, guid, client_time, received_at, day, version, osmajor, osminor, system, flash, held),"
    " stored AS (SELECT * FROM inserted WHERE held = 0),"
    " seen AS ("
    "  SELECT game_id, guid, min(received_at) AS first_seen, max(received_at) AS last_seen, count(*) AS n,"
    "    min(day) AS day FROM stored GROUP BY game_id, guid),"
    " machine AS ("
    "  INSERT INTO machines AS m (game_id, guid, first_seen, last_seen, reports)"
    "  SELECT game_id, guid, first_seen, last_seen, n FROM seen ORDER BY game_id, guid"
    "  ON CONFLICT (game_id, guid) DO UPDATE SET reports = m.reports + excluded.reports,"
    "    first_seen = LEAST(m.first_seen, excluded.first_seen), last_seen = GREATEST(m.last_seen, excluded.last_seen)"
    "  RETURNING game_id, guid, reports),"
    " counted AS ("
    "  SELECT game_id, day, count(*) FILTER (WHERE report) AS reports, count(*) FILTER (WHERE NOT report) AS new_machines"
    "  FROM (SELECT game_id, day, true AS report FROM stored"
    "    UNION ALL SELECT s.game_id, s.day, false FROM seen s JOIN machine m USING (game_id, guid) WHERE m.reports = s.n)"
    "    AS c GROUP BY game_id, day),"
    " add_day AS ("
    "  INSERT INTO daily AS d (game_id, day, reports, new_machines) SELECT * FROM counted ORDER BY game_id, day"
    "  ON CONFLICT (game_id, day) DO UPDATE SET reports = d.reports + excluded.reports,"
    "    new_machines = d.new_machines + excluded.new_machines),"
    " valued AS ("
    "  SELECT s.game_id, v.kind, v.value, count(*) AS n FROM stored s, LATERAL (VALUES ('version', s.version),"
    "    ('os', s.osmajor || '.' || s.osminor || E'\t' || s.system), ('flash', s.flash)) AS v (kind, value)"
    "  GROUP BY 1, 2, 3),"
    " known AS ("
    "  SELECT v.*, EXISTS (SELECT 1 FROM breakdown b WHERE b.game_id = v.game_id AND b.kind = v.kind"
    "    AND b.value = v.value) AS k FROM valued v),"
    " room AS ("
    "  SELECT g.game_id, g.kind, $14::bigint - (SELECT count(*) FROM breakdown b WHERE b.game_id = g.game_id"
    "    AND b.kind = g.kind) AS free FROM (SELECT DISTINCT game_id, kind FROM known WHERE NOT k) AS g),"
    " placed AS ("
    "  SELECT kn.game_id, kn.kind, kn.value, kn.n, kn.k OR row_number() OVER (PARTITION BY kn.game_id, kn.kind, kn.k"
    "    ORDER BY kn.value COLLATE \"C\") <= coalesce(r.free, 0) AS fits"
    "  FROM known kn LEFT JOIN room r ON r.game_id = kn.game_id AND r.kind = kn.kind),"
    " add_breakdown AS ("
    "  INSERT INTO breakdown AS k (game_id, kind, value, reports)"
    "  SELECT game_id, CASE WHEN fits THEN kind ELSE kind || ':other' END, CASE WHEN fits THEN value ELSE '' END,"
    "    sum(n)::bigint FROM placed GROUP BY 1, 2, 3 ORDER BY 1, 2, 3"
    "  ON CONFLICT (game_id, kind, value) DO UPDATE SET reports = k.reports + excluded.reports),"
    " add_game AS ("
    "  INSERT INTO games AS g (game_id, reports, machines)"
    "  SELECT game_id, sum(reports)::bigint, sum(new_machines)::bigint FROM counted GROUP BY game_id ORDER BY game_id"
    "  ON CONFLICT (game_id) DO UPDATE SET reports = g.reports + excluded.reports, machines = g.machines + excluded.machines),"
    " add_reject AS ("
    "  INSERT INTO rejects AS j (day, reason, n)"
    "  SELECT day, reason, sum(n)::bigint FROM unnest($15::text[], $16::text[], $17::bigint[]) AS r (day, reason, n)"
    "  GROUP BY 1, 2 ORDER BY 1, 2"
    "  ON CONFLICT (day, reason) DO UPDATE SET n = j.n + excluded.n)"
    " SELECT game_id, guid, client_time FROM inserted";

const struct {
    const char* name;
    const char* sql;
    int parameters;
} kStatements[] = {
    {"write_batch", kWriteBatch, 17},
};

// The element types' OIDs, fixed in PostgreSQL's catalog.
const uint32_t kInt8 = 20, kText = 25, kBytea = 17;

// A one-dimensional array in PostgreSQL's binary format (array_recv): the
// texts and the body go as they are, with nothing to quote or escape.
class QVPgArray {
public:
    // elementType: the element type's OID (kInt8 and the like).
    explicit QVPgArray(uint32_t elementType) : m_count(0) {
        Int32(1);  // dimensions
        Int32(0);  // no NULLs
        Int32(elementType);
        Int32(0);  // elements, filled in by Done
        Int32(1);  // lower bound
    }
    void Add(const std::string& value) {
        Int32(static_cast<uint32_t>(value.size()));
        m_data.append(value);
        ++m_count;
    }
    void Add(int64_t value) {
        Int32(8);
        Int32(static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
        Int32(static_cast<uint32_t>(value));
        ++m_count;
    }
    std::string Done() {
        if (m_count == 0) {
            // No dimensions at all: how PostgreSQL sends an empty array.
            m_data.resize(12);
            m_data[3] = 0;
            return std::move(m_data);
        }
        for (int i = 0; i < 4; ++i) m_data[12 + i] = static_cast<char>(m_count >> (24 - 8 * i));
        return std::move(m_data);
    }

private:
    void Int32(uint32_t value) {
        const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                               static_cast<char>(value >> 8), static_cast<char>(value)};
        m_data.append(bytes, 4);
    }

    std::string m_data;
    uint32_t m_count;
};

std::string Number(int64_t value) { return std::to_string(value); }

}  // namespace

QVPgStore::QVPgStore(const std::string& url, const QVStoreOptions& options)
    : QVStore(options), m_url(url), m_conn(url, options.timeoutMs), m_session(m_conn), m_schemaReady(false),
      m_prepared(false), m_unreachable(false) {}

bool QVPgSession::Exec(const std::string& sql) {
    m_last = m_conn.Exec(sql.c_str());
    return m_last.ok();
}

bool QVPgSession::Run(const std::string& sql, const std::vector<QVSqlValue>& values, std::vector<QVSqlRow>* rows) {
    std::string& numbered = m_numbered[sql];
    if (numbered.empty()) numbered = NumberedPlaceholders(sql);
    std::vector<std::string> texts;
    std::vector<int> binary;
    for (const QVSqlValue& v : values) {
        texts.push_back(v.isText ? v.text : std::to_string(v.number));
        binary.push_back(v.isBytes ? 1 : 0);
    }
    m_last = m_conn.QueryParams(numbered.c_str(), texts, binary);
    if (!m_last.ok()) return false;
    if (rows != NULL) {
        for (int r = 0; r < m_last.Rows(); ++r) {
            QVSqlRow row;
            for (int c = 0; c < m_last.Columns(); ++c) row.push_back(m_last.Text(r, c));
            rows->push_back(std::move(row));
        }
    }
    return true;
}

int64_t QVPgSession::Changes() { return m_last.Affected(); }

std::string QVPgSession::Error() {
    const std::string message = m_last.Message();
    return message.empty() ? m_conn.Error() : message;
}

bool QVPgStore::Prepare(std::string* error) {
    if (!m_conn.valid() && !m_conn.Connect()) {
        m_unreachable = true;
        *error = "cannot connect to " + m_url + ": " + m_conn.Error();
        return false;
    }
    m_unreachable = false;
    if (!PrepareSchema(error)) return false;
    m_prepared = PrepareStatements();
    if (!m_prepared) *error = "cannot use " + m_url + ": " + m_conn.Error();
    return m_prepared;
}

bool QVPgStore::PrepareSchema(std::string* error) {
    QVTransaction transaction(m_session);
    // Receivers that start together create or upgrade the schema one
    // after another.
    if (!transaction.Begun() || !m_session.Exec("SELECT pg_advisory_xact_lock(7718310)")) {
        *error = "cannot use " + m_url + ": " + m_session.Error();
        return false;
    }
    if (!EnsureSchema(kPostgres, m_session, "the database", &m_sourceKey, &m_breakdownCap, error)) return false;
    if (!transaction.Commit()) {
        *error = "cannot use " + m_url + ": " + m_session.Error();
        return false;
    }
    m_schemaReady = true;
    return true;
}

bool QVPgStore::PrepareStatements() {
    for (const auto& statement : kStatements) {
        if (!m_conn.Prepare(statement.name, statement.sql, statement.parameters)) return false;
    }
    return true;
}

bool QVPgStore::Connected() {
    if (m_conn.valid() && m_prepared) return true;
    // A restarted or failed-over database is connected to again, and the
    // statements prepared again: they belong to the old session. A database
    // that was not there at the start gets its schema checked first.
    if (!m_conn.valid()) {
        m_prepared = false;
        if (!m_conn.Connect()) return false;
    }
    std::string error;
    if (!m_schemaReady && !PrepareSchema(&error)) return false;
    m_prepared = PrepareStatements();
    return m_prepared;
}

namespace {

// The order of the reports' unique key, which is also how they are stored.
std::tuple<const std::string&, const std::string&, const std::string&> Key(const QVReportRow& r) {
    return std::tie(r.clientTime, r.gameId, r.guid);
}

}  // namespace

bool QVPgStore::TryBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                         std::vector<bool>* inserted, std::string* state, std::string* error) {
    inserted->assign(rows.size(), false);
    if (rows.empty() && rejects.empty()) return true;
    if (!Connected()) {
        *error = m_conn.Error();
        return false;
    }
    // A report twice in one batch is sent once, the first of them: each key
    // that comes back then names one row.
    std::vector<size_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&rows](size_t a, size_t b) { return Key(rows[a]) < Key(rows[b]); });
    order.erase(std::unique(order.begin(), order.end(),
                            [&rows](size_t a, size_t b) { return Key(rows[a]) == Key(rows[b]); }),
                order.end());
    QVPgArray receivedAt(kInt8), day(kText), gameId(kText), version(kText), guid(kText), clientTime(kText),
        osMajor(kInt8), osMinor(kInt8), system(kText), flash(kText), body(kBytea), source(kText), held(kInt8);
    for (size_t i : order) {
        const QVReportRow& r = rows[i];
        receivedAt.Add(r.receivedAt);
        day.Add(r.day);
        gameId.Add(r.gameId);
        version.Add(r.version);
        guid.Add(r.guid);
        clientTime.Add(r.clientTime);
        osMajor.Add(r.osMajor);
        osMinor.Add(r.osMinor);
        system.Add(r.system);
        flash.Add(r.flash);
        body.Add(r.body);
        source.Add(r.source);
        held.Add(static_cast<int64_t>(r.held ? 1 : 0));
    }
    QVPgArray rejectDay(kText), rejectReason(kText), rejectCount(kInt8);
    for (const QVRejectCount& r : rejects) {
        rejectDay.Add(r.day);
        rejectReason.Add(r.reason);
        rejectCount.Add(r.count);
    }
    const int64_t cap = static_cast<int64_t>(m_breakdownCap);
    std::string capBytes(8, '\0');
    for (int i = 0; i < 8; ++i) capBytes[i] = static_cast<char>(static_cast<uint64_t>(cap) >> (56 - 8 * i));
    QVPgResult result = m_conn.RunBinary(
        "write_batch", {receivedAt.Done(), day.Done(), gameId.Done(), version.Done(), guid.Done(), clientTime.Done(),
                        osMajor.Done(), osMinor.Done(), system.Done(), flash.Done(), body.Done(), source.Done(),
                        held.Done(), capBytes, rejectDay.Done(), rejectReason.Done(), rejectCount.Done()});
    if (!result.ok()) {
        *state = result.State();
        *error = m_conn.Error();
        return false;
    }
    // The result is only here once the statement's transaction committed.
    for (int n = 0; n < result.Rows(); ++n) {
        QVReportRow key;
        key.gameId = result.Text(n, 0);
        key.guid = result.Text(n, 1);
        key.clientTime = result.Text(n, 2);
        const auto at = std::lower_bound(order.begin(), order.end(), key,
                                         [&rows](size_t i, const QVReportRow& k) { return Key(rows[i]) < Key(k); });
        if (at != order.end() && Key(rows[*at]) == Key(key)) (*inserted)[*at] = true;
    }
    return true;
}

bool QVPgStore::WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                           std::vector<bool>* inserted, std::string* error) {
    // Receivers' transactions may still meet in a deadlock or serialization
    // failure: the database rolls one back, and it is simply tried again.
    bool reconnected = false;
    const int64_t deadline = NowMs() + m_conn.Timeout();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string state;
        if (TryBatch(rows, rejects, inserted, &state, error)) return true;
        // Tried again within the one deadline of a commit.
        if ((state == "40P01" || state == "40001") && NowMs() < deadline) continue;
        // A connection that broke (a restarted database) is tried once more
        // at once: the batch then stores only what did not commit. One that
        // ran out of time is not: the database is not answering.
        if (m_conn.valid() || m_conn.TimedOut() || reconnected) return false;
        reconnected = true;
        if (!Connected()) {
            *error = m_conn.Error();
            return false;
        }
    }
    return false;
}

bool QVPgStore::Healthy() { return Connected() && m_conn.Exec("SELECT 1").ok(); }

}  // namespace Quorvel
