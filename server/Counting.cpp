#include "server/Counting.h"

#include <algorithm>

#include "server/Days.h"

namespace Quorvel {

namespace {

void PutVarint(int64_t v, std::string* bytes) {
    uint64_t u = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
    for (; u >= 0x80; u >>= 7) *bytes += static_cast<char>((u & 0x7f) | 0x80);
    *bytes += static_cast<char>(u);
}

bool GetVarint(const std::string& bytes, size_t* at, int64_t* v) {
    uint64_t u = 0;
    for (int shift = 0; *at < bytes.size() && shift < 64; shift += 7) {
        const unsigned char c = static_cast<unsigned char>(bytes[(*at)++]);
        u |= static_cast<uint64_t>(c & 0x7f) << shift;
        if ((c & 0x80) == 0) {
            *v = static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1);
            return true;
        }
    }
    return false;
}

}  // namespace

// Each day as its distance from the one before (the first: from day 0),
// then its reports, both zigzag varints: a machine of one day takes 4 bytes.
std::string EncodeDays(const std::map<int32_t, int32_t>& days) {
    std::string bytes;
    int64_t previous = 0;
    for (const auto& d : days) {
        PutVarint(d.first - previous, &bytes);
        PutVarint(d.second, &bytes);
        previous = d.first;
    }
    return bytes;
}

bool DecodeDays(const std::string& bytes, std::map<int32_t, int32_t>* days) {
    days->clear();
    size_t at = 0;
    int64_t day = 0;
    while (at < bytes.size()) {
        int64_t step, count;
        if (!GetVarint(bytes, &at, &step) || !GetVarint(bytes, &at, &count)) return false;
        day += step;
        if (day < INT32_MIN || day > INT32_MAX || count < INT32_MIN || count > INT32_MAX) return false;
        (*days)[static_cast<int32_t>(day)] = static_cast<int32_t>(count);
    }
    return true;
}

// Each time as its distance from the one before (the first: from 0),
// wrapping as 64-bit numbers do, so any two times have one.
std::string EncodeTimes(const std::vector<int64_t>& times) {
    std::string bytes;
    uint64_t previous = 0;
    for (int64_t t : times) {
        PutVarint(static_cast<int64_t>(static_cast<uint64_t>(t) - previous), &bytes);
        previous = static_cast<uint64_t>(t);
    }
    return bytes;
}

bool DecodeTimes(const std::string& bytes, std::vector<int64_t>* times) {
    times->clear();
    size_t at = 0;
    uint64_t t = 0;
    while (at < bytes.size()) {
        int64_t step;
        if (!GetVarint(bytes, &at, &step)) return false;
        t += static_cast<uint64_t>(step);
        times->push_back(static_cast<int64_t>(t));
    }
    return std::is_sorted(times->begin(), times->end());
}

bool MachineOf(const std::string& days, const std::string& times, QVMachineState* machine) {
    if (!DecodeDays(days, &machine->days) || !DecodeTimes(times, &machine->times)) return false;
    machine->exists = !machine->days.empty();
    return true;
}

QVTimeVerdict TakeTime(QVMachineState* machine, int64_t time) {
    std::vector<int64_t>& times = machine->times;
    const auto at = std::lower_bound(times.begin(), times.end(), time);
    if (at != times.end() && *at == time) return kTimeReplay;
    if (times.size() >= kMachineTimes) return kTimeBeyondCap;
    times.insert(at, time);
    return kTimeNew;
}

void DropTime(QVMachineState* machine, int64_t time) {
    std::vector<int64_t>& times = machine->times;
    const auto at = std::lower_bound(times.begin(), times.end(), time);
    if (at != times.end() && *at == time) times.erase(at);
}

std::vector<std::pair<std::string, std::string> > BreakdownValues(const QVReportRow& row) {
    return {{"version", row.version}, {"os", OsValue(row)}, {"flash", row.flash}};
}

namespace {

// One active day more (or less) of a machine: its first day, its last day
// and the gaps between its days move with it.
void Activity(const std::string& game, std::map<int32_t, int32_t>& days, int32_t day, int sign, QVCountDeltas* out) {
    const bool had = days.count(day) != 0;
    if (sign > 0) {
        days[day] += 1;
        if (had) return;
    } else {
        if (!had) return;
        if (--days[day] > 0) return;
        days.erase(day);
    }
    // The day came or went: its neighbours among the machine's days.
    const auto next = days.upper_bound(day);  // the first day after it
    const auto from = days.lower_bound(day);  // it, or the first after it
    const bool hasNext = next != days.end();
    const bool hasPrev = from != days.begin();
    const int32_t prev = hasPrev ? std::prev(from)->first : 0;
    const auto gap = [&](int32_t first, int32_t last, int64_t n) {
        if (first <= last) out->gaps[std::make_tuple(game, DayText(first), DayText(last))] += n;
    };
    const int64_t s = sign;
    if (hasPrev && hasNext) gap(prev + 1, next->first - 1, -s);  // one gap split, or two joined
    if (hasPrev) gap(prev + 1, day - 1, s);
    if (hasNext) gap(day + 1, next->first - 1, s);
    if (!hasNext) {
        out->lastDays[std::make_pair(game, DayText(day))] += s;
        if (hasPrev) out->lastDays[std::make_pair(game, DayText(prev))] -= s;
    }
    if (!hasPrev) {
        out->days[std::make_pair(game, DayText(day))].second += s;
        if (hasNext) out->days[std::make_pair(game, DayText(next->first))].second -= s;
    }
}

}  // namespace

QVCountDeltas CountRows(const std::vector<const QVReportRow*>& rows, const QVCountBasis& basis, size_t cap, int sign) {
    QVCountDeltas out;
    std::set<QVValueKey> known = basis.known;
    std::map<std::pair<std::string, std::string>, int64_t> values = basis.values;
    for (const QVReportRow* r : rows) {
        int32_t day = 0;
        if (!DayNumber(r->day, &day)) continue;  // every stored day is a date
        const QVMachineKey key(r->gameId, r->guid);
        auto state = out.machines.find(key);
        if (state == out.machines.end()) {
            const auto stored = basis.machines.find(key);
            state = out.machines.emplace(key, stored != basis.machines.end() ? stored->second : QVMachineState()).first;
        }
        QVMachineState& m = state->second;
        std::pair<int64_t, int64_t>& game = out.games[r->gameId];
        if (sign > 0) {
            if (!m.exists) {
                m.exists = true;
                game.second += 1;
            }
        }
        Activity(r->gameId, m.days, day, sign, &out);
        if (sign < 0 && m.exists && m.days.empty()) {
            m.exists = false;  // its last counted report gone: so is the machine, from the counts
            game.second -= 1;
        }
        out.days[std::make_pair(r->gameId, r->day)].first += sign;
        game.first += sign;
        for (const auto& kv : BreakdownValues(*r)) {
            QVValueKey own(r->gameId, kv.first, kv.second);
            if (!known.count(own) && sign > 0) {
                int64_t& count = values[std::make_pair(r->gameId, kv.first)];
                if (static_cast<size_t>(count) < cap) {
                    ++count;
                    known.insert(own);
                }
            }
            const bool counted = known.count(own) != 0;
            const std::string kind = counted ? kv.first : kv.first + ":other";
            const std::string value = counted ? kv.second : std::string();
            out.breakdown[std::make_tuple(r->gameId, kind, value)] += sign;
            out.breakdownDays[std::make_tuple(r->gameId, kind, r->day, value)] += sign;
        }
    }
    return out;
}

}  // namespace Quorvel
