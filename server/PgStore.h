#ifndef QV_SERVER_PGSTORE_H
#define QV_SERVER_PGSTORE_H

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/Sql.h"
#include "server/Counting.h"
#include "server/Store.h"

struct pg_conn;
struct pg_result;

namespace Quorvel {

// Sole owner of one query result.
class QVPgResult {
public:
    explicit QVPgResult(pg_result* result = NULL) : m_result(result) {}
    ~QVPgResult();
    QVPgResult(QVPgResult&& other) : m_result(other.m_result) { other.m_result = NULL; }
    QVPgResult& operator=(QVPgResult&& other);
    QVPgResult(const QVPgResult&) = delete;
    QVPgResult& operator=(const QVPgResult&) = delete;

    // The command completed (with rows or without).
    bool ok() const;
    // A result that is not a failure; also no result at all.
    static bool Succeeded(const pg_result* result);
    // The SQLSTATE of a failure: "40P01" for a deadlock, "40001" for a
    // serialization failure; empty otherwise.
    std::string State() const;
    int Rows() const;
    int Columns() const;
    // The failure's message, one line; empty for a success.
    std::string Message() const;
    std::string Text(int row, int column) const;
    int64_t Int(int row, int column) const;
    // Rows an INSERT, UPDATE or DELETE touched.
    int64_t Affected() const;

private:
    pg_result* m_result;
};

// Sole owner of one PostgreSQL connection. Every value travels as a
// parameter, never inside the SQL. Every wait, to connect or for an answer,
// ends at a deadline: a database that does not answer (frozen, or cut off
// without a reset) costs at most the time-out, after which the connection
// is dropped and made again on next use.
struct QVNameLookup;

class QVPgConnection {
public:
    QVPgConnection(const std::string& url, int timeoutMilliseconds);
    ~QVPgConnection();
    QVPgConnection(const QVPgConnection&) = delete;
    QVPgConnection& operator=(const QVPgConnection&) = delete;

    bool valid() const;
    // Connects (again) within the time-out; true once it answers.
    bool Connect();
    // The last failure, one line.
    std::string Error() const;
    QVPgResult Exec(const char* sql);
    bool Prepare(const char* name, const char* sql, int parameters);
    // Parameters in PostgreSQL's binary format; the result in text.
    QVPgResult RunBinary(const char* name, const std::vector<std::string>& parameters);
    // Parameters as text, or binary where binary says 1; the result in text.
    QVPgResult QueryParams(const char* sql, const std::vector<std::string>& parameters, const std::vector<int>& binary);
    // The last failure was a wait that ran out: what was sent may still
    // commit.
    bool TimedOut() const { return m_timedOut; }
    int Timeout() const { return m_timeout; }

private:
    // The result of what was sent, or a failure; drops the connection when
    // the deadline passes or the connection breaks.
    QVPgResult Await(bool sent);
    void Drop(const std::string& why);
    // The database's host looked up within the deadline: false, with
    // m_error, when it cannot be; hosts and addresses stay empty where
    // libpq needs no lookup.
    bool LookUp(int64_t deadline, std::string* hosts, std::string* addresses);

    const std::string m_url;
    std::shared_ptr<QVNameLookup> m_lookup;  // one at a time, kept while it runs
    const int m_timeout;
    pg_conn* m_conn;
    std::string m_error;
    bool m_timedOut;
};

// The statements of the code both stores share, on one connection: "?"
// made "$1", values as text (bytes in binary).
class QVPgSession : public QVSqlSession {
public:
    explicit QVPgSession(QVPgConnection& conn) : m_conn(conn) {}
    bool Exec(const std::string& sql) override;
    bool Run(const std::string& sql, const std::vector<QVSqlValue>& values, std::vector<QVSqlRow>* rows) override;
    int64_t Changes() override;
    std::string Error() override;
    // The SQLSTATE of the last failure ("40P01": a deadlock).
    std::string State() const;
    // A failure met outside the session, to be reported as its own.
    void Failed(QVPgResult result);
    // A failure the store found itself, reported until the next statement.
    void SetError(const std::string& message) { m_error = message; }

private:
    QVPgConnection& m_conn;
    std::map<std::string, std::string> m_numbered;
    QVPgResult m_last;
    std::string m_error;
};

class QVPgStore : public QVStore {
public:
    QVPgStore(const std::string& url, const QVStoreOptions& options);

    bool Prepare(std::string* error) override;
    bool Unreachable() const override { return m_unreachable; }
    bool WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                    std::vector<bool>* inserted, int64_t* heldBeyondCap, std::string* error) override;
    bool Healthy() override;

protected:
    QVSqlSession* Session() override { return Connected() ? &m_session : NULL; }
    const char* LockRows() const override { return " FOR UPDATE"; }
    const char* LockReports() const override { return " FOR UPDATE OF r"; }
    bool InsertReports(QVSqlSession& s, const std::vector<NewReport>& reports) override;
    bool LookUpTexts(QVSqlSession& s, const std::vector<std::string>& texts, int32_t day,
                     std::map<std::string, int64_t>* ids) override;
    // Counting's reads and writes as whole batches: a few statements, not
    // one for each row.
    bool LoadBasis(QVSqlSession& s, const std::vector<const QVReportRow*>& rows, QVCountBasis* basis) override;
    bool ApplyDeltas(QVSqlSession& s, const QVCountDeltas& deltas) override;
    bool AddRejects(QVSqlSession& s, const std::vector<QVRejectCount>& rejects) override;

private:
    // A prepared statement with array values; its result becomes the
    // session's last.
    bool Run(const char* statement, const std::vector<std::string>& arrays);
    bool PrepareSchema(std::string* error);
    bool PrepareStatements();
    // Connected, with the schema checked and the statements prepared.
    bool Connected();

    std::string m_url;
    QVPgConnection m_conn;
    QVPgSession m_session;
    bool m_schemaReady, m_prepared, m_unreachable;
    bool m_raced;                       // the last batch met another receiver's new machine
    std::set<QVMachineKey> m_stored;    // the machines the last LoadBasis found
};

}  // namespace Quorvel

#endif
