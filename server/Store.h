#ifndef QV_SERVER_STORE_H
#define QV_SERVER_STORE_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Quorvel {

class QVSqlSession;
struct QVCountBasis;
struct QVCountDeltas;
struct QVMachineState;
struct QVPurgeFilter;
struct QVPurgeResult;
struct QVReleaseResult;

// One accepted report, texts in UTF-8, as it is stored.
struct QVReportRow {
    int64_t receivedAt;  // server time, seconds since 1970
    std::string day;     // the server's local date of receivedAt, YYYY-MM-DD
    std::string gameId, version, guid, clientTime;
    int64_t osMajor, osMinor;
    std::string system, flash;
    std::string sign;    // 32 hexadecimal digits
    std::string body;    // as received
    bool bodyRebuilds;   // RebuildBody gives body back: the database keeps the fields alone
    std::string source;  // where it came from: an address, or its keyed hash ("h:…")
    bool held;           // stored, not counted until released
    bool heldBeyondCap;  // held as its machine's times were full: its own is not among them
    int64_t id;          // where an export reads it: its place among the stored reports
    QVReportRow()
        : receivedAt(0), osMajor(0), osMinor(0), bodyRebuilds(false), held(false), heldBeyondCap(false), id(0) {}
};

// reports.held: counted, held for its source's rate (its time taken), or
// held beyond its machine's cap (its time not taken: a replay of it is
// stored too, and only one may ever count).
enum QVHeld { kCounted = 0, kHeldForRate = 1, kHeldBeyondCap = 2 };

// Where a page of an export ends: the next page starts after it.
struct QVExportPlace {
    int64_t receivedAt = INT64_MIN, id = INT64_MIN;
};

// Refused requests of one reason on one day.
struct QVRejectCount {
    std::string day, reason;
    int64_t count;
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

// The counts of a period (days inclusive) of one game.
struct QVPeriodTotals {
    int64_t reports = 0, newMachines = 0, machines = 0;  // machines: active in the period
};

// The reports of one value of a breakdown on one day; other: of the values
// beyond the cap.
struct QVDayValue {
    std::string day, value;
    int64_t reports;
    bool other;
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

// A report's sign as stored: its 32 hexadecimal digits as 16 bytes, and back
// (upper case, as signed); bytes of another length give "".
std::string SignBytes(const std::string& hex);
std::string SignHex(const std::string& bytes);

// A report's texts as the database keeps them: each distinct text once, by
// id (the version, OsValue and the Flash Player).
struct QVTextIds {
    int64_t version, os, flash;
};

struct QVStoreOptions {
    int timeoutMs = 5000;       // a PostgreSQL store waits at most this for the database, each time it waits
    // Distinct values per game in each breakdown; 0: the one the database
    // was last served with (1000 for a new one). A server records its own.
    size_t breakdownCap = 0;
    // Seconds since 1970 (tests set a clock of their own).
    std::function<int64_t()> now;
    // false: a database without the schema is refused, and an SQLite file
    // is never made (the maintenance commands: a mistyped path must not
    // pass for an empty database).
    bool create = true;
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
    // counted (CountRows), the rejects added. True only once it has
    // committed; nothing of it stands otherwise. inserted[i] says whether
    // rows[i] was new; heldBeyondCap (if given) counts the new ones held as
    // their machines' times were full.
    virtual bool WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                            std::vector<bool>* inserted, int64_t* heldBeyondCap, std::string* error);
    virtual bool Healthy() = 0;

    // Games, most reports first.
    bool Games(std::vector<std::string>* games);
    // Games with reports in a period, most first.
    bool PeriodGames(const std::string& from, const std::string& to, std::vector<std::pair<std::string, int64_t> >* games);
    // Games' names, by id (those that have one).
    bool Names(std::map<std::string, std::string>* names);
    bool SetName(const std::string& game, const std::string& name, std::string* error);
    // The first day with a report of a game; empty when there is none.
    bool FirstDay(const std::string& game, std::string* day);
    // The first day with a report of any game.
    bool FirstDayOfAll(std::string* day);
    // Periods are local days, from and to inclusive ("YYYY-MM-DD").
    bool Totals(const std::string& game, const std::string& from, const std::string& to, QVPeriodTotals* totals);
    // Days with a report or a new machine.
    bool Days(const std::string& game, const std::string& from, const std::string& to, std::vector<QVDayCount>* days);
    // kind: "version", "os" or "flash": the period's values with most
    // reports first (fewest with ascending), limit of them from offset on.
    bool Breakdown(const std::string& game, const std::string& kind, const std::string& from, const std::string& to,
                   bool ascending, size_t offset, size_t limit, QVBreakdownPage* page);
    // The period's versions day by day ("" for the values beyond the cap).
    bool VersionsByDay(const std::string& game, const std::string& from, const std::string& to,
                       std::vector<QVDayValue>* rows);
    // Refused requests of the days from from to to, the latest first.
    bool Rejects(const std::string& from, const std::string& to, std::vector<QVRejectCount>* rejects);
    // The sources with reports held for review, most first, at most limit.
    bool Held(size_t limit, std::vector<QVHeldSource>* held);
    // Stored reports of game (all games when empty) received in [from, to),
    // the counted ones or (held) those held for review, oldest first, that
    // come after a place: at most limit of them. Fewer than limit means the
    // export is complete.
    bool ExportPage(const std::string& game, int64_t from, int64_t to, bool held, const QVExportPlace& after,
                    size_t limit, std::vector<QVReportRow>* rows);
    // Deletes at most limit of the raw reports received before a time, the
    // oldest first, in one transaction; every count stays as it is.
    bool Prune(int64_t before, size_t limit, int64_t* deleted, std::string* error);
    // Deletes the texts that no stored report can use any more: taken by
    // no writer since before the oldest stored report's day (so every report
    // that used them is pruned), nor since the day before yesterday. A
    // bounded number per transaction, until none is left or stop says so;
    // no report is read. Every receiver of a database runs this version.
    bool ForgetUnusedTexts(const std::function<bool()>& stop, int64_t* deleted, std::string* error);
    // Puts the held reports of a source (of one game, unless empty) into
    // the counts, as if counted when they came; one transaction. One held
    // beyond its machine's cap is counted only if the machine has room now,
    // and its replays go.
    bool Release(const std::string& source, const std::string& game, QVReleaseResult* result, std::string* error);
    // Deletes the matching reports and takes what they added out of every
    // count; a dry run only says what it would do. One transaction.
    bool Purge(const QVPurgeFilter& filter, bool dryRun, QVPurgeResult* result, std::string* error);
    // The database's key for hashing source addresses (once prepared).
    const std::string& SourceKey() const { return m_sourceKey; }

protected:
    // A connection ready for statements, or null when there is none.
    virtual QVSqlSession* Session() = 0;
    // How a transaction that will write begins.
    virtual const char* Begin() const { return "BEGIN"; }
    // A report to store: new (its machine has no report of its time), the
    // ids of its texts, and whether and why it is held (QVHeld).
    struct NewReport {
        const QVReportRow* row;
        QVTextIds texts;
        int held;
    };
    virtual bool InsertReports(QVSqlSession& s, const std::vector<NewReport>& reports) = 0;
    // The ids of texts (sorted, distinct), made where new, each marked as
    // taken on day (DayNumber). Text by text here; a store may do it in
    // fewer statements.
    virtual bool LookUpTexts(QVSqlSession& s, const std::vector<std::string>& texts, int32_t day,
                             std::map<std::string, int64_t>* ids);
    // What counting reads and writes: the machines of rows (created empty
    // and locked where other writers may run at once) and what is known of
    // their values; then the changes. Row by row here; a store may do it in
    // fewer statements.
    virtual bool LoadBasis(QVSqlSession& s, const std::vector<const QVReportRow*>& rows, QVCountBasis* basis);
    // One machine's days and times (none for one not stored yet), its row
    // locked where other writers may run at once.
    bool LoadMachine(QVSqlSession& s, const std::pair<std::string, std::string>& key, QVMachineState* machine);
    virtual bool ApplyDeltas(QVSqlSession& s, const QVCountDeltas& deltas);
    virtual bool AddRejects(QVSqlSession& s, const std::vector<QVRejectCount>& rejects);
    // After each transaction: committed, or rolled back.
    virtual void Settled(bool) {}
    // Reports counted (sign 1) or taken back (-1), on a basis loaded for
    // them: count, apply. touched: machines whose times changed, written
    // whether counted or not.
    bool CountOn(QVSqlSession& s, QVCountBasis& basis, const std::vector<const QVReportRow*>& rows, int sign,
                 const std::set<std::pair<std::string, std::string> >& touched, QVCountDeltas* deltas = NULL);
    // Stored reports counted (sign 1) or taken back (-1), held ones among
    // them: their machines' times, and the counts of those not held.
    bool Recounted(QVSqlSession& s, const std::vector<QVReportRow>& rows, int sign, QVCountDeltas* deltas = NULL);
    // statement ("UPDATE reports SET ...", "DELETE FROM reports") on these
    // reports alone, a bounded number at a time; adds the rows it changed.
    static bool ForIds(QVSqlSession& s, const std::string& statement, const std::vector<int64_t>& ids, int64_t* changed);
    // Every count made again from the stored reports (a database of an
    // earlier schema).
    bool Recount(QVSqlSession& s);
    // The store's part of an upgrade from a schema version: the first kept
    // no counts by day, which are made from the reports; versions 2 and 3
    // stored reports held beyond their machine's cap as held for their
    // rate, which are told apart (MarkHeldBeyondCap).
    bool Upgraded(QVSqlSession& s, int from);
    bool MarkHeldBeyondCap(QVSqlSession& s);
    // Runs work in one transaction, committed only if it returns true (and
    // commit says so: otherwise rolled back all the same).
    bool InTransaction(const std::function<bool(QVSqlSession&)>& work, std::string* error, bool commit = true);
    // What locks the rows a statement reads until the transaction ends
    // (" FOR UPDATE"), where other writers may run at once.
    virtual const char* LockRows() const { return ""; }
    // The same for the reports (r) of a statement that joins their texts.
    virtual const char* LockReports() const { return ""; }

    const QVStoreOptions m_options;
    std::string m_sourceKey;
    size_t m_breakdownCap;  // as settled by Prepare

private:
    bool TextIdsOf(QVSqlSession& s, const std::vector<QVReportRow>& rows, std::vector<QVTextIds>* ids);

    // Today's DayNumber by the store's clock.
    int32_t Today() const;

    // Texts' ids: those committed, and those of the open transaction, all
    // marked with m_textsDay (today, or a later day of a batch): each text
    // is looked up and marked again on a new day. A flood of new texts
    // starts the first again once it holds kKnownTexts.
    static const size_t kKnownTexts = 20000;  // about 2.5 MB; a publisher has far fewer
    std::unordered_map<std::string, int64_t> m_texts, m_newTexts;
    int32_t m_textsDay = 0;
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
