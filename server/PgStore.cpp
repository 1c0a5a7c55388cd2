// The store for more than one machine: any number of receivers against one
// PostgreSQL database, each stateless. The database's own unique key keeps a
// report that two receivers take in stored once.
#include "server/PgStore.h"

#include <arpa/inet.h>
#include <errno.h>
#include <libpq-fe.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "server/Counting.h"
#include "server/Days.h"
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
    const char* value = PQgetvalue(m_result, row, column);
    if (PQftype(m_result, column) == 17) {  // bytea comes as text ("\\x0a1b..."): its bytes
        size_t length = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(value), &length);
        std::string out(reinterpret_cast<const char*>(bytes), bytes != NULL ? length : 0);
        PQfreemem(bytes);
        return out;
    }
    return std::string(value, static_cast<size_t>(PQgetlength(m_result, row, column)));
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

// What libpq would look up itself, blocking, for as long as the resolver
// takes: one host name (not an address, a socket folder or a list), with
// no hostaddr of its own.
std::string HostToLookUp(const std::string& url) {
    char* failure = NULL;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &failure);
    PQfreemem(failure);
    if (options == NULL) return std::string();
    std::string host, hostaddr, port;
    for (const PQconninfoOption* o = options; o->keyword != NULL; ++o) {
        const std::string value = o->val == NULL ? "" : o->val;
        if (strcmp(o->keyword, "host") == 0) host = value;
        if (strcmp(o->keyword, "hostaddr") == 0) hostaddr = value;
        if (strcmp(o->keyword, "port") == 0) port = value;
    }
    PQconninfoFree(options);
    unsigned char address[sizeof(struct in6_addr)];
    const char* environment = getenv("PGHOSTADDR");
    if (environment != NULL && *environment != '\0') return std::string();
    const char* fallback = getenv("PGHOST");  // what libpq takes when the URL names none
    if (host.empty() && fallback != NULL) host = fallback;
    if (host.empty() || !hostaddr.empty() || host[0] == '/' || host[0] == '@' || host.find(',') != std::string::npos ||
        port.find(',') != std::string::npos || inet_pton(AF_INET, host.c_str(), address) == 1 ||
        inet_pton(AF_INET6, host.c_str(), address) == 1) {
        return std::string();
    }
    return host;
}

}  // namespace

// A lookup on a thread of its own, which a resolver that never answers
// holds instead of the writer; a lookup given up on finishes there alone.
struct QVNameLookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::vector<std::string> addresses;
    std::string failure;
};

bool QVPgConnection::LookUp(int64_t deadline, std::string* hosts, std::string* addresses) {
    const std::string host = HostToLookUp(m_url);
    if (host.empty()) return true;
    if (!m_lookup) {
        std::shared_ptr<QVNameLookup> lookup = std::make_shared<QVNameLookup>();
        try {
            std::thread([lookup, host]() {
                pthread_setname_np(pthread_self(), "qv-name-lookup");
                struct addrinfo hints;
                memset(&hints, 0, sizeof hints);
                hints.ai_family = AF_UNSPEC;
                hints.ai_socktype = SOCK_STREAM;
                struct addrinfo* found = NULL;
                const int status = getaddrinfo(host.c_str(), NULL, &hints, &found);
                std::vector<std::string> addresses;
                for (const struct addrinfo* a = found; a != NULL && addresses.size() < 8; a = a->ai_next) {
                    char text[NI_MAXHOST] = "";
                    // Numeric, with an IPv6 address's scope kept.
                    if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
                        getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, NULL, 0, NI_NUMERICHOST) == 0) {
                        addresses.push_back(text);
                    }
                }
                if (found != NULL) freeaddrinfo(found);
                std::lock_guard<std::mutex> hold(lookup->mutex);
                lookup->addresses = addresses;
                if (addresses.empty()) lookup->failure = status != 0 ? gai_strerror(status) : "no address";
                lookup->done = true;
                lookup->finished.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            m_error = "cannot start a thread to look up " + host;
            return false;
        }
        m_lookup = lookup;
    }
    // A lookup still running from an attempt before is waited for, not
    // started again.
    std::unique_lock<std::mutex> hold(m_lookup->mutex);
    const int64_t left = std::max<int64_t>(0, deadline - NowMs());
    if (!m_lookup->finished.wait_for(hold, std::chrono::milliseconds(left), [this] { return m_lookup->done; })) {
        m_timedOut = true;
        m_error = "no address for " + host + " within " + std::to_string(m_timeout) + " ms";
        return false;
    }
    const std::vector<std::string> found = m_lookup->addresses;
    const std::string failure = m_lookup->failure;
    hold.unlock();
    m_lookup.reset();
    if (found.empty()) {
        m_error = "cannot look up " + host + ": " + failure;
        return false;
    }
    // The name once for each address, so that libpq tries them in turn and
    // checks a certificate against the name.
    for (const std::string& address : found) {
        *hosts += (hosts->empty() ? "" : ",") + host;
        *addresses += (addresses->empty() ? "" : ",") + address;
    }
    return true;
}

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
    m_conn = NULL;
    const int64_t deadline = NowMs() + m_timeout;
    std::string hosts, addresses;
    if (!LookUp(deadline, &hosts, &addresses)) return false;
    // Not PQconnectdb: it waits for a frozen server for ever, unless the
    // URL sets a time-out of its own. The URL's own settings first, then
    // the addresses looked up.
    const char* keywords[] = {"dbname", "host", "hostaddr", NULL};
    const char* values[] = {m_url.c_str(), hosts.c_str(), addresses.c_str(), NULL};
    if (addresses.empty()) keywords[1] = NULL;
    m_conn = PQconnectStartParams(keywords, values, 1);
    if (m_conn == NULL) {
        m_error = "out of memory";
        return false;
    }
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

// A batch's new reports in one statement.
const char kInsertReports[] =
    "INSERT INTO reports (received_at, client_time, day, version_id, os_id, flash_id, held, game_id, guid, sign, source,"
    "  raw)"
    " SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::bigint[], $4::bigint[], $5::bigint[], $6::bigint[],"
    "  $7::bigint[], $8::text[], $9::text[], $10::bytea[], $11::text[], $12::bytea[])";

// Lookups in these statements go row by row through a LATERAL subquery:
// so each one takes its table's unique index, whatever the planner thinks
// of the table's size (a join of a new, empty-looking table stays a
// sequential scan in the cached plan however large the table grows).

// The ids of texts (sorted), made where new, marked as taken on a day: an
// upsert, which goes through the unique index, waits for a writer that
// makes or forgets the same text at once, and answers for every text.
const char kTexts[] =
    "INSERT INTO texts (text, last_day) SELECT t, $2::integer FROM unnest($1::text[]) AS w (t) ORDER BY t"
    " ON CONFLICT (text) DO UPDATE SET last_day = GREATEST(texts.last_day, EXCLUDED.last_day) RETURNING id, text";

// Counting's reads in two statements: the batch's machines that are stored,
// locked until the commit, in the order given, so that two receivers count
// a machine one after the other; and what is known of the batch's values.
const char kLoadMachines[] =
    "SELECT m.game_id, m.guid, m.days, m.times FROM unnest($1::text[], $2::text[]) AS k (g, u)"
    " CROSS JOIN LATERAL (SELECT game_id, guid, days, times FROM machines WHERE game_id = k.g AND guid = k.u"
    "  FOR UPDATE) m";

const char kLoadValues[] =
    "SELECT 'known', k.g, k.kind, k.v, 0::bigint FROM unnest($1::text[], $2::text[], $3::text[]) AS k (g, kind, v)"
    "  CROSS JOIN LATERAL (SELECT 1 FROM breakdown WHERE game_id = k.g AND kind = k.kind AND value = k.v LIMIT 1) b"
    " UNION ALL SELECT 'count', k.g, k.kind, '', (SELECT count(*) FROM breakdown b WHERE b.game_id = k.g AND b.kind = k.kind)"
    "  FROM unnest($4::text[], $5::text[]) AS k (g, kind)";

// Counting's writes in one statement: each table's changes as arrays, in
// key order, so that receivers lock rows alike; then, in a second, the rows
// that have nothing left in them.
// Counting's writes in one statement: each table's changes as arrays, in
// key order, so that receivers lock rows alike; then, in a second, the rows
// that have nothing left in them. The machines it made come back counted:
// fewer than were asked for means another receiver made one at once.
const char kApplyDeltas[] =
    "WITH machine_up AS ("
    "  INSERT INTO machines AS m (game_id, guid, days, times)"
    "  SELECT * FROM unnest($1::text[], $2::text[], $3::bytea[], $4::bytea[])"
    "  ON CONFLICT (game_id, guid) DO UPDATE SET days = excluded.days, times = excluded.times),"
    " machine_new AS ("
    "  INSERT INTO machines (game_id, guid, days, times)"
    "  SELECT * FROM unnest($5::text[], $6::text[], $7::bytea[], $8::bytea[]) ORDER BY 1, 2"
    "  ON CONFLICT (game_id, guid) DO NOTHING RETURNING 1),"
    " machine_gone AS ("
    "  DELETE FROM machines m USING unnest($9::text[], $10::text[]) AS k (g, u) WHERE m.game_id = k.g AND m.guid = k.u),"
    " day_up AS ("
    "  INSERT INTO daily AS d (game_id, day, reports, new_machines)"
    "  SELECT * FROM unnest($11::text[], $12::text[], $13::bigint[], $14::bigint[]) ORDER BY 1, 2"
    "  ON CONFLICT (game_id, day) DO UPDATE SET reports = d.reports + excluded.reports,"
    "   new_machines = d.new_machines + excluded.new_machines),"
    " last_up AS ("
    "  INSERT INTO machine_last AS l (game_id, day, machines)"
    "  SELECT * FROM unnest($15::text[], $16::text[], $17::bigint[]) ORDER BY 1, 2"
    "  ON CONFLICT (game_id, day) DO UPDATE SET machines = l.machines + excluded.machines),"
    " gap_up AS ("
    "  INSERT INTO machine_gaps AS g (game_id, first_day, last_day, machines)"
    "  SELECT * FROM unnest($18::text[], $19::text[], $20::text[], $21::bigint[]) ORDER BY 1, 2, 3"
    "  ON CONFLICT (game_id, first_day, last_day) DO UPDATE SET machines = g.machines + excluded.machines),"
    " value_up AS ("
    "  INSERT INTO breakdown AS b (game_id, kind, value, reports)"
    "  SELECT * FROM unnest($22::text[], $23::text[], $24::text[], $25::bigint[]) ORDER BY 1, 2, 3"
    "  ON CONFLICT (game_id, kind, value) DO UPDATE SET reports = b.reports + excluded.reports),"
    " value_day_up AS ("
    "  INSERT INTO breakdown_days AS b (game_id, kind, day, value, reports)"
    "  SELECT * FROM unnest($26::text[], $27::text[], $28::text[], $29::text[], $30::bigint[]) ORDER BY 1, 2, 3, 4"
    "  ON CONFLICT (game_id, kind, day, value) DO UPDATE SET reports = b.reports + excluded.reports),"
    " game_up AS ("
    "  INSERT INTO games AS g (game_id, reports, machines)"
    "  SELECT * FROM unnest($31::text[], $32::bigint[], $33::bigint[]) ORDER BY 1"
    "  ON CONFLICT (game_id) DO UPDATE SET reports = g.reports + excluded.reports, machines = g.machines + excluded.machines)"
    " SELECT count(*) FROM machine_new";

const char kDropEmpty[] =
    "WITH day_gone AS ("
    "  DELETE FROM daily d USING unnest($1::text[], $2::text[]) AS k (g, day)"
    "  WHERE d.game_id = k.g AND d.day = k.day AND d.reports <= 0 AND d.new_machines <= 0),"
    " last_gone AS ("
    "  DELETE FROM machine_last l USING unnest($3::text[], $4::text[]) AS k (g, day)"
    "  WHERE l.game_id = k.g AND l.day = k.day AND l.machines <= 0),"
    " gap_gone AS ("
    "  DELETE FROM machine_gaps m USING unnest($5::text[], $6::text[], $7::text[]) AS k (g, f, l)"
    "  WHERE m.game_id = k.g AND m.first_day = k.f AND m.last_day = k.l AND m.machines <= 0),"
    " value_gone AS ("
    "  DELETE FROM breakdown b USING unnest($8::text[], $9::text[], $10::text[]) AS k (g, kind, v)"
    "  WHERE b.game_id = k.g AND b.kind = k.kind AND b.value = k.v AND b.reports <= 0),"
    " value_day_gone AS ("
    "  DELETE FROM breakdown_days b USING unnest($11::text[], $12::text[], $13::text[], $14::text[]) AS k (g, kind, day, v)"
    "  WHERE b.game_id = k.g AND b.kind = k.kind AND b.day = k.day AND b.value = k.v AND b.reports <= 0),"
    " game_gone AS ("
    "  DELETE FROM games g USING unnest($15::text[]) AS k (g) WHERE g.game_id = k.g AND g.reports <= 0 AND g.machines <= 0)"
    " SELECT 1";

const char kAddRejects[] =
    "INSERT INTO rejects AS j (day, reason, n)"
    " SELECT day, reason, sum(n)::bigint FROM unnest($1::text[], $2::text[], $3::bigint[]) AS r (day, reason, n)"
    " GROUP BY 1, 2 ORDER BY 1, 2"
    " ON CONFLICT (day, reason) DO UPDATE SET n = j.n + excluded.n";

const struct {
    const char* name;
    const char* sql;
    int parameters;
} kStatements[] = {
    {"insert_reports", kInsertReports, 12}, {"texts", kTexts, 2},           {"load_machines", kLoadMachines, 2},
    {"load_values", kLoadValues, 5},        {"apply_deltas", kApplyDeltas, 33}, {"drop_empty", kDropEmpty, 15},
    {"add_rejects", kAddRejects, 3},
};

// The element types' OIDs, fixed in PostgreSQL's catalog.
const uint32_t kInt8 = 20, kText = 25, kBytea = 17;

// An integer parameter in the binary format: four bytes, most significant first.
std::string Int4(int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    return std::string(bytes, 4);
}

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
    void AddNull() {
        Int32(0xffffffffu);  // a length of -1
        m_data[7] = 1;       // the array has NULLs
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

public:
    uint32_t Count() const { return m_count; }
};

}  // namespace

QVPgStore::QVPgStore(const std::string& url, const QVStoreOptions& options)
    : QVStore(options), m_url(url), m_conn(url, options.timeoutMs), m_session(m_conn), m_schemaReady(false),
      m_prepared(false), m_unreachable(false), m_raced(false) {}

bool QVPgSession::Exec(const std::string& sql) {
    m_error.clear();
    m_last = m_conn.Exec(sql.c_str());
    return m_last.ok();
}

bool QVPgSession::Run(const std::string& sql, const std::vector<QVSqlValue>& values, std::vector<QVSqlRow>* rows) {
    m_error.clear();
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

std::string QVPgSession::State() const { return m_last.State(); }

void QVPgSession::Failed(QVPgResult result) {
    m_error.clear();
    m_last = std::move(result);
}

std::string QVPgSession::Error() {
    if (!m_error.empty()) return m_error;
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
    if (!EnsureSchema(kPostgres, m_session, "the database", [this](int from) { return Upgraded(m_session, from); }, &m_sourceKey, &m_breakdownCap, m_options.create, error)) {
        return false;
    }
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

bool QVPgStore::InsertReports(QVSqlSession&, const std::vector<NewReport>& reports) {
    if (reports.empty()) return true;
    QVPgArray receivedAt(kInt8), clientTime(kInt8), day(kInt8), version(kInt8), os(kInt8), flash(kInt8), held(kInt8),
        gameId(kText), guid(kText), sign(kBytea), source(kText), raw(kBytea);
    for (const NewReport& n : reports) {
        const QVReportRow& r = *n.row;
        int32_t dayNumber = 0;
        DayNumber(r.day, &dayNumber);
        receivedAt.Add(r.receivedAt);
        clientTime.Add(static_cast<int64_t>(strtoll(r.clientTime.c_str(), NULL, 10)));
        day.Add(static_cast<int64_t>(dayNumber));
        version.Add(n.texts.version);
        os.Add(n.texts.os);
        flash.Add(n.texts.flash);
        held.Add(static_cast<int64_t>(n.held));
        gameId.Add(r.gameId);
        guid.Add(r.guid);
        sign.Add(SignBytes(r.sign));
        source.Add(r.source);
        raw.Add(r.bodyRebuilds ? std::string() : r.body);  // empty: the fields give it back
    }
    return Run("insert_reports", {receivedAt.Done(), clientTime.Done(), day.Done(), version.Done(), os.Done(), flash.Done(),
                                  held.Done(), gameId.Done(), guid.Done(), sign.Done(), source.Done(), raw.Done()});
}

bool QVPgStore::LookUpTexts(QVSqlSession& s, const std::vector<std::string>& texts, int32_t day,
                            std::map<std::string, int64_t>* ids) {
    if (!m_prepared) return QVStore::LookUpTexts(s, texts, day, ids);
    QVPgArray array(kText);
    for (const std::string& t : texts) array.Add(t);
    QVPgResult found = m_conn.RunBinary("texts", {array.Done(), Int4(day)});
    if (!found.ok()) {
        m_session.Failed(std::move(found));
        return false;
    }
    for (int i = 0; i < found.Rows(); ++i) (*ids)[found.Text(i, 1)] = found.Int(i, 0);
    return ids->size() == texts.size();
}

bool QVPgStore::Run(const char* statement, const std::vector<std::string>& arrays) {
    QVPgResult result = m_conn.RunBinary(statement, arrays);
    const bool ok = result.ok();
    m_session.Failed(std::move(result));  // the last result, failed or not, is the session's
    return ok;
}

bool QVPgStore::LoadBasis(QVSqlSession& s, const std::vector<const QVReportRow*>& rows, QVCountBasis* basis) {
    // Before its statements are prepared (an upgrade counts again as the
    // schema is made), the statements of both stores.
    if (!m_prepared) return QVStore::LoadBasis(s, rows, basis);
    std::set<QVMachineKey> machines;
    std::set<QVValueKey> values;
    std::set<std::pair<std::string, std::string> > kinds;
    for (const QVReportRow* r : rows) {
        machines.insert(QVMachineKey(r->gameId, r->guid));
        for (const auto& kv : BreakdownValues(*r)) {
            values.insert(QVValueKey(r->gameId, kv.first, kv.second));
            kinds.insert(std::make_pair(r->gameId, kv.first));
        }
    }
    QVPgArray games(kText), guids(kText);
    for (const QVMachineKey& k : machines) {
        games.Add(k.first);
        guids.Add(k.second);
    }
    QVPgResult found = m_conn.RunBinary("load_machines", {games.Done(), guids.Done()});
    if (!found.ok()) {
        m_session.Failed(std::move(found));
        return false;
    }
    m_stored.clear();
    for (int i = 0; i < found.Rows(); ++i) {
        const QVMachineKey key(found.Text(i, 0), found.Text(i, 1));
        if (!MachineOf(found.Text(i, 2), found.Text(i, 3), &basis->machines[key])) return false;
        m_stored.insert(key);
    }
    QVPgArray valueGames(kText), valueKinds(kText), valueTexts(kText), kindGames(kText), kindKinds(kText);
    for (const QVValueKey& v : values) {
        valueGames.Add(std::get<0>(v));
        valueKinds.Add(std::get<1>(v));
        valueTexts.Add(std::get<2>(v));
    }
    for (const auto& k : kinds) {
        kindGames.Add(k.first);
        kindKinds.Add(k.second);
        basis->values[k] = 0;
    }
    QVPgResult known = m_conn.RunBinary("load_values", {valueGames.Done(), valueKinds.Done(), valueTexts.Done(),
                                                        kindGames.Done(), kindKinds.Done()});
    if (!known.ok()) {
        m_session.Failed(std::move(known));
        return false;
    }
    for (int i = 0; i < known.Rows(); ++i) {
        if (known.Text(i, 0) == "known") {
            basis->known.insert(QVValueKey(known.Text(i, 1), known.Text(i, 2), known.Text(i, 3)));
        } else {
            basis->values[std::make_pair(known.Text(i, 1), known.Text(i, 2))] = known.Int(i, 4);
        }
    }
    return true;
}

bool QVPgStore::ApplyDeltas(QVSqlSession& s, const QVCountDeltas& d) {
    if (!m_prepared) return QVStore::ApplyDeltas(s, d);
    // Machines LoadBasis found are changed or deleted; the others made.
    QVPgArray upGame(kText), upGuid(kText), upDays(kBytea), upTimes(kBytea), newGame(kText), newGuid(kText),
        newDays(kBytea), newTimes(kBytea), goneGame(kText), goneGuid(kText);
    for (const auto& m : d.machines) {
        const bool stored = m_stored.count(m.first) != 0;
        if (Kept(m.second)) {
            (stored ? upGame : newGame).Add(m.first.first);
            (stored ? upGuid : newGuid).Add(m.first.second);
            (stored ? upDays : newDays).Add(EncodeDays(m.second.days));
            (stored ? upTimes : newTimes).Add(EncodeTimes(m.second.times));
        } else if (stored) {
            goneGame.Add(m.first.first);
            goneGuid.Add(m.first.second);
        }
    }
    const int64_t made = newGame.Count();
    // Each change, and where it takes away, the key of a row that may be
    // left with nothing.
    QVPgArray dayGame(kText), dayDay(kText), dayReports(kInt8), dayNew(kInt8), lowDayGame(kText), lowDayDay(kText);
    for (const auto& x : d.days) {
        if (x.second.first == 0 && x.second.second == 0) continue;
        dayGame.Add(x.first.first);
        dayDay.Add(x.first.second);
        dayReports.Add(x.second.first);
        dayNew.Add(x.second.second);
        if (x.second.first < 0 || x.second.second < 0) {
            lowDayGame.Add(x.first.first);
            lowDayDay.Add(x.first.second);
        }
    }
    QVPgArray lastGame(kText), lastDay(kText), lastN(kInt8), lowLastGame(kText), lowLastDay(kText);
    for (const auto& x : d.lastDays) {
        if (x.second == 0) continue;
        lastGame.Add(x.first.first);
        lastDay.Add(x.first.second);
        lastN.Add(x.second);
        if (x.second < 0) {
            lowLastGame.Add(x.first.first);
            lowLastDay.Add(x.first.second);
        }
    }
    QVPgArray gapGame(kText), gapFirst(kText), gapLast(kText), gapN(kInt8), lowGapGame(kText), lowGapFirst(kText),
        lowGapLast(kText);
    for (const auto& x : d.gaps) {
        if (x.second == 0) continue;
        gapGame.Add(std::get<0>(x.first));
        gapFirst.Add(std::get<1>(x.first));
        gapLast.Add(std::get<2>(x.first));
        gapN.Add(x.second);
        if (x.second < 0) {
            lowGapGame.Add(std::get<0>(x.first));
            lowGapFirst.Add(std::get<1>(x.first));
            lowGapLast.Add(std::get<2>(x.first));
        }
    }
    QVPgArray valGame(kText), valKind(kText), valValue(kText), valN(kInt8), lowValGame(kText), lowValKind(kText),
        lowValValue(kText);
    for (const auto& x : d.breakdown) {
        if (x.second == 0) continue;
        valGame.Add(std::get<0>(x.first));
        valKind.Add(std::get<1>(x.first));
        valValue.Add(std::get<2>(x.first));
        valN.Add(x.second);
        if (x.second < 0) {
            lowValGame.Add(std::get<0>(x.first));
            lowValKind.Add(std::get<1>(x.first));
            lowValValue.Add(std::get<2>(x.first));
        }
    }
    QVPgArray vdGame(kText), vdKind(kText), vdDay(kText), vdValue(kText), vdN(kInt8), lowVdGame(kText), lowVdKind(kText),
        lowVdDay(kText), lowVdValue(kText);
    for (const auto& x : d.breakdownDays) {
        if (x.second == 0) continue;
        vdGame.Add(std::get<0>(x.first));
        vdKind.Add(std::get<1>(x.first));
        vdDay.Add(std::get<2>(x.first));
        vdValue.Add(std::get<3>(x.first));
        vdN.Add(x.second);
        if (x.second < 0) {
            lowVdGame.Add(std::get<0>(x.first));
            lowVdKind.Add(std::get<1>(x.first));
            lowVdDay.Add(std::get<2>(x.first));
            lowVdValue.Add(std::get<3>(x.first));
        }
    }
    QVPgArray gameId(kText), gameReports(kInt8), gameMachines(kInt8), lowGame(kText);
    for (const auto& x : d.games) {
        if (x.second.first == 0 && x.second.second == 0) continue;
        gameId.Add(x.first);
        gameReports.Add(x.second.first);
        gameMachines.Add(x.second.second);
        if (x.second.first < 0 || x.second.second < 0) lowGame.Add(x.first);
    }
    const bool anyLow = lowDayGame.Count() + lowLastGame.Count() + lowGapGame.Count() + lowValGame.Count() +
                        lowVdGame.Count() + lowGame.Count() > 0;
    QVPgResult applied = m_conn.RunBinary(
        "apply_deltas", {upGame.Done(), upGuid.Done(), upDays.Done(), upTimes.Done(), newGame.Done(), newGuid.Done(),
                newDays.Done(), newTimes.Done(), goneGame.Done(), goneGuid.Done(), dayGame.Done(), dayDay.Done(), dayReports.Done(), dayNew.Done(),
                lastGame.Done(), lastDay.Done(), lastN.Done(), gapGame.Done(), gapFirst.Done(), gapLast.Done(),
                gapN.Done(), valGame.Done(), valKind.Done(), valValue.Done(), valN.Done(), vdGame.Done(), vdKind.Done(),
                vdDay.Done(), vdValue.Done(), vdN.Done(), gameId.Done(), gameReports.Done(), gameMachines.Done()});
    const bool ok = applied.ok() && applied.Rows() == 1;
    const bool raced = ok && applied.Int(0, 0) != made;
    m_session.Failed(std::move(applied));
    if (!ok) return false;
    if (raced) {
        // Counted as new by both: this batch is counted again.
        m_raced = true;
        m_session.SetError("another receiver stored one of the batch's new machines at the same time");
        return false;
    }
    return (!anyLow ||
            Run("drop_empty", {lowDayGame.Done(), lowDayDay.Done(), lowLastGame.Done(), lowLastDay.Done(),
                               lowGapGame.Done(), lowGapFirst.Done(), lowGapLast.Done(), lowValGame.Done(),
                               lowValKind.Done(), lowValValue.Done(), lowVdGame.Done(), lowVdKind.Done(),
                               lowVdDay.Done(), lowVdValue.Done(), lowGame.Done()}));
}

bool QVPgStore::AddRejects(QVSqlSession& s, const std::vector<QVRejectCount>& rejects) {
    if (rejects.empty()) return true;
    if (!m_prepared) return QVStore::AddRejects(s, rejects);
    QVPgArray day(kText), reason(kText), count(kInt8);
    for (const QVRejectCount& r : rejects) {
        day.Add(r.day);
        reason.Add(r.reason);
        count.Add(r.count);
    }
    return Run("add_rejects", {day.Done(), reason.Done(), count.Done()});
}

bool QVPgStore::WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                           std::vector<bool>* inserted, int64_t* heldBeyondCap, std::string* error) {
    // Receivers' transactions may still meet in a deadlock or serialization
    // failure: the database rolls one back, and it is simply tried again.
    bool reconnected = false;
    const int64_t deadline = NowMs() + m_conn.Timeout();
    for (int attempt = 0; attempt < 8; ++attempt) {
        error->clear();
        m_raced = false;
        if (QVStore::WriteBatch(rows, rejects, inserted, heldBeyondCap, error)) return true;
        const std::string state = m_session.State();
        // Tried again within the one deadline of a commit.
        if ((state == "40P01" || state == "40001" || m_raced) && NowMs() < deadline) continue;
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
