#ifndef QV_SERVER_STORE_H
#define QV_SERVER_STORE_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace Quorvel {

class QVSqlSession;
struct QVPurgeFilter;
struct QVPurgeResult;

// One accepted report, texts in UTF-8, as it is stored.
struct QVReportRow {
    int64_t receivedAt;  // server time, seconds since 1970
    std::string day;     // the server's local date of receivedAt, YYYY-MM-DD
    std::string gameId, version, guid, clientTime;
    int64_t osMajor, osMinor;
    std::string system, flash;
    std::string body;    // as received
    std::string source;  // where it came from: an address, or its keyed hash ("h:…")
    bool held;           // stored, not counted until released
    int64_t id;          // where an export reads it: its place among the stored reports
    QVReportRow() : receivedAt(0), osMajor(0), osMinor(0), held(false), id(0) {}
};

// Where a page of an export ends: the next page starts after it.
struct QVExportPlace {
    int64_t receivedAt = INT64_MIN, id = INT64_MIN;
};

// Refused requests of one reason on one day.
struct QVRejectCount {
    std::string day, reason;
    int64_t count;
};

struct QVGameSummary {
    int64_t reportsToday, newMachinesToday, machines, reports;
    QVGameSummary() : reportsToday(0), newMachinesToday(0), machines(0), reports(0) {}
};

struct QVDayCount {
    std::string day;
    int64_t reports, newMachines;
};

// What the reports say, counted: a version, an operating system
// ("major.minor" and the system text, tab-separated) or a Flash Player.
struct QVBreakdownRow {
    std::string value;
    int64_t reports;
};

// One kind's table, or a page of it: the values with most reports first,
// the reports of values beyond the cap, and how many values there are.
struct QVBreakdownPage {
    std::vector<QVBreakdownRow> rows;
    int64_t other = 0;
    int64_t values = 0;
};

// Reports held for review, from one source.
struct QVHeldSource {
    std::string source;
    int64_t reports, first, last;  // first and last: when they came
};

// What one batch adds to the counts, summed per row to be moved on.
struct QVBatchCounts {
    std::map<std::pair<std::string, std::string>, std::pair<int64_t, int64_t> > days;  // (game, day): reports, new machines
    std::map<std::tuple<std::string, std::string, std::string>, int64_t> breakdown;  // (game, kind, value): reports
    std::map<std::string, std::pair<int64_t, int64_t> > games;                        // game: reports, machines
    void Add(const QVReportRow& row, bool newMachine);
};

// The operating system as the breakdown counts it.
std::string OsValue(const QVReportRow& row);

struct QVStoreOptions {
    int timeoutMs = 5000;       // a PostgreSQL store waits at most this for the database, each time it waits
    // Distinct values per game in each breakdown; 0: the one the database
    // was last served with (1000 for a new one). A server records its own.
    size_t breakdownCap = 0;
};

// The database: one schema in SQLite and PostgreSQL (server/Schema.cpp),
// read and counted by the same statements; only how a batch is written and
// how the connection is held differ. Each store is used by one thread.
class QVStore {
public:
    explicit QVStore(const QVStoreOptions& options) : m_options(options), m_breakdownCap(options.breakdownCap) {}
    virtual ~QVStore() {}

    // Creates or upgrades the schema; false, with a message, when the
    // database cannot be used or has a newer schema than this program.
    virtual bool Prepare(std::string* error) = 0;
    // Prepare failed only because the database did not answer: the store
    // may be used all the same, and prepares itself once it does.
    virtual bool Unreachable() const { return false; }

    // One transaction: every report stored unless the same signed report
    // (game, identifier, client time) is there already, and those not held
    // counted (CountReports), the rejects added. True only once it has
    // committed; nothing of it stands otherwise. inserted[i] says whether
    // rows[i] was new.
    virtual bool WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                            std::vector<bool>* inserted, std::string* error) = 0;
    virtual bool Healthy() = 0;

    // Games, most reports first.
    bool Games(std::vector<std::string>* games);
    bool Summary(const std::string& game, const std::string& today, QVGameSummary* summary);
    // Days from firstDay on, with a report or a new machine.
    bool Days(const std::string& game, const std::string& firstDay, std::vector<QVDayCount>* days);
    // kind: "version", "os" or "flash": the values with most reports first,
    // limit of them from offset on.
    bool Breakdown(const std::string& game, const std::string& kind, size_t offset, size_t limit, QVBreakdownPage* page);
    bool Rejects(std::vector<QVRejectCount>* rejects);
    // The sources with reports held for review, most first, at most limit.
    bool Held(size_t limit, std::vector<QVHeldSource>* held);
    // Stored reports of game (all games when empty) received in [from, to),
    // oldest first, that come after a place: at most limit of them. Fewer
    // than limit means the export is complete.
    bool ExportPage(const std::string& game, int64_t from, int64_t to, const QVExportPlace& after, size_t limit,
                    std::vector<QVReportRow>* rows);
    // Deletes at most limit of the raw reports received before a time, the
    // oldest first, in one transaction; every count stays as it is.
    bool Prune(int64_t before, size_t limit, int64_t* deleted, std::string* error);
    // In one transaction each: see ReleaseReports and PurgeReports.
    bool Release(const std::string& source, const std::string& game, int64_t* released, std::string* error);
    bool Purge(const QVPurgeFilter& filter, bool dryRun, QVPurgeResult* result, std::string* error);
    // The database's key for hashing source addresses (once prepared).
    const std::string& SourceKey() const { return m_sourceKey; }

protected:
    // A connection ready for statements, or null when there is none.
    virtual QVSqlSession* Session() = 0;
    // How a transaction that will write begins.
    virtual const char* Begin() const { return "BEGIN"; }
    // Runs work in one transaction, committed only if it returns true.
    bool InTransaction(const std::function<bool(QVSqlSession&)>& work, std::string* error);

    const QVStoreOptions m_options;
    std::string m_sourceKey;
    size_t m_breakdownCap;  // as settled by Prepare
};

// A transaction that is rolled back unless committed.
class QVTransaction {
public:
    // begin: the statement that begins it ("BEGIN IMMEDIATE" takes
    // SQLite's write lock at once).
    QVTransaction(QVSqlSession& session, const char* begin = "BEGIN");
    ~QVTransaction();
    QVTransaction(const QVTransaction&) = delete;
    QVTransaction& operator=(const QVTransaction&) = delete;

    bool Begun() const { return m_begun; }
    bool Commit();

private:
    QVSqlSession& m_session;
    bool m_begun, m_done;
};

// "sqlite:PATH" or "postgresql://..." (also "postgres://..."); null, with
// a message, for anything else.
std::unique_ptr<QVStore> OpenStore(const std::string& url, std::string* error,
                                   const QVStoreOptions& options = QVStoreOptions());

}  // namespace Quorvel

#endif
