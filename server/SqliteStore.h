#ifndef QV_SERVER_SQLITESTORE_H
#define QV_SERVER_SQLITESTORE_H

#include <stdint.h>

#include <memory>
#include <string>

#include "server/Store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace Quorvel {

// Sole owner of one SQLite connection.
class QVSqliteDb {
public:
    QVSqliteDb(const std::string& path, int flags);
    ~QVSqliteDb();
    QVSqliteDb(const QVSqliteDb&) = delete;
    QVSqliteDb& operator=(const QVSqliteDb&) = delete;

    bool valid() const { return m_db != NULL; }
    sqlite3* get() const { return m_db; }
    bool Exec(const std::string& sql);
    std::string Error() const;

private:
    sqlite3* m_db;
    std::string m_error;
};

// Sole owner of one prepared statement; every value is bound, never
// written into the SQL.
class QVSqliteStatement {
public:
    QVSqliteStatement(QVSqliteDb& db, const char* sql);
    ~QVSqliteStatement();
    QVSqliteStatement(const QVSqliteStatement&) = delete;
    QVSqliteStatement& operator=(const QVSqliteStatement&) = delete;

    bool valid() const { return m_stmt != NULL; }
    QVSqliteStatement& Bind(int index, int64_t value);
    QVSqliteStatement& Bind(int index, const std::string& value);
    QVSqliteStatement& BindBlob(int index, const std::string& value);
    int Step();
    // Steps once, then resets and clears the bindings; true unless it failed.
    bool Run();
    void Reset();
    int64_t Int(int column);
    std::string Text(int column);
    // A report's ten fields from column first on: received_at, day, game_id,
    // version, guid, client_time, osmajor, osminor, system, flash.
    QVReportRow Report(int first);

private:
    sqlite3_stmt* m_stmt;
};

class QVSqliteStore : public QVStore {
public:
    explicit QVSqliteStore(const std::string& path);

    bool Prepare(std::string* error) override;
    bool WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                    std::vector<bool>* inserted, std::string* error) override;
    bool Healthy() override;
    bool Games(std::vector<std::string>* games) override;
    bool Summary(const std::string& game, const std::string& today, QVGameSummary* summary) override;
    bool Days(const std::string& game, const std::string& firstDay, std::vector<QVDayCount>* days) override;
    bool Breakdown(const std::string& game, const std::string& kind, std::vector<QVBreakdownRow>* rows) override;
    bool Rejects(std::vector<QVRejectCount>* rejects) override;
    bool ExportPage(const std::string& game, int64_t from, int64_t to, const QVExportPlace& after, size_t limit,
                    std::vector<QVReportRow>* rows) override;
    bool Prune(int64_t before, size_t limit, int64_t* deleted, std::string* error) override;

private:
    std::string m_path;
    QVSqliteDb m_db;
    std::unique_ptr<QVSqliteStatement> m_insertReport, m_insertMachine, m_updateMachine, m_addDay, m_addBreakdown,
        m_addGame, m_addReject;
};

// A consistent copy of the SQLite database at path, taken while the server
// runs, written to a new file (its owner's alone) that replaces to once
// whole; false, with a message, when it cannot be made.
bool BackupSqlite(const std::string& path, const std::string& to, std::string* error);

}  // namespace Quorvel

#endif
