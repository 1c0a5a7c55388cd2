#ifndef QV_SERVER_PGSTORE_H
#define QV_SERVER_PGSTORE_H

#include <stdint.h>

#include <string>
#include <vector>

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
    QVPgResult Query(const char* sql, const std::vector<std::string>& parameters);
    // The last failure was a wait that ran out: what was sent may still
    // commit.
    bool TimedOut() const { return m_timedOut; }
    int Timeout() const { return m_timeout; }

private:
    // The result of what was sent, or a failure; drops the connection when
    // the deadline passes or the connection breaks.
    QVPgResult Await(bool sent);
    void Drop(const std::string& why);

    const std::string m_url;
    const int m_timeout;
    pg_conn* m_conn;
    std::string m_error;
    bool m_timedOut;
};

class QVPgStore : public QVStore {
public:
    QVPgStore(const std::string& url, int timeoutMilliseconds);

    bool Prepare(std::string* error) override;
    bool Unreachable() const override { return m_unreachable; }
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
    bool PrepareSchema(std::string* error);
    bool PrepareStatements();
    // Connected, with the schema checked and the statements prepared.
    bool Connected();
    // One attempt; false with the failure's SQLSTATE in state.
    bool TryBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                  std::vector<bool>* inserted, std::string* state, std::string* error);

    std::string m_url;
    QVPgConnection m_conn;
    bool m_schemaReady, m_prepared, m_unreachable;
};

}  // namespace Quorvel

#endif
