#ifndef QV_SERVER_COUNTING_H
#define QV_SERVER_COUNTING_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "server/Sql.h"
#include "server/Store.h"

namespace Quorvel {

// How stored reports are counted, for every store's writes but
// PostgreSQL's batch (one statement of its own that keeps the same rule),
// and how counts are taken back. Each runs in the caller's transaction.

// Adds reports, new in the database and not held, to the counts: the
// machine (new on its first report, on that report's day), the day, the
// breakdowns (at most cap distinct values per game and kind; the reports
// of any further value count under "KIND:other"), the game.
bool CountReports(QVSqlSession& session, std::vector<const QVReportRow*> rows, size_t breakdownCap,
                  std::string* error);

bool CountRejects(QVSqlSession& session, const std::vector<QVRejectCount>& rejects, std::string* error);

// Which reports a purge takes: all of those that match every part given.
struct QVPurgeFilter {
    std::string game, source;          // empty: any
    int64_t from = 0, to = INT64_MAX;  // received in [from, to)
};

struct QVPurgeResult {
    int64_t reports = 0;   // deleted, held ones among them
    int64_t held = 0;
    int64_t machines = 0;  // machines left with no report, gone from the counts
};

// Deletes the matching reports and takes what they added out of every
// count (days, machines, unique machines, breakdowns, games); a dry run
// only says what it would do. Held reports were never counted: they only
// go. A machine loses its reports one by one and goes, with its new-machine
// day, when none is left; one whose first report goes but not its last
// keeps that day.
bool PurgeReports(QVSqlSession& session, const QVPurgeFilter& filter, bool dryRun, QVPurgeResult* result,
                  std::string* error);

// Puts the held reports of a source (of one game, unless empty) into the
// counts, as if they had been counted when they came.
bool ReleaseReports(QVSqlSession& session, const std::string& source, const std::string& game, size_t breakdownCap,
                    int64_t* released, std::string* error);

}  // namespace Quorvel

#endif
