#include "server/Store.h"

#include "server/PgStore.h"
#include "server/SqliteStore.h"

namespace Quorvel {

std::string OsValue(const QVReportRow& row) {
    return std::to_string(row.osMajor) + "." + std::to_string(row.osMinor) + "\t" + row.system;
}

void QVBatchCounts::Add(const QVReportRow& row, bool newMachine) {
    std::pair<int64_t, int64_t>& day = days[std::make_pair(row.gameId, row.day)];
    day.first += 1;
    day.second += newMachine ? 1 : 0;
    breakdown[std::make_tuple(row.gameId, std::string("version"), row.version)] += 1;
    breakdown[std::make_tuple(row.gameId, std::string("os"), OsValue(row))] += 1;
    breakdown[std::make_tuple(row.gameId, std::string("flash"), row.flash)] += 1;
    std::pair<int64_t, int64_t>& game = games[row.gameId];
    game.first += 1;
    game.second += newMachine ? 1 : 0;
}

std::unique_ptr<QVStore> OpenStore(const std::string& url, std::string* error, int timeoutMilliseconds) {
    if (url.compare(0, 7, "sqlite:") == 0 && url.size() > 7) {
        return std::unique_ptr<QVStore>(new QVSqliteStore(url.substr(7)));
    }
    if (url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0) {
        return std::unique_ptr<QVStore>(new QVPgStore(url, timeoutMilliseconds));
    }
    *error = "not a database this qvstats knows: " + url + " (give sqlite:PATH or postgresql://...)";
    return std::unique_ptr<QVStore>();
}

}  // namespace Quorvel
