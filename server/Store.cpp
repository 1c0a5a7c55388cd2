#include "server/Store.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <set>

#include "server/Counting.h"
#include "server/Days.h"
#include "server/Schema.h"
#include "server/PgStore.h"
#include "server/Sql.h"
#include "server/SqliteStore.h"

namespace Quorvel {

std::string OsValue(const QVReportRow& row) {
    return std::to_string(row.osMajor) + "." + std::to_string(row.osMinor) + "\t" + row.system;
}

std::string SignBytes(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
        bytes += static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
    }
    return bytes;
}

std::string SignHex(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    if (bytes.size() != 16) return hex;
    for (unsigned char c : bytes) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
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

QVTransaction::QVTransaction(QVSqlSession& session, const char* begin)
    : m_session(session), m_begun(session.Exec(begin)), m_done(false) {}

QVTransaction::~QVTransaction() {
    if (m_begun && !m_done) m_session.Exec("ROLLBACK");
}

bool QVTransaction::Commit() {
    if (!m_begun || m_done) return false;
    m_done = m_session.Exec("COMMIT");
    return m_done;
}

namespace {

// A row's flags from its held column (QVHeld).
void SetHeld(QVReportRow* row, int64_t held) {
    row->held = held != kCounted;
    row->heldBeyondCap = held == kHeldBeyondCap;
}

int64_t Number(const std::string& text) { return atoll(text.c_str()); }

}  // namespace

namespace {

// A text's id, made where new, marked as taken on a day. An upsert: it
// waits for a writer that makes or forgets the same text at once, and
// always answers.
const char kTakeText[] =
    "INSERT INTO texts (text, last_day) VALUES (?, ?) ON CONFLICT (text) DO UPDATE SET last_day ="
    " CASE WHEN texts.last_day < excluded.last_day THEN excluded.last_day ELSE texts.last_day END RETURNING id";

// A report's columns, its texts looked up; with kReportFrom.
const char kReportColumns[] = "r.received_at, r.day, r.game_id, tv.text, r.guid, r.client_time, tos.text, tf.text";
const char kReportFrom[] = " FROM reports r JOIN texts tv ON tv.id = r.version_id JOIN texts tos ON tos.id = r.os_id"
                           " JOIN texts tf ON tf.id = r.flash_id";

QVReportRow ReportOf(const QVSqlRow& c, size_t first) {
    QVReportRow r;
    r.receivedAt = Number(c[first]);
    r.day = DayText(static_cast<int32_t>(Number(c[first + 1])));
    r.gameId = c[first + 2];
    r.version = c[first + 3];
    r.guid = c[first + 4];
    r.clientTime = c[first + 5];
    // The operating system as OsValue writes it: "major.minor<TAB>system".
    const std::string& os = c[first + 6];
    const size_t dot = os.find('.'), tab = os.find('\t');
    if (dot != std::string::npos && tab != std::string::npos && dot < tab) {
        r.osMajor = Number(os.substr(0, dot));
        r.osMinor = Number(os.substr(dot + 1, tab - dot - 1));
        r.system = os.substr(tab + 1);
    }
    r.flash = c[first + 7];
    return r;
}

// Reports in pages by the time they came, with the id for reports of the
// same second: (received_at, id) after a place. The index on the time is
// the only one it needs.
const char kAfter[] = " (r.received_at > ? OR (r.received_at = ? AND r.id > ?))";

const char kMatching[] =
    " (? = '' OR r.game_id = ?) AND (? = '' OR r.source = ?) AND r.received_at >= ? AND r.received_at < ?";

std::vector<QVSqlValue> FilterValues(const QVPurgeFilter& f) { return {f.game, f.game, f.source, f.source, f.from, f.to}; }

}  // namespace

bool QVStore::InTransaction(const std::function<bool(QVSqlSession&)>& work, std::string* error, bool commit) {
    QVSqlSession* s = Session();
    if (s == NULL) {
        *error = "the database does not answer";
        return false;
    }
    bool done = false;
    {
        QVTransaction transaction(*s, Begin());
        done = transaction.Begun() && work(*s) && (!commit || transaction.Commit());
        if (!done && error->empty()) *error = s->Error();
    }  // not committed: rolled back as the transaction goes
    // Texts a rolled-back transaction made are not there: forgotten.
    if (done && commit) {
        if (m_texts.size() + m_newTexts.size() > kKnownTexts) m_texts.clear();
        m_texts.insert(m_newTexts.begin(), m_newTexts.end());
    }
    m_newTexts.clear();
    Settled(done && commit);
    return done;
}

bool QVStore::LookUpTexts(QVSqlSession& s, const std::vector<std::string>& texts, int32_t day,
                          std::map<std::string, int64_t>* ids) {
    for (const std::string& text : texts) {
        std::vector<QVSqlRow> found;
        if (!s.Run(kTakeText, {text, static_cast<int64_t>(day)}, &found) || found.empty()) return false;
        (*ids)[text] = Number(found[0][0]);
    }
    return true;
}

int32_t QVStore::Today() const {
    int32_t day = 0;
    DayNumber(LocalDay(m_options.now ? m_options.now() : static_cast<int64_t>(time(NULL))), &day);
    return day;
}

bool QVStore::ForgetUnusedTexts(const std::function<bool()>& stop, int64_t* deleted, std::string* error) {
    *deleted = 0;
    // A report's texts are marked with a day no earlier than its own (and
    // a text a writer takes now with today): one whose mark is before the
    // oldest stored report's day is used by none, and no writer holds it.
    // A day's margin on each: clocks a little apart, receivers whose time
    // zones differ.
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> oldest;
    if (s == NULL || !s->Run("SELECT day FROM reports ORDER BY received_at LIMIT 1", {}, &oldest)) {
        *error = s == NULL ? "the database does not answer" : s->Error();
        return false;
    }
    int64_t before = static_cast<int64_t>(Today()) - 1;
    if (!oldest.empty()) before = std::min(before, Number(oldest[0][0]) - 1);
    // 500 a transaction, in the order writers take texts in: each stays
    // short, and a writer taking two of them waits rather than deadlocks.
    // Each goes on after the last text deleted, so the texts kept are read
    // once, not once a transaction; two statements, as a flag in one would
    // keep the databases from seeking in the index on the text.
    const std::string first = "SELECT id, text FROM texts WHERE last_day < ? AND text >= ? ORDER BY text LIMIT 500";
    const std::string next = "SELECT id, text FROM texts WHERE last_day < ? AND text > ? ORDER BY text LIMIT 500";
    std::string after;  // the empty text is one too
    bool going = false;
    for (size_t n = 500; n == 500 && !(stop && stop());) {
        if (!InTransaction([&](QVSqlSession& t) {
                std::vector<QVSqlRow> found;
                std::vector<int64_t> ids;
                if (!t.Run((going ? next : first) + LockRows(), {before, after}, &found)) return false;
                for (const QVSqlRow& row : found) ids.push_back(Number(row[0]));
                n = found.size();
                if (!found.empty()) {
                    after = found.back()[1];
                    going = true;
                }
                return ForIds(t, "DELETE FROM texts", ids, deleted);
            }, error)) {
            return false;
        }
    }
    return true;
}

bool QVStore::TextIdsOf(QVSqlSession& s, const std::vector<QVReportRow>& rows, std::vector<QVTextIds>* ids) {
    // Today, or the batch's latest day if later: never earlier than a day
    // of its reports (the spool's drainer writes reports of days past).
    // Texts known from an earlier day are taken (and marked) again.
    int32_t day = Today();
    for (const QVReportRow& r : rows) {
        int32_t d = 0;
        if (DayNumber(r.day, &d) && d > day) day = d;
    }
    if (day != m_textsDay) {
        m_texts.clear();
        m_newTexts.clear();
        m_textsDay = day;
    }
    std::vector<std::string> os(rows.size());
    std::vector<std::string> missing;
    const auto known = [this](const std::string& text) -> int64_t {
        auto at = m_texts.find(text);
        if (at != m_texts.end()) return at->second;
        at = m_newTexts.find(text);
        return at != m_newTexts.end() ? at->second : 0;
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        os[i] = OsValue(rows[i]);
        const std::string* texts[] = {&rows[i].version, &os[i], &rows[i].flash};
        for (const std::string* text : texts) {
            if (known(*text) == 0) missing.push_back(*text);
        }
    }
    if (!missing.empty()) {
        // Sorted: writers that make the same new texts at once take their
        // locks in one order.
        std::sort(missing.begin(), missing.end());
        missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
        std::map<std::string, int64_t> found;
        if (!LookUpTexts(s, missing, day, &found) || found.size() != missing.size()) return false;
        m_newTexts.insert(found.begin(), found.end());
    }
    ids->resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        (*ids)[i] = QVTextIds{known(rows[i].version), known(os[i]), known(rows[i].flash)};
    }
    return true;
}

bool QVStore::Games(std::vector<std::string>* games) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT game_id FROM games ORDER BY reports DESC, game_id", {}, &rows)) return false;
    for (const QVSqlRow& r : rows) games->push_back(r[0]);
    return true;
}

bool QVStore::PeriodGames(const std::string& from, const std::string& to,
                          std::vector<std::pair<std::string, int64_t> >* games) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT game_id, SUM(reports) AS n FROM daily WHERE day >= ? AND day <= ? GROUP BY game_id"
                             " ORDER BY n DESC, game_id",
                             {from, to}, &rows)) {
        return false;
    }
    for (const QVSqlRow& r : rows) games->emplace_back(r[0], Number(r[1]));
    return true;
}

bool QVStore::Names(std::map<std::string, std::string>* names) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT game_id, name FROM names", {}, &rows)) return false;
    for (const QVSqlRow& r : rows) (*names)[r[0]] = r[1];
    return true;
}

bool QVStore::SetName(const std::string& game, const std::string& name, std::string* error) {
    return InTransaction([&](QVSqlSession& s) {
        return s.Run("DELETE FROM names WHERE game_id = ?", {game}) &&
               (name.empty() || s.Run("INSERT INTO names (game_id, name) VALUES (?, ?)", {game, name}));
    }, error);
}

bool QVStore::FirstDay(const std::string& game, std::string* day) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT MIN(day) FROM daily WHERE game_id = ?", {game}, &rows)) return false;
    *day = rows.empty() ? std::string() : rows[0][0];
    return true;
}

bool QVStore::FirstDayOfAll(std::string* day) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT MIN(day) FROM daily", {}, &rows)) return false;
    *day = rows.empty() ? std::string() : rows[0][0];
    return true;
}

bool QVStore::Totals(const std::string& game, const std::string& from, const std::string& to, QVPeriodTotals* t) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> period, known, gone, away;
    // Machines active in [from, to]: those new by its end, less those whose
    // last day was before it, less those with a gap over all of it.
    if (s == NULL ||
        !s->Run("SELECT COALESCE(SUM(reports), 0), COALESCE(SUM(new_machines), 0) FROM daily"
                " WHERE game_id = ? AND day >= ? AND day <= ?",
                {game, from, to}, &period) ||
        !s->Run("SELECT COALESCE(SUM(new_machines), 0) FROM daily WHERE game_id = ? AND day <= ?", {game, to}, &known) ||
        !s->Run("SELECT COALESCE(SUM(machines), 0) FROM machine_last WHERE game_id = ? AND day < ?", {game, from}, &gone) ||
        !s->Run("SELECT COALESCE(SUM(machines), 0) FROM machine_gaps WHERE game_id = ? AND first_day <= ?"
                " AND last_day >= ?",
                {game, from, to}, &away)) {
        return false;
    }
    t->reports = Number(period[0][0]);
    t->newMachines = Number(period[0][1]);
    t->machines = Number(known[0][0]) - Number(gone[0][0]) - Number(away[0][0]);
    return true;
}

bool QVStore::Days(const std::string& game, const std::string& from, const std::string& to,
                   std::vector<QVDayCount>* days) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT day, reports, new_machines FROM daily WHERE game_id = ? AND day >= ? AND day <= ?"
                             " ORDER BY day",
                             {game, from, to}, &rows)) {
        return false;
    }
    for (const QVSqlRow& r : rows) days->push_back(QVDayCount{r[0], Number(r[1]), Number(r[2])});
    return true;
}

bool QVStore::Breakdown(const std::string& game, const std::string& kind, const std::string& from, const std::string& to,
                        bool ascending, size_t offset, size_t limit, QVBreakdownPage* page) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows, other, values;
    if (s == NULL ||
        !s->Run(std::string("SELECT value, SUM(reports) AS n FROM breakdown_days WHERE game_id = ? AND kind = ?"
                            " AND day >= ? AND day <= ? GROUP BY value ORDER BY n ") +
                    (ascending ? "ASC" : "DESC") + ", value LIMIT ? OFFSET ?",
                {game, kind, from, to, static_cast<int64_t>(limit), static_cast<int64_t>(offset)}, &rows) ||
        !s->Run("SELECT COALESCE(SUM(reports), 0) FROM breakdown_days WHERE game_id = ? AND kind = ? AND day >= ?"
                " AND day <= ?",
                {game, kind + ":other", from, to}, &other) ||
        !s->Run("SELECT COUNT(DISTINCT value) FROM breakdown_days WHERE game_id = ? AND kind = ? AND day >= ? AND day <= ?",
                {game, kind, from, to}, &values)) {
        return false;
    }
    for (const QVSqlRow& r : rows) page->rows.push_back(QVBreakdownRow{r[0], Number(r[1])});
    page->other = Number(other[0][0]);
    page->values = Number(values[0][0]);
    return true;
}

bool QVStore::VersionsByDay(const std::string& game, const std::string& from, const std::string& to,
                            std::vector<QVDayValue>* out) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT day, value, reports, CASE WHEN kind = 'version' THEN 0 ELSE 1 END FROM breakdown_days"
                             " WHERE game_id = ? AND (kind = 'version' OR kind = 'version:other') AND day >= ? AND day <= ?"
                             " ORDER BY day, value",
                             {game, from, to}, &rows)) {
        return false;
    }
    for (const QVSqlRow& r : rows) out->push_back(QVDayValue{r[0], r[1], Number(r[2]), Number(r[3]) != 0});
    return true;
}

bool QVStore::Rejects(const std::string& from, const std::string& to, std::vector<QVRejectCount>* rejects) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT day, reason, n FROM rejects WHERE day >= ? AND day <= ? ORDER BY day DESC, reason",
                             {from, to}, &rows)) {
        return false;
    }
    for (const QVSqlRow& r : rows) rejects->push_back(QVRejectCount{r[0], r[1], Number(r[2])});
    return true;
}

bool QVStore::Held(size_t limit, std::vector<QVHeldSource>* held) {
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> rows;
    if (s == NULL || !s->Run("SELECT source, COUNT(*), MIN(received_at), MAX(received_at) FROM reports WHERE held <> 0"
                             " GROUP BY source ORDER BY 2 DESC, source LIMIT ?",
                             {static_cast<int64_t>(limit)}, &rows)) {
        return false;
    }
    for (const QVSqlRow& r : rows) held->push_back(QVHeldSource{r[0], Number(r[1]), Number(r[2]), Number(r[3])});
    return true;
}

bool QVStore::ExportPage(const std::string& game, int64_t from, int64_t to, bool held, const QVExportPlace& after,
                         size_t limit, std::vector<QVReportRow>* rows) {
    rows->clear();
    QVSqlSession* s = Session();
    std::vector<QVSqlRow> page;
    if (s == NULL ||
        !s->Run(std::string("SELECT r.id, r.source, ") + kReportColumns + kReportFrom + " WHERE" + kAfter +
                    " AND r.received_at >= ? AND r.received_at < ? AND (? = '' OR r.game_id = ?) AND r.held " +
                    (held ? "<> 0" : "= 0") + " ORDER BY r.received_at, r.id LIMIT ?",
                {after.receivedAt, after.receivedAt, after.id, from, to, game, game, static_cast<int64_t>(limit)}, &page)) {
        return false;
    }
    for (const QVSqlRow& c : page) {
        rows->push_back(ReportOf(c, 2));
        rows->back().id = Number(c[0]);
        rows->back().source = c[1];
    }
    return true;
}

bool QVStore::Prune(int64_t before, size_t limit, int64_t* deleted, std::string* error) {
    *deleted = 0;
    // A bounded number at a time, the oldest first: the writer waits for
    // this transaction's locks, so it stays short. The batch ends at the
    // time of its last report (with every other report of that second).
    return InTransaction([&](QVSqlSession& s) {
        std::vector<QVSqlRow> last;
        if (!s.Run("SELECT received_at FROM reports WHERE received_at < ? ORDER BY received_at LIMIT 1 OFFSET ?",
                   {before, static_cast<int64_t>(limit > 0 ? limit - 1 : 0)}, &last) ||
            !s.Run("DELETE FROM reports WHERE received_at < ? AND received_at <= ?",
                   {before, last.empty() ? before : Number(last[0][0])})) {
            return false;
        }
        *deleted = s.Changes();
        return true;
    }, error);
}

bool QVStore::WriteBatch(const std::vector<QVReportRow>& rows, const std::vector<QVRejectCount>& rejects,
                         std::vector<bool>* inserted, int64_t* heldBeyondCap, std::string* error) {
    inserted->assign(rows.size(), false);
    int64_t beyond = 0;
    const bool written = InTransaction([&](QVSqlSession& s) {
        inserted->assign(rows.size(), false);  // again, when tried again
        beyond = 0;
        std::vector<QVTextIds> texts;
        std::vector<const QVReportRow*> all;
        for (const QVReportRow& r : rows) all.push_back(&r);
        QVCountBasis basis;
        if (!TextIdsOf(s, rows, &texts) || !LoadBasis(s, all, &basis)) return false;
        // New: a time its machine has not stored (nor this batch before).
        std::vector<NewReport> fresh;
        std::vector<const QVReportRow*> counted;
        std::set<QVMachineKey> touched;
        for (size_t i = 0; i < rows.size(); ++i) {
            const QVMachineKey key(rows[i].gameId, rows[i].guid);
            const QVTimeVerdict verdict = TakeTime(&basis.machines[key], strtoll(rows[i].clientTime.c_str(), NULL, 10));
            if (verdict == kTimeReplay) continue;
            const int held = verdict == kTimeBeyondCap ? kHeldBeyondCap : rows[i].held ? kHeldForRate : kCounted;
            beyond += held == kHeldBeyondCap ? 1 : 0;
            (*inserted)[i] = true;
            touched.insert(key);
            fresh.push_back(NewReport{&rows[i], texts[i], held});
            if (held == kCounted) counted.push_back(&rows[i]);
        }
        return InsertReports(s, fresh) && CountOn(s, basis, counted, 1, touched) && AddRejects(s, rejects);
    }, error);
    if (!written) inserted->assign(rows.size(), false);
    if (heldBeyondCap != NULL) *heldBeyondCap = written ? beyond : 0;
    return written;
}

bool QVStore::LoadMachine(QVSqlSession& s, const QVMachineKey& key, QVMachineState* machine) {
    std::vector<QVSqlRow> found;
    if (!s.Run(std::string("SELECT days, times FROM machines WHERE game_id = ? AND guid = ?") + LockRows(),
               {key.first, key.second}, &found)) {
        return false;
    }
    return found.empty() || MachineOf(found[0][0], found[0][1], machine);
}

bool QVStore::LoadBasis(QVSqlSession& s, const std::vector<const QVReportRow*>& rows, QVCountBasis* basis) {
    for (const QVReportRow* r : rows) {
        const QVMachineKey key(r->gameId, r->guid);
        if (!basis->machines.count(key) && !LoadMachine(s, key, &basis->machines[key])) return false;
    }
    for (const QVReportRow* r : rows) {
        for (const auto& kv : BreakdownValues(*r)) {
            const QVValueKey own(r->gameId, kv.first, kv.second);
            const auto kind = std::make_pair(r->gameId, kv.first);
            std::vector<QVSqlRow> found;
            if (!basis->values.count(kind)) {
                if (!s.Run("SELECT COUNT(*) FROM breakdown WHERE game_id = ? AND kind = ?", {kind.first, kind.second}, &found)) {
                    return false;
                }
                basis->values[kind] = found.empty() ? 0 : Number(found[0][0]);
                found.clear();
            }
            if (basis->known.count(own)) continue;
            if (!s.Run("SELECT 1 FROM breakdown WHERE game_id = ? AND kind = ? AND value = ?", {r->gameId, kv.first, kv.second},
                       &found)) {
                return false;
            }
            if (!found.empty()) basis->known.insert(own);
        }
    }
    return true;
}

bool QVStore::ApplyDeltas(QVSqlSession& s, const QVCountDeltas& d) {
    for (const auto& m : d.machines) {
        const bool done = Kept(m.second)
            ? s.Run(QVCountSql::kPutMachine,
                    {m.first.first, m.first.second, QVSqlValue::Bytes(EncodeDays(m.second.days)),
                     QVSqlValue::Bytes(EncodeTimes(m.second.times))})
            : s.Run(QVCountSql::kDropMachine, {m.first.first, m.first.second});
        if (!done) return false;
    }
    // Each count moved on; where one was taken from, a row with nothing
    // left in it goes.
    for (const auto& x : d.days) {
        if (x.second.first == 0 && x.second.second == 0) continue;
        if (!s.Run(QVCountSql::kAddDay, {x.first.first, x.first.second, x.second.first, x.second.second}) ||
            ((x.second.first < 0 || x.second.second < 0) &&
             !s.Run(QVCountSql::kDropDay, {x.first.first, x.first.second}))) {
            return false;
        }
    }
    for (const auto& x : d.lastDays) {
        if (x.second == 0) continue;
        if (!s.Run(QVCountSql::kAddLast, {x.first.first, x.first.second, x.second}) ||
            (x.second < 0 && !s.Run(QVCountSql::kDropLast, {x.first.first, x.first.second}))) {
            return false;
        }
    }
    for (const auto& x : d.gaps) {
        if (x.second == 0) continue;
        const std::string& game = std::get<0>(x.first);
        if (!s.Run(QVCountSql::kAddGap, {game, std::get<1>(x.first), std::get<2>(x.first), x.second}) ||
            (x.second < 0 && !s.Run(QVCountSql::kDropGap, {game, std::get<1>(x.first), std::get<2>(x.first)}))) {
            return false;
        }
    }
    for (const auto& x : d.breakdown) {
        if (x.second == 0) continue;
        const std::string& game = std::get<0>(x.first);
        if (!s.Run(QVCountSql::kAddValue, {game, std::get<1>(x.first), std::get<2>(x.first), x.second}) ||
            (x.second < 0 && !s.Run(QVCountSql::kDropValue, {game, std::get<1>(x.first), std::get<2>(x.first)}))) {
            return false;
        }
    }
    for (const auto& x : d.breakdownDays) {
        if (x.second == 0) continue;
        const std::string& game = std::get<0>(x.first);
        const std::string& kind = std::get<1>(x.first);
        if (!s.Run(QVCountSql::kAddValueDay, {game, kind, std::get<2>(x.first), std::get<3>(x.first), x.second}) ||
            (x.second < 0 &&
             !s.Run(QVCountSql::kDropValueDay, {game, kind, std::get<2>(x.first), std::get<3>(x.first)}))) {
            return false;
        }
    }
    for (const auto& x : d.games) {
        if (x.second.first == 0 && x.second.second == 0) continue;
        if (!s.Run(QVCountSql::kAddGame, {x.first, x.second.first, x.second.second}) ||
            ((x.second.first < 0 || x.second.second < 0) && !s.Run(QVCountSql::kDropGame, {x.first}))) {
            return false;
        }
    }
    return true;
}

bool QVStore::AddRejects(QVSqlSession& s, const std::vector<QVRejectCount>& rejects) {
    for (const QVRejectCount& r : rejects) {
        if (!s.Run("INSERT INTO rejects AS j (day, reason, n) VALUES (?, ?, ?) ON CONFLICT (day, reason)"
                   " DO UPDATE SET n = j.n + excluded.n",
                   {r.day, r.reason, r.count})) {
            return false;
        }
    }
    return true;
}

bool QVStore::CountOn(QVSqlSession& s, QVCountBasis& basis, const std::vector<const QVReportRow*>& rows, int sign,
                      const std::set<QVMachineKey>& touched, QVCountDeltas* deltas) {
    QVCountDeltas counted = CountRows(rows, basis, m_breakdownCap, sign);
    // Machines whose times changed but whose counts did not (held reports).
    for (const QVMachineKey& key : touched) {
        if (!counted.machines.count(key)) counted.machines[key] = basis.machines[key];
    }
    if (counted.machines.empty() && rows.empty()) return true;
    if (deltas != NULL) *deltas = counted;
    return ApplyDeltas(s, counted);
}

bool QVStore::Recounted(QVSqlSession& s, const std::vector<QVReportRow>& rows, int sign, QVCountDeltas* deltas) {
    std::vector<const QVReportRow*> all, counted;
    for (const QVReportRow& r : rows) {
        all.push_back(&r);
        if (!r.held) counted.push_back(&r);
    }
    if (all.empty()) return true;
    QVCountBasis basis;
    if (!LoadBasis(s, all, &basis)) return false;
    std::set<QVMachineKey> touched;
    for (const QVReportRow& r : rows) {
        const QVMachineKey key(r.gameId, r.guid);
        QVMachineState& m = basis.machines[key];
        const int64_t time = strtoll(r.clientTime.c_str(), NULL, 10);
        if (r.heldBeyondCap) continue;  // the time is another copy's, if any
        if (sign > 0) {
            TakeTime(&m, time);
        } else {
            DropTime(&m, time);
        }
        touched.insert(key);
    }
    return CountOn(s, basis, counted, sign, touched, deltas);
}

bool QVStore::Recount(QVSqlSession& s) {
    if (!s.Exec("DELETE FROM machines; DELETE FROM daily; DELETE FROM machine_last; DELETE FROM machine_gaps;"
                "DELETE FROM breakdown; DELETE FROM breakdown_days; DELETE FROM games;")) {
        return false;
    }
    int64_t afterTime = INT64_MIN, afterId = INT64_MIN;
    for (;;) {
        std::vector<QVSqlRow> page;
        if (!s.Run(std::string("SELECT r.id, r.held, ") + kReportColumns + kReportFrom + " WHERE" + kAfter +
                       " ORDER BY r.received_at, r.id LIMIT 5000",
                   {afterTime, afterTime, afterId}, &page)) {
            return false;
        }
        std::vector<QVReportRow> rows;
        for (const QVSqlRow& c : page) {
            rows.push_back(ReportOf(c, 2));
            SetHeld(&rows.back(), Number(c[1]));
        }
        if (!Recounted(s, rows, 1)) return false;
        if (page.size() < 5000) return true;
        afterTime = rows.back().receivedAt;
        afterId = Number(page.back()[0]);
    }
}

bool QVStore::Upgraded(QVSqlSession& s, int from) {
    if (from == 1) return Recount(s);
    return from > 3 || MarkHeldBeyondCap(s);
}

bool QVStore::MarkHeldBeyondCap(QVSqlSession& s) {
    // A held report whose time its machine does not have was held beyond
    // the cap; so is each later copy of one time (a replay stored as the
    // machine was full). The first copy of a time the machine has took it.
    std::vector<QVSqlRow> held;
    if (!s.Run("SELECT id, game_id, guid, client_time FROM reports WHERE held <> 0 ORDER BY received_at, id", {}, &held)) {
        return false;
    }
    std::map<QVMachineKey, QVMachineState> machines;
    std::set<std::pair<QVMachineKey, int64_t> > seen;
    std::vector<int64_t> beyond;
    for (const QVSqlRow& r : held) {
        const QVMachineKey key(r[1], r[2]);
        if (!machines.count(key) && !LoadMachine(s, key, &machines[key])) return false;
        const int64_t time = Number(r[3]);
        const std::vector<int64_t>& times = machines[key].times;
        if (!seen.insert(std::make_pair(key, time)).second || !std::binary_search(times.begin(), times.end(), time)) {
            beyond.push_back(Number(r[0]));
        }
    }
    return ForIds(s, "UPDATE reports SET held = 2", beyond, NULL);
}

bool QVStore::Release(const std::string& source, const std::string& game, QVReleaseResult* result, std::string* error) {
    *result = QVReleaseResult();
    return InTransaction([&](QVSqlSession& s) {
        std::vector<QVSqlRow> held;
        if (!s.Run(std::string("SELECT r.id, r.held, ") + kReportColumns + kReportFrom + " WHERE r.held <> 0 AND r.source = ?"
                       " AND (? = '' OR r.game_id = ?) ORDER BY r.received_at, r.id" + LockReports(),
                   {source, game, game}, &held)) {
            return false;
        }
        std::vector<QVReportRow> rows;
        for (const QVSqlRow& c : held) rows.push_back(ReportOf(c, 2));
        std::vector<const QVReportRow*> all;
        for (const QVReportRow& r : rows) all.push_back(&r);
        QVCountBasis basis;
        if (rows.empty() || !LoadBasis(s, all, &basis)) return rows.empty();
        // One held for its source's rate had its time taken when it came.
        // One held beyond its machine's cap did not: it is a replay if
        // another copy has the time now, else it takes it if there is room.
        std::vector<const QVReportRow*> counted;
        std::vector<int64_t> countedIds, replayIds;
        std::set<QVMachineKey> touched;
        std::set<std::pair<QVMachineKey, int64_t> > seen;  // copies here, none with room
        for (size_t i = 0; i < rows.size(); ++i) {
            const int64_t id = Number(held[i][0]);
            if (Number(held[i][1]) == kHeldBeyondCap) {
                const QVMachineKey key(rows[i].gameId, rows[i].guid);
                const int64_t time = strtoll(rows[i].clientTime.c_str(), NULL, 10);
                const QVTimeVerdict verdict =
                    seen.insert(std::make_pair(key, time)).second ? TakeTime(&basis.machines[key], time) : kTimeReplay;
                if (verdict == kTimeReplay) {
                    replayIds.push_back(id);
                    continue;
                }
                if (verdict == kTimeBeyondCap) {
                    ++result->atCap;
                    continue;
                }
                touched.insert(key);
            }
            counted.push_back(&rows[i]);
            countedIds.push_back(id);
        }
        result->replays = static_cast<int64_t>(replayIds.size());
        // Exactly these rows: another receiver may store more of the
        // source's held reports meanwhile.
        return CountOn(s, basis, counted, 1, touched) &&
               ForIds(s, "UPDATE reports SET held = 0", countedIds, &result->released) &&
               ForIds(s, "DELETE FROM reports", replayIds, NULL);
    }, error);
}

bool QVStore::ForIds(QVSqlSession& s, const std::string& statement, const std::vector<int64_t>& ids, int64_t* changed) {
    const size_t kChunk = 500;
    for (size_t i = 0; i < ids.size(); i += kChunk) {
        std::string sql = statement + " WHERE id IN (";
        std::vector<QVSqlValue> values;
        for (size_t j = i; j < ids.size() && j < i + kChunk; ++j) {
            sql += j == i ? "?" : ", ?";
            values.push_back(ids[j]);
        }
        if (!s.Run(sql + ")", values)) return false;
        if (changed != NULL) *changed += s.Changes();
    }
    return true;
}

bool QVStore::Purge(const QVPurgeFilter& f, bool dryRun, QVPurgeResult* result, std::string* error) {
    *result = QVPurgeResult();
    return InTransaction([&](QVSqlSession& s) {
        // A page at a time, by time: the rows in memory stay few however
        // many match. Each page is deleted and taken back before the next,
        // so that the machines' states carry from page to page.
        int64_t afterTime = INT64_MIN, afterId = INT64_MIN;
        for (;;) {
            std::vector<QVSqlRow> page;
            std::vector<QVSqlValue> values = FilterValues(f);
            values.insert(values.end(), {afterTime, afterTime, afterId});
            if (!s.Run(std::string("SELECT r.id, r.held, ") + kReportColumns + kReportFrom + " WHERE" + kMatching + " AND" +
                           kAfter + " ORDER BY r.received_at, r.id LIMIT 5000" + LockReports(),
                       values, &page)) {
                return false;
            }
            std::vector<QVReportRow> rows;
            for (const QVSqlRow& c : page) {
                ++result->reports;
                rows.push_back(ReportOf(c, 2));
                SetHeld(&rows.back(), Number(c[1]));
                if (rows.back().held) ++result->held;
            }
            QVCountDeltas deltas;
            if (!Recounted(s, rows, -1, &deltas)) return false;
            for (const auto& g : deltas.games) result->machines -= g.second.second;
            if (page.empty()) break;
            // The page's reports and no other: one that another receiver
            // commits meanwhile, within the page's times, was not taken back.
            std::vector<int64_t> ids;
            for (const QVSqlRow& c : page) ids.push_back(Number(c[0]));
            if (!ForIds(s, "DELETE FROM reports", ids, NULL)) return false;
            const int64_t lastTime = Number(page.back()[2]), lastId = Number(page.back()[0]);
            if (page.size() < 5000) break;
            afterTime = lastTime;
            afterId = lastId;
        }
        return true;
    }, error, !dryRun);  // a dry run goes as far, then rolls it all back
}

std::unique_ptr<QVStore> OpenStore(const std::string& url, std::string* error, const QVStoreOptions& options) {
    if (url.compare(0, 7, "sqlite:") == 0 && url.size() > 7) {
        return std::unique_ptr<QVStore>(new QVSqliteStore(url.substr(7), options));
    }
    if (url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0) {
        return std::unique_ptr<QVStore>(new QVPgStore(url, options));
    }
    *error = "not a database this qvstats knows: " + url + " (give sqlite:PATH or postgresql://...)";
    return std::unique_ptr<QVStore>();
}

}  // namespace Quorvel
