#ifndef QV_SERVER_SQLITESTORE_H
#define QV_SERVER_SQLITESTORE_H

#include <stdint.h>

#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "server/Counting.h"
#include "server/Sql.h"
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
    // A text that outlives the step: not copied.
    QVSqliteStatement& BindView(int index, const std::string& value);
    int Step();
    // Steps once, then resets and clears the bindings; true unless it failed.
    bool Run();
    void Reset();
    int64_t Int(int column);
    std::string Text(int column);
    int Columns();
    // A report's ten fields from column first on: received_at, day, game_id,
    // version, guid, client_time, osmajor, osminor, system, flash.
    QVReportRow Report(int first);

private:
    sqlite3_stmt* m_stmt;
};

// The statements of one SQLite connection, each prepared once and kept.
class QVSqliteSession : public QVSqlSession {
public:
    explicit QVSqliteSession(QVSqliteDb& db) : m_db(db) {}
    bool Exec(const std::string& sql) override { return m_db.Exec(sql); }
    bool Run(const std::string& sql, const std::vector<QVSqlValue>& values, std::vector<QVSqlRow>* rows) override;
    int64_t Changes() override;
    std::string Error() override { return m_error.empty() ? m_db.Error() : m_error; }

private:
    QVSqliteDb& m_db;
    std::map<std::string, std::unique_ptr<QVSqliteStatement> > m_statements;
    std::string m_error;
};

class QVSqliteStore : public QVStore {
public:
    QVSqliteStore(const std::string& path, const QVStoreOptions& options);
    ~QVSqliteStore() override;

    bool Prepare(std::string* error) override;
    bool Healthy() override;

protected:
    QVSqlSession* Session() override { return m_ready ? &m_session : NULL; }
    // The write lock at once: a transaction that reads first and then
    // writes could otherwise fail halfway with SQLITE_BUSY.
    const char* Begin() const override { return "BEGIN IMMEDIATE"; }
    // The writes of a batch on statements prepared once; what it knows of
    // the database (the breakdowns' values) is kept between batches for as
    // long as no other connection changed the file.
    bool InsertReports(QVSqlSession& s, const std::vector<NewReport>& reports) override;
    bool LoadBasis(QVSqlSession& s, const std::vector<const QVReportRow*>& rows, QVCountBasis* basis) override;
    bool ApplyDeltas(QVSqlSession& s, const QVCountDeltas& deltas) override;
    void Settled(bool committed) override;

private:
    struct Statements;
    // The values of a game's breakdown of one kind that have a row.
    struct Known {
        std::set<std::string> values;
    };

    std::string m_path;
    QVSqliteDb m_db;
    QVSqliteSession m_session;
    bool m_ready;
    std::unique_ptr<Statements> m_statements;
    std::map<std::pair<std::string, std::string>, Known> m_known;  // (game, kind)
    std::vector<QVValueKey> m_admitted;  // values given a row by the transaction under way
    bool m_forget;                       // the transaction under way took values away
    int64_t m_dataVersion = -1;          // of the file, when m_known was last true
};

// A consistent copy of the SQLite database at path, taken while the server
// runs, written to a new file (its owner's alone) that replaces to once
// whole; false, with a message, when it cannot be made.
bool BackupSqlite(const std::string& path, const std::string& to, std::string* error);

}  // namespace Quorvel

#endif
