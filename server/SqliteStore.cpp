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

#include "server/Days.h"
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

QVSqliteStatement& QVSqliteStatement::BindView(int index, const std::string& value) {
    sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
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
const std::string& Private(const std::string& path, bool create) {
    std::string ignored;  // an unusable path is reported when it is opened
    if (create && access(path.c_str(), F_OK) != 0) CreatePrivateFile(path, &ignored);
    return path;
}

}  // namespace

// The statements of a batch's writes, prepared once.
struct QVSqliteStore::Statements {
    explicit Statements(QVSqliteDb& db)
        : insertReport(db, "INSERT INTO reports (received_at, client_time, day, version_id, os_id, flash_id, held, game_id,"
                           " guid, sign, source, raw) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          machine(db, "SELECT days, times FROM machines WHERE game_id = ? AND guid = ?"),
          values(db, "SELECT value FROM breakdown WHERE game_id = ? AND kind = ?"),
          putMachine(db, QVCountSql::kPutMachine),
          dropMachine(db, QVCountSql::kDropMachine),
          addDay(db, QVCountSql::kAddDay),
          dropDay(db, QVCountSql::kDropDay),
          addLast(db, QVCountSql::kAddLast),
          dropLast(db, QVCountSql::kDropLast),
          addGap(db, QVCountSql::kAddGap),
          dropGap(db, QVCountSql::kDropGap),
          addValue(db, QVCountSql::kAddValue),
          dropValue(db, QVCountSql::kDropValue),
          addValueDay(db, QVCountSql::kAddValueDay),
          dropValueDay(db, QVCountSql::kDropValueDay),
          addGame(db, QVCountSql::kAddGame),
          dropGame(db, QVCountSql::kDropGame),
          dataVersion(db, "PRAGMA data_version") {}

    bool Valid() const {
        const QVSqliteStatement* all[] = {&insertReport, &machine, &values, &putMachine, &dropMachine, &addDay, &dropDay,
                                          &addLast, &dropLast, &addGap, &dropGap, &addValue, &dropValue, &addValueDay,
                                          &dropValueDay, &addGame, &dropGame, &dataVersion};
        for (const QVSqliteStatement* statement : all) {
            if (!statement->valid()) return false;
        }
        return true;
    }

    QVSqliteStatement insertReport, machine, values, putMachine, dropMachine, addDay, dropDay, addLast, dropLast, addGap,
        dropGap, addValue, dropValue, addValueDay, dropValueDay, addGame, dropGame, dataVersion;
};

QVSqliteStore::QVSqliteStore(const std::string& path, const QVStoreOptions& options)
    : QVStore(options), m_path(path),
      m_db(Private(path, options.create), SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX),
      m_session(m_db),
      m_ready(false), m_forget(false) {}

QVSqliteStore::~QVSqliteStore() {}

bool QVSqliteStore::Prepare(std::string* error) {
    if (!m_db.valid()) {
        *error = !m_options.create && access(m_path.c_str(), F_OK) != 0
                     ? "no database at " + m_path + " (qvstats serve makes one)"
                     : "cannot open " + m_path + ": " + m_db.Error();
        return false;
    }
    sqlite3_busy_timeout(m_db.get(), 5000);
    // WAL lets the dashboard read while reports are written; FULL syncs
    // every commit, which is what a 200 promises. A cache of 32 MB holds
    // the indexes' inner pages of tens of millions of reports.
    if (!m_db.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA cache_size=-32768;")) {
        *error = "cannot use " + m_path + ": " + m_db.Error();
        return false;
    }
    QVTransaction transaction(m_session, Begin());
    if (!transaction.Begun()) {
        *error = "cannot use " + m_path + ": " + m_session.Error();
        return false;
    }
    if (!EnsureSchema(kSqlite, m_session, m_path, [this](int from) { return Upgraded(m_session, from); }, &m_sourceKey, &m_breakdownCap, m_options.create, error)) {
        return false;
    }
    if (!transaction.Commit()) {
        *error = "cannot use " + m_path + ": " + m_session.Error();
        return false;
    }
    m_statements.reset(new Statements(m_db));
    if (!m_statements->Valid()) {
        *error = "cannot use " + m_path + ": " + m_db.Error();
        return false;
    }
    m_ready = true;
    return true;
}

bool QVSqliteStore::InsertReports(QVSqlSession&, const std::vector<NewReport>& reports) {
    if (!m_statements) return false;
    QVSqliteStatement& insert = m_statements->insertReport;
    static const std::string kRebuilds;  // the fields give the body back
    for (const NewReport& n : reports) {
        const QVReportRow& r = *n.row;
        int32_t day = 0;
        DayNumber(r.day, &day);
        const std::string sign = SignBytes(r.sign);
        insert.Bind(1, r.receivedAt).Bind(2, static_cast<int64_t>(strtoll(r.clientTime.c_str(), NULL, 10)))
            .Bind(3, static_cast<int64_t>(day)).Bind(4, n.texts.version).Bind(5, n.texts.os).Bind(6, n.texts.flash)
            .Bind(7, static_cast<int64_t>(n.held)).BindView(8, r.gameId).BindView(9, r.guid).BindBlob(10, sign)
            .BindView(11, r.source).BindBlob(12, r.bodyRebuilds ? kRebuilds : r.body);
        if (!insert.Run()) return false;
    }
    return true;
}

bool QVSqliteStore::LoadBasis(QVSqlSession& s, const std::vector<const QVReportRow*>& rows, QVCountBasis* basis) {
    // Before its statements are prepared (an upgrade counts again as the
    // schema is made), the statements of both stores.
    if (!m_statements) return QVStore::LoadBasis(s, rows, basis);
    // Another connection (a purge, the spool's drainer) may have taken
    // values away or given them rows since: then what this one knows goes.
    QVSqliteStatement& version = m_statements->dataVersion;
    const int step = version.Step();
    const int64_t now = step == SQLITE_ROW ? version.Int(0) : -1;
    version.Reset();
    if (step != SQLITE_ROW) return false;
    if (now != m_dataVersion) m_known.clear();
    m_dataVersion = now;
    QVSqliteStatement& machine = m_statements->machine;
    QVSqliteStatement& values = m_statements->values;
    for (const QVReportRow* r : rows) {
        const QVMachineKey key(r->gameId, r->guid);
        if (!basis->machines.count(key)) {
            QVMachineState& m = basis->machines[key];
            machine.BindView(1, r->gameId).BindView(2, r->guid);
            const int step = machine.Step();
            const bool read = step != SQLITE_ROW || MachineOf(machine.Text(0), machine.Text(1), &m);
            machine.Reset();
            if (!read || (step != SQLITE_ROW && step != SQLITE_DONE)) return false;
        }
        for (const auto& kv : BreakdownValues(*r)) {
            const auto kind = std::make_pair(r->gameId, kv.first);
            auto known = m_known.find(kind);
            if (known == m_known.end()) {
                // Read once: a game has at most the cap of them.
                known = m_known.emplace(kind, Known()).first;
                values.BindView(1, kind.first).BindView(2, kind.second);
                int step;
                while ((step = values.Step()) == SQLITE_ROW) known->second.values.insert(values.Text(0));
                values.Reset();
                if (step != SQLITE_DONE) {
                    m_known.erase(known);
                    return false;
                }
            }
            basis->values[kind] = static_cast<int64_t>(known->second.values.size());
            if (known->second.values.count(kv.second)) basis->known.insert(QVValueKey(r->gameId, kv.first, kv.second));
        }
    }
    return true;
}

bool QVSqliteStore::ApplyDeltas(QVSqlSession& s, const QVCountDeltas& d) {
    if (!m_statements) return QVStore::ApplyDeltas(s, d);
    Statements& st = *m_statements;
    for (const auto& m : d.machines) {
        if (Kept(m.second)) {
            const std::string days = EncodeDays(m.second.days), times = EncodeTimes(m.second.times);
            if (!st.putMachine.BindView(1, m.first.first).BindView(2, m.first.second).BindBlob(3, days).BindBlob(4, times)
                     .Run()) {
                return false;
            }
        } else if (!st.dropMachine.BindView(1, m.first.first).BindView(2, m.first.second).Run()) {
            return false;
        }
    }
    // Each count moved on; where one was taken from, a row with nothing
    // left in it goes.
    for (const auto& x : d.days) {
        if (x.second.first == 0 && x.second.second == 0) continue;
        if (!st.addDay.BindView(1, x.first.first).BindView(2, x.first.second).Bind(3, x.second.first)
                 .Bind(4, x.second.second).Run() ||
            ((x.second.first < 0 || x.second.second < 0) &&
             !st.dropDay.BindView(1, x.first.first).BindView(2, x.first.second).Run())) {
            return false;
        }
    }
    for (const auto& x : d.lastDays) {
        if (x.second == 0) continue;
        if (!st.addLast.BindView(1, x.first.first).BindView(2, x.first.second).Bind(3, x.second).Run() ||
            (x.second < 0 && !st.dropLast.BindView(1, x.first.first).BindView(2, x.first.second).Run())) {
            return false;
        }
    }
    for (const auto& x : d.gaps) {
        if (x.second == 0) continue;
        if (!st.addGap.BindView(1, std::get<0>(x.first)).BindView(2, std::get<1>(x.first)).BindView(3, std::get<2>(x.first))
                 .Bind(4, x.second).Run() ||
            (x.second < 0 && !st.dropGap.BindView(1, std::get<0>(x.first)).BindView(2, std::get<1>(x.first))
                                  .BindView(3, std::get<2>(x.first)).Run())) {
            return false;
        }
    }
    for (const auto& x : d.breakdown) {
        if (x.second == 0) continue;
        if (!st.addValue.BindView(1, std::get<0>(x.first)).BindView(2, std::get<1>(x.first))
                 .BindView(3, std::get<2>(x.first)).Bind(4, x.second).Run()) {
            return false;
        }
        if (x.second < 0) {
            m_forget = true;  // a value may lose its row: read the kind again next time
            if (!st.dropValue.BindView(1, std::get<0>(x.first)).BindView(2, std::get<1>(x.first))
                     .BindView(3, std::get<2>(x.first)).Run()) {
                return false;
            }
        } else if (std::get<1>(x.first).find(':') == std::string::npos) {
            m_admitted.push_back(x.first);
        }
    }
    for (const auto& x : d.breakdownDays) {
        if (x.second == 0) continue;
        if (!st.addValueDay.BindView(1, std::get<0>(x.first)).BindView(2, std::get<1>(x.first))
                 .BindView(3, std::get<2>(x.first)).BindView(4, std::get<3>(x.first)).Bind(5, x.second).Run() ||
            (x.second < 0 && !st.dropValueDay.BindView(1, std::get<0>(x.first)).BindView(2, std::get<1>(x.first))
                                  .BindView(3, std::get<2>(x.first)).BindView(4, std::get<3>(x.first)).Run())) {
            return false;
        }
    }
    for (const auto& x : d.games) {
        if (x.second.first == 0 && x.second.second == 0) continue;
        if (!st.addGame.BindView(1, x.first).Bind(2, x.second.first).Bind(3, x.second.second).Run() ||
            ((x.second.first < 0 || x.second.second < 0) && !st.dropGame.BindView(1, x.first).Run())) {
            return false;
        }
    }
    return true;
}

void QVSqliteStore::Settled(bool committed) {
    if (m_forget) {
        m_known.clear();
    } else if (committed) {
        for (const QVValueKey& v : m_admitted) {
            const auto known = m_known.find(std::make_pair(std::get<0>(v), std::get<1>(v)));
            if (known != m_known.end()) known->second.values.insert(std::get<2>(v));
        }
    }
    m_admitted.clear();
    m_forget = false;
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
