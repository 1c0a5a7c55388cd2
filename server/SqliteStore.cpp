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

#include "server/Schema.h"
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

int QVSqliteStatement::Columns() { return sqlite3_column_count(m_stmt); }

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

bool QVSqliteSession::Run(const std::string& sql, const std::vector<QVSqlValue>& values, std::vector<QVSqlRow>* rows) {
    m_error.clear();
    std::unique_ptr<QVSqliteStatement>& statement = m_statements[sql];
    if (!statement) statement.reset(new QVSqliteStatement(m_db, sql.c_str()));
    if (!statement->valid()) {
        m_error = m_db.Error();
        statement.reset();
        return false;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        if (values[i].isBytes) {
            statement->BindBlob(index, values[i].text);
        } else if (values[i].isText) {
            statement->Bind(index, values[i].text);
        } else {
            statement->Bind(index, values[i].number);
        }
    }
    int step;
    while ((step = statement->Step()) == SQLITE_ROW) {
        if (rows == NULL) continue;
        QVSqlRow row;
        for (int c = 0, n = statement->Columns(); c < n; ++c) row.push_back(statement->Text(c));
        rows->push_back(std::move(row));
    }
    if (step != SQLITE_DONE) m_error = m_db.Error();
    statement->Reset();
    return step == SQLITE_DONE;
}

int64_t QVSqliteSession::Changes() { return sqlite3_changes(m_db.get()); }

namespace {

// The reports are the publisher's: a new database is its owner's alone
// (SQLite gives its journal files the database's permissions).
const std::string& Private(const std::string& path) {
    std::string ignored;  // an unusable path is reported when it is opened
    if (access(path.c_str(), F_OK) != 0) CreatePrivateFile(path, &ignored);
    return path;
}

}  // namespace

QVSqliteStore::QVSqliteStore(const std::string& path, const QVStoreOptions& options)
    : QVStore(options), m_path(path),
      m_db(Private(path), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX), m_session(m_db),
      m_ready(false) {}

bool QVSqliteStore::Prepare(std::string* error) {
    if (!m_db.valid()) {
        *error = "cannot open " + m_path + ": " + m_db.Error();
        return false;
    }
    sqlite3_busy_timeout(m_db.get(), 5000);
    // WAL lets the dashboard read while reports are written; FULL syncs
    // every commit, which is what a 200 promises.
    if (!m_db.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;")) {
        *error = "cannot use " + m_path + ": " + m_db.Error();
        return false;
    }
    QVTransaction transaction(m_session, Begin());
    if (!transaction.Begun()) {
        *error = "cannot use " + m_path + ": " + m_session.Error();
        return false;
    }
    if (!EnsureSchema(kSqlite, m_session, m_path, [this] { return Recount(m_session); }, &m_sourceKey, &m_breakdownCap, error)) return false;
    if (!transaction.Commit()) {
        *error = "cannot use " + m_path + ": " + m_session.Error();
        return false;
    }
    m_ready = true;
    return true;
}

bool QVSqliteStore::InsertReports(QVSqlSession& s, const std::vector<QVReportRow>& rows, std::vector<bool>* inserted) {
    for (size_t i = 0; i < rows.size(); ++i) {
        const QVReportRow& r = rows[i];
        if (!s.Run("INSERT INTO reports (received_at, day, game_id, version, guid, client_time, osmajor, osminor,"
                   " system, flash, body, source, held) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                   " ON CONFLICT (client_time, game_id, guid) DO NOTHING",
                   {r.receivedAt, r.day, r.gameId, r.version, r.guid, r.clientTime, r.osMajor, r.osMinor, r.system,
                    r.flash, QVSqlValue::Bytes(r.body), r.source, r.held ? 1 : 0})) {
            return false;
        }
        (*inserted)[i] = s.Changes() > 0;  // none: a replay, stored already
    }
    return true;
}

bool QVSqliteStore::Healthy() {
    QVSqliteStatement probe(m_db, "SELECT COUNT(*) FROM meta");
    return probe.valid() && probe.Step() == SQLITE_ROW;
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
