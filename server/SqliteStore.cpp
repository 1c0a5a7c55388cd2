// The default store: one SQLite file in WAL mode, every commit synced
// (synchronous FULL) before a report is acknowledged.
#include "server/SqliteStore.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>

#include "server/Spool.h"

namespace Quorvel {

QVSqliteDb::QVSqliteDb(const std::string& path, int flags) : m_db(NULL) {
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, NULL) != SQLITE_OK) {
        m_error = m_db != NULL ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = NULL;
    }
}

QVSqliteDb::~QVSqliteDb() { sqlite3_close(m_db); }

bool QVSqliteDb::Exec(const std::string& sql) {
    if (m_db != NULL) m_error.clear();  // stale, once a later statement fails
    char* message = NULL;
    if (sqlite3_exec(m_db, sql.c_str(), NULL, NULL, &message) == SQLITE_OK) return true;
    m_error = message != NULL ? message : sqlite3_errmsg(m_db);
    sqlite3_free(message);
    return false;
}

std::string QVSqliteDb::Error() const { return m_db != NULL && m_error.empty() ? sqlite3_errmsg(m_db) : m_error; }

QVSqliteStatement::QVSqliteStatement(QVSqliteDb& db, const char* sql) : m_stmt(NULL) {
    sqlite3_prepare_v2(db.get(), sql, -1, &m_stmt, NULL);
}

QVSqliteStatement::~QVSqliteStatement() { sqlite3_finalize(m_stmt); }

QVSqliteStatement& QVSqliteStatement::Bind(int index, int64_t value) {
    sqlite3_bind_int64(m_stmt, index, value);
    return *this;
}

QVSqliteStatement& QVSqliteStatement::Bind(int index, const std::string& value) {
    sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

QVSqliteStatement& QVSqliteStatement::BindBlob(int index, const std::string& value) {
    sqlite3_bind_blob(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

int QVSqliteStatement::Step() { return sqlite3_step(m_stmt); }

bool QVSqliteStatement::Run() {
    const int result = sqlite3_step(m_stmt);
    Reset();
    return result == SQLITE_DONE || result == SQLITE_ROW;
}

void QVSqliteStatement::Reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

int64_t QVSqliteStatement::Int(int column) { return sqlite3_column_int64(m_stmt, column); }

QVReportRow QVSqliteStatement::Report(int first) {
    QVReportRow r;
    r.receivedAt = Int(first);
    r.day = Text(first + 1);
    r.gameId = Text(first + 2);
    r.version = Text(first + 3);
    r.guid = Text(first + 4);
    r.clientTime = Text(first + 5);
    r.osMajor = Int(first + 6);
    r.osMinor = Int(first + 7);
    r.system = Text(first + 8);
    r.flash = Text(first + 9);
    return r;
}

std::string QVSqliteStatement::Text(int column) {
    const void* data = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    return data != NULL ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
}

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS reports (id INTEGER PRIMARY KEY, received_at INTEGER NOT NULL, day TEXT NOT NULL,"
    " game_id TEXT NOT NULL, version TEXT NOT NULL, guid TEXT NOT NULL, client_time TEXT NOT NULL,"
    " osmajor INTEGER NOT NULL, osminor INTEGER NOT NULL, system TEXT NOT NULL, flash TEXT NOT NULL,"
    " body BLOB NOT NULL, UNIQUE (client_time, game_id, guid));"
    "CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received_at);"
    "CREATE TABLE IF NOT EXISTS machines (game_id TEXT NOT NULL, guid TEXT NOT NULL, first_seen INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL, reports INTEGER NOT NULL, PRIMARY KEY (game_id, guid)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS daily (game_id TEXT NOT NULL, day TEXT NOT NULL, reports INTEGER NOT NULL,"
    " new_machines INTEGER NOT NULL, PRIMARY KEY (game_id, day)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS breakdown (game_id TEXT NOT NULL, kind TEXT NOT NULL, value TEXT NOT NULL,"
    " reports INTEGER NOT NULL, PRIMARY KEY (game_id, kind, value)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS games (game_id TEXT PRIMARY KEY, reports INTEGER NOT NULL, machines INTEGER NOT NULL)"
    " WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS rejects (day TEXT NOT NULL, reason TEXT NOT NULL, n INTEGER NOT NULL,"
    " PRIMARY KEY (day, reason)) WITHOUT ROWID;";

}  // namespace

namespace {

// The reports are the publisher's: a new database is its owner's alone
// (SQLite gives its journal files the database's permissions).
const std::string& Private(const std::string& path) {
    std::string ignored;  // an unusable path is reported when it is opened
    if (access(path.c_str(), F_OK) != 0) CreatePrivateFile(path, &ignored);
    return path;
}

}  // namespace

QVSqliteStore::QVSqliteStore(const std::string& path)
    : m_path(path), m_db(Private(path), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX) {}

bool QVSqliteStore::Prepare(std::string* error) {
    if (!m_db.valid()) {
        *error = "cannot open " + m_path + ": " + m_db.Error();
        return false;
    }
    sqlite3_busy_timeout(m_db.get(), 5000);
    // WAL lets the dashboard read while reports are written; FULL syncs
    // every commit, which is what a 200 promises.
    if (!m_db.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") || !m_db.Exec("BEGIN IMMEDIATE;") ||
        !m_db.Exec(kSchema)) {
        *error = "cannot use " + m_path + ": " + m_db.Error();
        m_db.Exec("ROLLBACK;");
        return false;
    }
    {
        QVSqliteStatement version(m_db, "SELECT value FROM meta WHERE key = 'schema_version'");
        if (version.Step() == SQLITE_ROW) {
            const int64_t found = atoll(version.Text(0).c_str());
            if (found > kSchemaVersion) {
                *error = m_path + " has schema version " + std::to_string(found) + ", newer than the " +
                         std::to_string(kSchemaVersion) + " this qvstats knows: use a newer qvstats";
                version.Reset();
                m_db.Exec("ROLLBACK;");
                return false;
            }
        }
    }
    QVSqliteStatement mark(m_db, "INSERT OR IGNORE INTO meta (key, value) VALUES ('schema_version', ?)");
    if (!mark.Bind(1, std::to_string(kSchemaVersion)).Run() || !m_db.Exec("COMMIT;")) {
        *error = "cannot use " + m_path + ": " + m_db.Error();
        m_db.Exec("ROLLBACK;");
        return false;
    }
    m_insertReport.reset(new QVSqliteStatement(m_db,
        "INSERT INTO reports (received_at, day, game_id, version, guid, client_time, osmajor, osminor, system,"
        " flash, body) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (game_id, guid, client_time) DO NOTHING"));
    m_insertMachine.reset(new QVSqliteStatement(m_db,
        "INSERT INTO machines (game_id, guid, first_seen, last_seen, reports) VALUES (?, ?, ?, ?, 1)"
        " ON CONFLICT (game_id, guid) DO NOTHING"));
    m_updateMachine.reset(new QVSqliteStatement(m_db,
        "UPDATE machines SET reports = reports + 1, last_seen = MAX(last_seen, ?) WHERE game_id = ? AND guid = ?"));
    m_addDay.reset(new QVSqliteStatement(m_db,
        "INSERT INTO daily (game_id, day, reports, new_machines) VALUES (?, ?, ?, ?) ON CONFLICT (game_id, day)"
        " DO UPDATE SET reports = reports + excluded.reports, new_machines = new_machines + excluded.new_machines"));
    m_addBreakdown.reset(new QVSqliteStatement(m_db,
        "INSERT INTO breakdown (game_id, kind, value, reports) VALUES (?, ?, ?, ?) ON CONFLICT (game_id, kind, value)"
        " DO UPDATE SET reports = reports + excluded.reports"));
    m_addGame.reset(new QVSqliteStatement(m_db,
        "INSERT INTO games (game_id, reports, machines) VALUES (?, ?, ?) ON CONFLICT (game_id)"
        " DO UPDATE SET reports = reports + excluded.reports, machines = machines + excluded.machines"));
    m_addReject.reset(new QVSqliteStatement(m_db,
        "INSERT INTO rejects (day, reason, n) VALUES (?, ?, ?) ON CONFLICT (day, reason) DO UPDATE SET n = n + excluded.n"));
    const QVSqliteStatement* all[] = {m_insertReport.get(), m_insertMachine.get(), m_updateMachine.get(),
                                      m_addDay.get(),       m_addBreakdown.get(),  m_addGame.get(),
                                      m_addReject.get()};
    for (const QVSqliteStatement* statement : all) {
        if (!statement->valid()) {
            *error = "cannot use " + m_path + ": " + m_db.Error();
            return false;
        }
    }
    return true;
}

bool QVSqliteStore::WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                               std::vector<bool>* inserted, std::string* error) {
    inserted->assign(rows.size(), false);
    if (!m_db.Exec("BEGIN IMMEDIATE;")) {
        *error = m_db.Error();
        return false;
    }
    QVBatchCounts counts;
    bool ok = true;
    for (size_t i = 0; i < rows.size() && ok; ++i) {
        const QVReportRow& r = rows[i];
        ok = m_insertReport->Bind(1, r.receivedAt).Bind(2, r.day).Bind(3, r.gameId).Bind(4, r.version).Bind(5, r.guid)
                 .Bind(6, r.clientTime).Bind(7, r.osMajor).Bind(8, r.osMinor).Bind(9, r.system).Bind(10, r.flash)
                 .BindBlob(11, r.body).Run();
        if (!ok || sqlite3_changes(m_db.get()) == 0) continue;  // a replay: stored already
        (*inserted)[i] = true;
        ok = m_insertMachine->Bind(1, r.gameId).Bind(2, r.guid).Bind(3, r.receivedAt).Bind(4, r.receivedAt).Run();
        const bool newMachine = ok && sqlite3_changes(m_db.get()) == 1;
        if (ok && !newMachine) ok = m_updateMachine->Bind(1, r.receivedAt).Bind(2, r.gameId).Bind(3, r.guid).Run();
        counts.Add(r, newMachine);
    }
    for (auto it = counts.days.begin(); ok && it != counts.days.end(); ++it) {
        ok = m_addDay->Bind(1, it->first.first).Bind(2, it->first.second).Bind(3, it->second.first)
                 .Bind(4, it->second.second).Run();
    }
    for (auto it = counts.breakdown.begin(); ok && it != counts.breakdown.end(); ++it) {
        ok = m_addBreakdown->Bind(1, std::get<0>(it->first)).Bind(2, std::get<1>(it->first))
                 .Bind(3, std::get<2>(it->first)).Bind(4, it->second).Run();
    }
    for (auto it = counts.games.begin(); ok && it != counts.games.end(); ++it) {
        ok = m_addGame->Bind(1, it->first).Bind(2, it->second.first).Bind(3, it->second.second).Run();
    }
    for (size_t i = 0; ok && i < rejects.size(); ++i) {
        ok = m_addReject->Bind(1, rejects[i].day).Bind(2, rejects[i].reason).Bind(3, rejects[i].count).Run();
    }
    if (ok && m_db.Exec("COMMIT;")) return true;
    *error = m_db.Error();
    m_db.Exec("ROLLBACK;");
    inserted->assign(rows.size(), false);
    return false;
}

bool QVSqliteStore::Healthy() {
    QVSqliteStatement probe(m_db, "SELECT COUNT(*) FROM meta");
    return probe.valid() && probe.Step() == SQLITE_ROW;
}

bool QVSqliteStore::Games(std::vector<std::string>* games) {
    QVSqliteStatement query(m_db, "SELECT game_id FROM games ORDER BY reports DESC, game_id");
    int step;
    while ((step = query.Step()) == SQLITE_ROW) games->push_back(query.Text(0));
    return step == SQLITE_DONE;
}

bool QVSqliteStore::Summary(const std::string& game, const std::string& today, QVGameSummary* s) {
    QVSqliteStatement totals(m_db, "SELECT reports, machines FROM games WHERE game_id = ?");
    totals.Bind(1, game);
    int step = totals.Step();
    if (step == SQLITE_ROW) {
        s->reports = totals.Int(0);
        s->machines = totals.Int(1);
    } else if (step != SQLITE_DONE) {
        return false;
    }
    QVSqliteStatement day(m_db, "SELECT reports, new_machines FROM daily WHERE game_id = ? AND day = ?");
    day.Bind(1, game).Bind(2, today);
    step = day.Step();
    if (step == SQLITE_ROW) {
        s->reportsToday = day.Int(0);
        s->newMachinesToday = day.Int(1);
    }
    return step == SQLITE_ROW || step == SQLITE_DONE;
}

bool QVSqliteStore::Days(const std::string& game, const std::string& firstDay, std::vector<QVDayCount>* days) {
    QVSqliteStatement query(m_db,
                            "SELECT day, reports, new_machines FROM daily WHERE game_id = ? AND day >= ? ORDER BY day");
    query.Bind(1, game).Bind(2, firstDay);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) days->push_back(QVDayCount{query.Text(0), query.Int(1), query.Int(2)});
    return step == SQLITE_DONE;
}

bool QVSqliteStore::Breakdown(const std::string& game, const std::string& kind, std::vector<QVBreakdownRow>* rows) {
    QVSqliteStatement query(m_db, "SELECT value, reports FROM breakdown WHERE game_id = ? AND kind = ?"
                                  " ORDER BY reports DESC, value");
    query.Bind(1, game).Bind(2, kind);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) rows->push_back(QVBreakdownRow{query.Text(0), query.Int(1)});
    return step == SQLITE_DONE;
}

bool QVSqliteStore::Rejects(std::vector<QVRejectCount>* rejects) {
    QVSqliteStatement query(m_db, "SELECT day, reason, n FROM rejects ORDER BY day DESC, reason");
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        rejects->push_back(QVRejectCount{query.Text(0), query.Text(1), query.Int(2)});
    }
    return step == SQLITE_DONE;
}

bool QVSqliteStore::ExportPage(const std::string& game, int64_t from, int64_t to, const QVExportPlace& after,
                               size_t limit, std::vector<QVReportRow>* rows) {
    rows->clear();
    QVSqliteStatement query(m_db,
        "SELECT id, received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash FROM reports"
        " WHERE (received_at, id) > (?, ?) AND received_at >= ? AND received_at < ? AND (? = '' OR game_id = ?)"
        " ORDER BY received_at, id LIMIT ?");
    query.Bind(1, after.receivedAt).Bind(2, after.id).Bind(3, from).Bind(4, to).Bind(5, game).Bind(6, game)
        .Bind(7, static_cast<int64_t>(limit));
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        rows->push_back(query.Report(1));
        rows->back().id = query.Int(0);
    }
    return step == SQLITE_DONE;
}

bool QVSqliteStore::Prune(int64_t before, size_t limit, int64_t* deleted, std::string* error) {
    *deleted = 0;
    // A bounded number at a time: the server's writer waits for this
    // transaction's lock, so it stays short.
    QVSqliteStatement prune(m_db, "DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE received_at < ?"
                                  " ORDER BY received_at LIMIT ?)");
    if (!prune.valid() || !prune.Bind(1, before).Bind(2, static_cast<int64_t>(limit)).Run()) {
        *error = m_db.Error();
        return false;
    }
    *deleted = sqlite3_changes(m_db.get());
    return true;
}

bool BackupSqlite(const std::string& path, const std::string& to, std::string* error) {
    QVSqliteDb source(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);  // reads only; a WAL reader needs the shared-memory file
    if (!source.valid()) {
        *error = "cannot open " + path + ": " + source.Error();
        return false;
    }
    sqlite3_busy_timeout(source.get(), 5000);
    // Into a file beside the copy, renamed once whole: a failed or cut
    // backup never leaves a file that looks like one.
    const std::string partial = to + ".partial";
    unlink(partial.c_str());
    if (!CreatePrivateFile(partial, error)) return false;
    bool ok = false;
    {
        QVSqliteDb copy(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
        sqlite3_backup* backup = copy.valid() ? sqlite3_backup_init(copy.get(), "main", source.get(), "main") : NULL;
        if (backup != NULL) {
            // All pages in one step: one read transaction, so the copy is the
            // database as it was when the step began. The server's writer goes
            // on meanwhile (WAL).
            int step;
            while ((step = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || step == SQLITE_LOCKED) sqlite3_sleep(50);
            ok = sqlite3_backup_finish(backup) == SQLITE_OK && step == SQLITE_DONE;
        }
        if (!ok) *error = "cannot copy " + path + ": " + (copy.valid() ? copy.Error() : source.Error());
        // A copy that stands alone: no write-ahead log beside it.
        ok = ok && copy.Exec("PRAGMA journal_mode=DELETE;");
        if (!ok && error->empty()) *error = "cannot finish the copy: " + copy.Error();
    }
    if (ok) {
        const int fd = open(partial.c_str(), O_RDONLY | O_CLOEXEC);
        ok = fd >= 0 && fsync(fd) == 0;
        if (fd >= 0) close(fd);
        ok = ok && rename(partial.c_str(), to.c_str()) == 0;
        if (!ok) *error = "cannot write " + to + ": " + strerror(errno);
    }
    if (!ok) unlink(partial.c_str());
    return ok;
}

}  // namespace Quorvel
