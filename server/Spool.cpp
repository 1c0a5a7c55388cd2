#include "server/Spool.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "server/SqliteStore.h"

namespace Quorvel {

bool CreatePrivateFile(const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

namespace {

const char kSpoolSchema[] =
    "CREATE TABLE IF NOT EXISTS spool (seq INTEGER PRIMARY KEY, received_at INTEGER NOT NULL, day TEXT NOT NULL,"
    " game_id TEXT NOT NULL, version TEXT NOT NULL, guid TEXT NOT NULL, client_time TEXT NOT NULL,"
    " osmajor INTEGER NOT NULL, osminor INTEGER NOT NULL, system TEXT NOT NULL, flash TEXT NOT NULL,"
    " body BLOB NOT NULL, sign TEXT NOT NULL, rebuilds INTEGER NOT NULL, source TEXT NOT NULL, held INTEGER NOT NULL);";

}  // namespace

QVSpool::QVSpool(const std::string& path, uint64_t maxBytes)
    : m_path(path), m_maxBytes(maxBytes), m_lock(-1), m_reports(0), m_bytes(0) {}

QVSpool::~QVSpool() {
    m_db.reset();  // before the lock goes
    if (m_lock >= 0) close(m_lock);
}

bool QVSpool::Open(std::string* error) {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_lock = open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock < 0) {
        *error = "cannot open the spool " + m_path + ": " + strerror(errno);
        return false;
    }
    // Two receivers draining one spool would each store what the other
    // removes: each needs a spool of its own.
    if (flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
        *error = "the spool " + m_path + " is in use by another qvstats: give each its own --spool";
        return false;
    }
    m_db.reset(new QVSqliteDb(m_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX));
    if (!m_db->valid() || !m_db->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") || !m_db->Exec(kSpoolSchema)) {
        *error = "cannot use the spool " + m_path + ": " + m_db->Error();
        return false;
    }
    sqlite3_busy_timeout(m_db->get(), 2000);
    QVSqliteStatement count(*m_db, "SELECT COUNT(*) FROM spool");
    if (count.Step() != SQLITE_ROW) {
        *error = "cannot read the spool " + m_path + ": " + m_db->Error();
        return false;
    }
    m_reports = static_cast<size_t>(count.Int(0));
    count.Reset();
    if (!Measure()) {
        *error = "cannot read the spool " + m_path + ": " + m_db->Error();
        return false;
    }
    return true;
}

void QVSpool::Forget() {
    const size_t removed = static_cast<size_t>(sqlite3_changes(m_db->get())), before = m_reports;
    m_reports = removed < before ? before - removed : 0;
    Measure();
}

bool QVSpool::Measure() {
    QVSqliteStatement pages(*m_db, "SELECT page_count - freelist_count, page_size FROM pragma_page_count(),"
                                   " pragma_freelist_count(), pragma_page_size()");
    if (pages.Step() != SQLITE_ROW) return false;
    m_bytes = static_cast<uint64_t>(pages.Int(0)) * static_cast<uint64_t>(pages.Int(1));
    return true;
}

QVSpool::Result QVSpool::Append(const std::vector<QVReportRow>& rows, std::string* error) {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (!m_db || !m_db->valid()) {
        *error = "the spool is not open";
        return kFailed;
    }
    if (m_bytes >= m_maxBytes) {
        *error = "the spool " + m_path + " is full";
        return kFull;
    }
    if (!m_db->Exec("BEGIN IMMEDIATE")) {
        *error = "the spool " + m_path + ": " + m_db->Error();
        return kFailed;
    }
    QVSqliteStatement insert(*m_db,
        "INSERT INTO spool (received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash,"
        " body, sign, rebuilds, source, held) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    bool ok = insert.valid();
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        const QVReportRow& r = rows[i];
        ok = insert.Bind(1, r.receivedAt).Bind(2, r.day).Bind(3, r.gameId).Bind(4, r.version).Bind(5, r.guid)
                 .Bind(6, r.clientTime).Bind(7, r.osMajor).Bind(8, r.osMinor).Bind(9, r.system).Bind(10, r.flash)
                 .BindBlob(11, r.body).Bind(12, r.sign).Bind(13, static_cast<int64_t>(r.bodyRebuilds ? 1 : 0))
                 .Bind(14, r.source).Bind(15, static_cast<int64_t>(r.held ? 1 : 0)).Run();
    }
    if (!ok || !m_db->Exec("COMMIT")) {
        *error = "the spool " + m_path + ": " + m_db->Error();
        m_db->Exec("ROLLBACK");
        return kFailed;
    }
    m_reports += rows.size();
    Measure();
    return kAppended;
}

bool QVSpool::Oldest(size_t limit, std::vector<QVReportRow>* rows, int64_t* last, std::string* error) {
    std::lock_guard<std::mutex> hold(m_mutex);
    rows->clear();
    *last = 0;
    QVSqliteStatement query(*m_db,
        "SELECT seq, received_at, day, game_id, version, guid, client_time, osmajor, osminor, system, flash, body,"
        " sign, rebuilds, source, held FROM spool ORDER BY seq LIMIT ?");
    query.Bind(1, static_cast<int64_t>(limit));
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        *last = query.Int(0);
        rows->push_back(query.Report(1));
        rows->back().body = query.Text(11);
        rows->back().sign = query.Text(12);
        rows->back().bodyRebuilds = query.Int(13) != 0;
        rows->back().source = query.Text(14);
        rows->back().held = query.Int(15) != 0;
    }
    if (step != SQLITE_DONE) {
        *error = "the spool " + m_path + ": " + m_db->Error();
        return false;
    }
    return true;
}

std::string QVSpool::RefusedPath() const {
    const size_t n = m_path.size();
    return n > 3 && m_path.compare(n - 3, 3, ".db") == 0 ? m_path.substr(0, n - 3) + "-refused.db" : m_path + ".refused";
}

bool QVSpool::SetAside(int64_t seq, std::string* error) {
    std::lock_guard<std::mutex> hold(m_mutex);
    const std::string place = std::to_string(seq);
    // A file of its own, so that what is set aside never fills the spool.
    // Copied there, then removed here: a crash in between leaves a copy in
    // both, never in neither.
    if (!m_refused) {
        if (!CreatePrivateFile(RefusedPath(), error)) return false;
        QVSqliteStatement attach(*m_db, "ATTACH DATABASE ? AS refused");
        if (!attach.Bind(1, RefusedPath()).Run() ||
            !m_db->Exec("CREATE TABLE IF NOT EXISTS refused.refused AS SELECT * FROM main.spool WHERE 0")) {
            *error = "the file " + RefusedPath() + ": " + m_db->Error();
            m_db->Exec("DETACH DATABASE refused");
            return false;
        }
        m_refused = true;
    }
    if (!m_db->Exec("INSERT INTO refused.refused SELECT * FROM main.spool WHERE seq = " + place) ||
        !m_db->Exec("DELETE FROM main.spool WHERE seq = " + place)) {
        *error = "the spool " + m_path + ": " + m_db->Error();
        return false;
    }
    Forget();
    return true;
}

bool QVSpool::Remove(int64_t seq, std::string* error) { return Delete("DELETE FROM spool WHERE seq = ?", seq, error); }

bool QVSpool::RemoveThrough(int64_t last, std::string* error) {
    return Delete("DELETE FROM spool WHERE seq <= ?", last, error);
}

bool QVSpool::Delete(const char* sql, int64_t seq, std::string* error) {
    std::lock_guard<std::mutex> hold(m_mutex);
    QVSqliteStatement remove(*m_db, sql);
    if (!remove.Bind(1, seq).Run()) {
        *error = "the spool " + m_path + ": " + m_db->Error();
        return false;
    }
    Forget();
    return true;
}

}  // namespace Quorvel
