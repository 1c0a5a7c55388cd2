#ifndef QV_SERVER_COUNTING_H
#define QV_SERVER_COUNTING_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "server/Store.h"

namespace Quorvel {

// The counting rule of both stores, as a pure function: the reports a
// batch adds (or a purge takes back), and what the database knows of their
// machines and values, in; the changes to every count out. The stores only
// read what it needs and write what it gives.

// A machine as the counts know it: on which days (by DayNumber) it reported
// how often, counted; and the client times of its stored reports, counted
// or held, which make a report with one of them a replay.
struct QVMachineState {
    bool exists = false;              // counted: it has days
    std::map<int32_t, int32_t> days;  // day number: reports
    std::vector<int64_t> times;       // ascending
};
// The days and the times as stored with the machine (varints).
std::string EncodeDays(const std::map<int32_t, int32_t>& days);
bool DecodeDays(const std::string& bytes, std::map<int32_t, int32_t>* days);
std::string EncodeTimes(const std::vector<int64_t>& times);
bool DecodeTimes(const std::string& bytes, std::vector<int64_t>* times);

// A machine keeps the times of at most this many reports. A machine with
// more is not a player's: its further reports are stored held, and not
// known again when replayed.
const size_t kMachineTimes = 1000;

// A machine as read from its row's days and times; false for bytes that
// are not such.
bool MachineOf(const std::string& days, const std::string& times, QVMachineState* machine);
// Whether a machine keeps its row: it is counted, or has reports held.
inline bool Kept(const QVMachineState& machine) { return machine.exists || !machine.times.empty(); }

enum QVTimeVerdict { kTimeNew, kTimeReplay, kTimeBeyondCap };
// A report's client time, taken into its machine's times unless a replay
// or beyond the cap.
QVTimeVerdict TakeTime(QVMachineState* machine, int64_t time);
// A deleted report's time, let go.
void DropTime(QVMachineState* machine, int64_t time);

typedef std::pair<std::string, std::string> QVMachineKey;                  // game, guid
typedef std::tuple<std::string, std::string, std::string> QVValueKey;      // game, kind, value

// What the counting needs to know of the database.
struct QVCountBasis {
    std::map<QVMachineKey, QVMachineState> machines;   // absent, or exists false: not counted yet
    std::set<QVValueKey> known;                        // values with a row of their own
    std::map<std::pair<std::string, std::string>, int64_t> values;  // (game, kind): how many have one
};

// What changes, each an amount to add (negative to take away); machines:
// their state after, exists false for one to delete.
struct QVCountDeltas {
    std::map<QVMachineKey, QVMachineState> machines;
    std::map<std::pair<std::string, std::string>, std::pair<int64_t, int64_t> > days;  // (game, day): reports, new machines
    std::map<std::pair<std::string, std::string>, int64_t> lastDays;  // (game, day): machines last active that day
    std::map<std::tuple<std::string, std::string, std::string>, int64_t> gaps;  // (game, first, last day of a gap)
    std::map<QVValueKey, int64_t> breakdown;                                     // all time
    std::map<std::tuple<std::string, std::string, std::string, std::string>, int64_t> breakdownDays;  // (game, kind, day, value)
    std::map<std::string, std::pair<int64_t, int64_t> > games;                  // reports, machines
};

// The breakdowns a report is counted in: (kind, value).
std::vector<std::pair<std::string, std::string> > BreakdownValues(const QVReportRow& row);

// Counts rows (sign 1) or takes them back (sign -1). A machine is new on
// its first day and active on every day it reported; its last day and the
// gaps between its days are counted, so that the machines active in any
// period are known from small tables. Up to cap values per game and kind
// get a row of their own, the first to come first; the rest count as
// "KIND:other" (value ""). Rows may come in any order: the counts are the
// same.
QVCountDeltas CountRows(const std::vector<const QVReportRow*>& rows, const QVCountBasis& basis, size_t cap, int sign);

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

struct QVReleaseResult {
    int64_t released = 0;  // now counted
    int64_t replays = 0;   // copies of a report released or stored before: deleted
    int64_t atCap = 0;     // still held: their machines' times are full
};

}  // namespace Quorvel

#endif
