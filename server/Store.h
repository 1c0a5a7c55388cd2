#ifndef QV_SERVER_STORE_H
#define QV_SERVER_STORE_H

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace Quorvel {

// One accepted report, texts in UTF-8, as it is stored.
struct QVReportRow {
    int64_t receivedAt;  // server time, seconds since 1970
    std::string day;     // the server's local date of receivedAt, YYYY-MM-DD
    std::string gameId, version, guid, clientTime;
    int64_t osMajor, osMinor;
    std::string system, flash;
    std::string body;  // as received
    int64_t id;        // where an export reads it: its place among the stored reports
    QVReportRow() : receivedAt(0), osMajor(0), osMinor(0), id(0) {}
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

// What one batch adds to the counts, summed per row to be moved on.
struct QVBatchCounts {
    std::map<std::pair<std::string, std::string>, std::pair<int64_t, int64_t> > days;  // (game, day): reports, new machines
    std::map<std::tuple<std::string, std::string, std::string>, int64_t> breakdown;  // (game, kind, value): reports
    std::map<std::string, std::pair<int64_t, int64_t> > games;                        // game: reports, machines
    void Add(const QVReportRow& row, bool newMachine);
};

// The operating system as the breakdown counts it.
std::string OsValue(const QVReportRow& row);

// The database: the same schema in SQLite and PostgreSQL. Each store is
// used by one thread.
class QVStore {
public:
    virtual ~QVStore() {}

    // Creates the schema on first use; false, with a message, when the
    // database cannot be used or has a newer schema than this program.
    virtual bool Prepare(std::string* error) = 0;
    // Prepare failed only because the database did not answer: it may be
    // used all the same, and prepares itself once the database is back.
    virtual bool Unreachable() const { return false; }

    // One transaction: every report stored unless the same signed report
    // (game, identifier, client time) is there already, the machine counted
    // once with its number of reports, the day's and the breakdowns' counts
    // moved on, the rejects added. True only once it has committed; nothing
    // of it stands otherwise. inserted[i] says whether rows[i] was new.
    virtual bool WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                            std::vector<bool>* inserted, std::string* error) = 0;

    virtual bool Healthy() = 0;
    virtual bool Games(std::vector<std::string>* games) = 0;
    virtual bool Summary(const std::string& game, const std::string& today, QVGameSummary* summary) = 0;
    // Days from firstDay on, with a report or a new machine.
    virtual bool Days(const std::string& game, const std::string& firstDay, std::vector<QVDayCount>* days) = 0;
    // kind: "version", "os" or "flash"; the most reports first, all of them.
    virtual bool Breakdown(const std::string& game, const std::string& kind, std::vector<QVBreakdownRow>* rows) = 0;
    virtual bool Rejects(std::vector<QVRejectCount>* rejects) = 0;
    // Stored reports of game (all games when empty) received in [from, to),
    // oldest first, that come after a place: at most limit of them. Fewer
    // than limit means the export is complete.
    virtual bool ExportPage(const std::string& game, int64_t from, int64_t to, const QVExportPlace& after,
                            size_t limit, std::vector<QVReportRow>* rows) = 0;
    // Deletes at most limit of the raw reports received before a time, the
    // oldest first, in one transaction; every count stays as it is.
    virtual bool Prune(int64_t before, size_t limit, int64_t* deleted, std::string* error) = 0;
};

// "sqlite:PATH" or "postgresql://..." (also "postgres://..."); null, with
// a message, for anything else. A PostgreSQL store waits at most timeout
// for the database, each time it waits.
std::unique_ptr<QVStore> OpenStore(const std::string& url, std::string* error, int timeoutMilliseconds = 5000);

const int kSchemaVersion = 1;

}  // namespace Quorvel

#endif
