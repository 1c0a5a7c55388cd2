#include "server/Schema.h"

#include <stdio.h>
#include <stdlib.h>

namespace Quorvel {

namespace {

struct Words {
    const char *integer, *blob, *emptyBlob, *id, *textId, *keyed;  // keyed: after a table whose key is its primary key
};

Words WordsOf(QVDialect d) {
    if (d == kSqlite) {
        return Words{"INTEGER", "BLOB", "X''", "id INTEGER PRIMARY KEY", "id INTEGER PRIMARY KEY", " WITHOUT ROWID"};
    }
    // No index on PostgreSQL's id: pages of reports go by time, which has
    // one, and the id only orders the reports of one second.
    return Words{"BIGINT", "BYTEA", "''::bytea", "id BIGSERIAL NOT NULL", "id SERIAL PRIMARY KEY", ""};
}

// A report's operating system as OsValue writes it, from the first
// schema's columns.
std::string OsText(QVDialect d, const char* table) {
    const std::string t = table;
    if (d == kSqlite) {
        return "CAST(" + t + ".osmajor AS INTEGER) || '.' || CAST(" + t + ".osminor AS INTEGER) || char(9) || " + t +
               ".system";
    }
    return t + ".osmajor::bigint::text || '.' || " + t + ".osminor::bigint::text || E'\\t' || " + t + ".system";
}

}  // namespace

std::string CreateSchemaSql(QVDialect d) {
    const Words w = WordsOf(d);
    const std::string I = w.integer;
    return std::string("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);") +
           // The texts reports share (versions, systems, Flash Players), each
           // once; last_day: the latest DayNumber a writer took it for a
           // report, so that one no report refers to any more can go
           // (ForgetUnusedTexts) without pulling it from under a writer.
           "CREATE TABLE IF NOT EXISTS texts (" + w.textId + ", text TEXT NOT NULL UNIQUE,"
           " last_day INTEGER NOT NULL DEFAULT 2147483647);"
           // A report once (its machine's times say which are stored): its
           // texts by id, which with the sign's 16 bytes give back the body
           // as it came (RebuildBody); raw: the body, only for the rare one
           // they do not (empty otherwise). day: DayNumber. held: stored but
           // not counted until released. The numbers first: in PostgreSQL, a
           // row without padding.
           "CREATE TABLE IF NOT EXISTS reports (" + w.id + ", received_at " + I + " NOT NULL, client_time " + I +
           " NOT NULL, day INTEGER NOT NULL, version_id INTEGER NOT NULL, os_id INTEGER NOT NULL,"
           " flash_id INTEGER NOT NULL, held INTEGER NOT NULL DEFAULT 0, game_id TEXT NOT NULL, guid TEXT NOT NULL,"
           " sign " + w.blob + " NOT NULL, source TEXT NOT NULL DEFAULT '', raw " + w.blob + " NOT NULL DEFAULT " +
           w.emptyBlob + ");"
           "CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received_at);"
           "CREATE INDEX IF NOT EXISTS reports_held ON reports (source) WHERE held <> 0;"
           // days: on which days it reported how often, counted (EncodeDays);
           // times: the client times of its stored reports (EncodeTimes),
           // which make a report of one of them a replay.
           "CREATE TABLE IF NOT EXISTS machines (game_id TEXT NOT NULL, guid TEXT NOT NULL, days " + w.blob +
           " NOT NULL, times " + w.blob + " NOT NULL, PRIMARY KEY (game_id, guid))" + w.keyed + ";"
           // The machines last active on a day, and the gaps between
           // machines' active days: with the new machines of daily, the
           // machines active in any period.
           "CREATE TABLE IF NOT EXISTS machine_last (game_id TEXT NOT NULL, day TEXT NOT NULL, machines " + I +
           " NOT NULL, PRIMARY KEY (game_id, day))" + w.keyed + ";"
           "CREATE TABLE IF NOT EXISTS machine_gaps (game_id TEXT NOT NULL, first_day TEXT NOT NULL, last_day TEXT NOT NULL,"
           " machines " + I + " NOT NULL, PRIMARY KEY (game_id, first_day, last_day))" + w.keyed + ";"
           "CREATE TABLE IF NOT EXISTS daily (game_id TEXT NOT NULL, day TEXT NOT NULL, reports " + I +
           " NOT NULL, new_machines " + I + " NOT NULL, PRIMARY KEY (game_id, day))" + w.keyed + ";"
           // kind: version, os or flash; and version:other and the like for
           // what the cap on distinct values sends elsewhere (value '').
           "CREATE TABLE IF NOT EXISTS breakdown (game_id TEXT NOT NULL, kind TEXT NOT NULL, value TEXT NOT NULL,"
           " reports " + I + " NOT NULL, PRIMARY KEY (game_id, kind, value))" + w.keyed + ";"
           "CREATE TABLE IF NOT EXISTS breakdown_days (game_id TEXT NOT NULL, kind TEXT NOT NULL, day TEXT NOT NULL,"
           " value TEXT NOT NULL, reports " + I + " NOT NULL, PRIMARY KEY (game_id, kind, day, value))" + w.keyed + ";"
           "CREATE TABLE IF NOT EXISTS games (game_id TEXT PRIMARY KEY, reports " + I + " NOT NULL, machines " + I +
           " NOT NULL)" + w.keyed + ";"
           "CREATE TABLE IF NOT EXISTS names (game_id TEXT PRIMARY KEY, name TEXT NOT NULL)" + w.keyed + ";"
           "CREATE TABLE IF NOT EXISTS rejects (day TEXT NOT NULL, reason TEXT NOT NULL, n " + I +
           " NOT NULL, PRIMARY KEY (day, reason))" + w.keyed + ";";
}

std::string UpgradeSql(QVDialect d, int from) {
    // Every text is marked as taken the day after the latest stored report's
    // (read through the index on the time), no earlier than any report that
    // uses it. A text made without a mark (by a receiver of the version
    // before, still running) is never taken for unused.
    const std::string marked =
        "UPDATE texts SET last_day = coalesce((SELECT day FROM reports ORDER BY received_at DESC LIMIT 1), 0) + 1;";
    // Reports held beyond their machine's cap are told apart (held = 2).
    if (from == 3) return "DROP INDEX reports_held; CREATE INDEX reports_held ON reports (source) WHERE held <> 0;";
    if (from == 2) return "ALTER TABLE texts ADD COLUMN last_day INTEGER NOT NULL DEFAULT 2147483647;" + marked;
    if (from != 1) return std::string();
    // Where each report came from, reports held for review, the counts by
    // day, names; each report kept once. The reports move to a table of the
    // new shape, each time in its one spelling (the first version took
    // "01" and "1" as two: the first of them stays; a time that is no 64-bit
    // number, which no installer sends, is left behind), its body kept whole;
    // the counts and the machines' times are made again from them
    // (EnsureSchema's recount).
    const std::string os = OsText(d, "r");
    const std::string texts = "INSERT INTO texts (text) SELECT version FROM reports_v1 UNION SELECT " + OsText(d, "reports_v1") +
                              " FROM reports_v1 UNION SELECT flash FROM reports_v1 WHERE true ON CONFLICT (text) DO NOTHING;";
    const std::string joins = " FROM reports_v1 r JOIN texts tv ON tv.text = r.version JOIN texts tos ON tos.text = " + os +
                              " JOIN texts tf ON tf.text = r.flash";
    if (d == kSqlite) {
        return "DROP TABLE machines; DROP INDEX IF EXISTS reports_by_time;"
               "ALTER TABLE reports RENAME TO reports_v1;" + CreateSchemaSql(d) + texts +
               "INSERT INTO reports (id, received_at, client_time, day, version_id, os_id, flash_id, game_id, guid, sign, raw)"
               " SELECT r.id, r.received_at, CAST(r.client_time AS INTEGER), CAST(julianday(r.day) - 2440587.5 AS INTEGER),"
               " tv.id, tos.id, tf.id, r.game_id, r.guid, X'', r.body" + joins +
               " WHERE r.id IN (SELECT MIN(id) FROM (SELECT id, game_id, guid, client_time, s, ltrim(s, '0') AS n FROM"
               " (SELECT *, CASE WHEN client_time GLOB '-*' THEN substr(client_time, 2) ELSE client_time END AS s"
               " FROM reports_v1)) WHERE s <> '' AND s NOT GLOB '*[^0-9]*' AND (length(n) < 19 OR (length(n) = 19 AND"
               " n <= CASE WHEN client_time GLOB '-*' THEN '9223372036854775808' ELSE '9223372036854775807' END))"
               " GROUP BY game_id, guid, CAST(client_time AS INTEGER))"
               " ORDER BY r.id;"
               "DROP TABLE reports_v1;" + marked;
    }
    return "DROP TABLE machines;"
           "ALTER TABLE reports RENAME TO reports_v1;"
           "ALTER INDEX reports_by_time RENAME TO reports_v1_by_time;"
           "ALTER TABLE reports_v1 RENAME CONSTRAINT reports_pkey TO reports_v1_pkey;"
           "ALTER TABLE reports_v1 RENAME CONSTRAINT reports_client_time_game_id_guid_key TO reports_v1_key;" +
           CreateSchemaSql(d) + texts +
           "INSERT INTO reports (received_at, client_time, day, version_id, os_id, flash_id, game_id, guid, sign, raw)"
           " SELECT r.received_at, r.client_time::bigint, r.day::date - DATE '1970-01-01', tv.id, tos.id, tf.id, r.game_id,"
           " r.guid, ''::bytea, r.body" + joins +
           " WHERE r.id IN (SELECT MIN(id) FROM reports_v1 WHERE CASE WHEN client_time ~ '^-?[0-9]+$' THEN"
           " client_time::numeric BETWEEN -9223372036854775808 AND 9223372036854775807 ELSE false END"
           " GROUP BY game_id, guid, client_time::numeric) ORDER BY r.id;"
           "DROP TABLE reports_v1;" + marked;
}

std::string RandomHex(size_t digits) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    FILE* random = fopen("/dev/urandom", "rb");
    if (random == NULL) return out;
    for (size_t i = 0; i < digits; ++i) {
        const int byte = fgetc(random);
        if (byte == EOF) return std::string();
        out += kHex[byte & 15];
    }
    fclose(random);
    return out;
}

bool EnsureSchema(QVDialect dialect, QVSqlSession& s, const std::string& where, const std::function<bool(int)>& upgraded,
                  std::string* sourceKey, size_t* breakdownCap, bool create, std::string* error) {
    const auto failed = [&]() {
        *error = "cannot use " + where + ": " + s.Error();
        return false;
    };
    if (!s.Exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);")) return failed();
    std::vector<QVSqlRow> rows;
    if (!s.Run("SELECT value FROM meta WHERE key = 'schema_version'", {}, &rows)) return failed();
    int version = rows.empty() ? 0 : atoi(rows[0][0].c_str());
    if (version == 0 && !create) {
        *error = where + " holds no statistics (qvstats serve makes them)";
        return false;  // the caller's transaction takes back the meta table
    }
    if (version > kSchemaVersion) {
        *error = where + " has schema version " + std::to_string(version) + ", newer than the " +
                 std::to_string(kSchemaVersion) + " this qvstats knows: use a newer qvstats";
        return false;
    }
    // The cap a server counts with, so that release and purge count alike.
    rows.clear();
    if (*breakdownCap == 0) {
        if (!s.Run("SELECT value FROM meta WHERE key = 'breakdown_cap'", {}, &rows)) return failed();
        *breakdownCap = rows.empty() ? kDefaultBreakdownCap : strtoull(rows[0][0].c_str(), NULL, 10);
        if (*breakdownCap == 0) *breakdownCap = kDefaultBreakdownCap;
    } else if (!s.Exec("DELETE FROM meta WHERE key = 'breakdown_cap'") ||
               !s.Run("INSERT INTO meta (key, value) VALUES ('breakdown_cap', ?)", {std::to_string(*breakdownCap)})) {
        return failed();
    }
    if (version == 0) {
        if (!s.Exec(CreateSchemaSql(dialect))) return failed();
        version = kSchemaVersion;
    }
    const int found = version;
    // The first schema's upgrade makes the present one whole.
    if (version == 1) {
        if (!s.Exec(UpgradeSql(dialect, 1))) return failed();
        version = kSchemaVersion;
    }
    for (; version < kSchemaVersion; ++version) {
        if (!s.Exec(UpgradeSql(dialect, version))) return failed();
    }
    if (found != kSchemaVersion && !upgraded(found)) return failed();
    const std::string mark = "DELETE FROM meta WHERE key = 'schema_version';"
                             "INSERT INTO meta (key, value) VALUES ('schema_version', '" +
                             std::to_string(kSchemaVersion) + "');";
    if (!s.Exec(mark)) return failed();
    // The key of --hash-sources: one per database, so that every receiver
    // and every restart hashes an address alike.
    rows.clear();
    if (!s.Run("SELECT value FROM meta WHERE key = 'source_key'", {}, &rows)) return failed();
    if (!rows.empty()) {
        *sourceKey = rows[0][0];
        return true;
    }
    *sourceKey = RandomHex(32);
    return (!sourceKey->empty() && s.Run("INSERT INTO meta (key, value) VALUES ('source_key', ?)", {*sourceKey})) ||
           failed();
}

namespace QVCountSql {
const char kPutMachine[] =
    "INSERT INTO machines AS m (game_id, guid, days, times) VALUES (?, ?, ?, ?)"
    " ON CONFLICT (game_id, guid) DO UPDATE SET days = excluded.days, times = excluded.times";
const char kDropMachine[] = "DELETE FROM machines WHERE game_id = ? AND guid = ?";
const char kAddDay[] =
    "INSERT INTO daily AS d (game_id, day, reports, new_machines) VALUES (?, ?, ?, ?)"
    " ON CONFLICT (game_id, day) DO UPDATE SET reports = d.reports + excluded.reports,"
    " new_machines = d.new_machines + excluded.new_machines";
const char kDropDay[] = "DELETE FROM daily WHERE game_id = ? AND day = ? AND reports <= 0 AND new_machines <= 0";
const char kAddLast[] =
    "INSERT INTO machine_last AS l (game_id, day, machines) VALUES (?, ?, ?) ON CONFLICT (game_id, day)"
    " DO UPDATE SET machines = l.machines + excluded.machines";
const char kDropLast[] = "DELETE FROM machine_last WHERE game_id = ? AND day = ? AND machines <= 0";
const char kAddGap[] =
    "INSERT INTO machine_gaps AS g (game_id, first_day, last_day, machines) VALUES (?, ?, ?, ?)"
    " ON CONFLICT (game_id, first_day, last_day) DO UPDATE SET machines = g.machines + excluded.machines";
const char kDropGap[] =
    "DELETE FROM machine_gaps WHERE game_id = ? AND first_day = ? AND last_day = ? AND machines <= 0";
const char kAddValue[] =
    "INSERT INTO breakdown AS b (game_id, kind, value, reports) VALUES (?, ?, ?, ?)"
    " ON CONFLICT (game_id, kind, value) DO UPDATE SET reports = b.reports + excluded.reports";
const char kDropValue[] = "DELETE FROM breakdown WHERE game_id = ? AND kind = ? AND value = ? AND reports <= 0";
const char kAddValueDay[] =
    "INSERT INTO breakdown_days AS b (game_id, kind, day, value, reports) VALUES (?, ?, ?, ?, ?)"
    " ON CONFLICT (game_id, kind, day, value) DO UPDATE SET reports = b.reports + excluded.reports";
const char kDropValueDay[] =
    "DELETE FROM breakdown_days WHERE game_id = ? AND kind = ? AND day = ? AND value = ? AND reports <= 0";
const char kAddGame[] =
    "INSERT INTO games AS g (game_id, reports, machines) VALUES (?, ?, ?) ON CONFLICT (game_id)"
    " DO UPDATE SET reports = g.reports + excluded.reports, machines = g.machines + excluded.machines";
const char kDropGame[] = "DELETE FROM games WHERE game_id = ? AND reports <= 0 AND machines <= 0";
}  // namespace QVCountSql

}  // namespace Quorvel
