#ifndef QV_SERVER_INTAKE_H
#define QV_SERVER_INTAKE_H

#include <stdint.h>

#include <string>

#include "report/Report.h"

namespace Quorvel {

// A report's nine values, split off the body; bytes as received (the
// players' ANSI code page), or UTF-8 once converted.
struct QVReportFields {
    std::string gameId, version, guid, time, sign, osMajor, osMinor, system, flash;
};

enum QVIntakeVerdict {
    kIntakeAccepted,
    kIntakeMalformed,     // 400: not the nine fields in order, or a value of the wrong shape
    kIntakeBadSignature,  // 403
    kIntakeBadText        // 400: text the code page cannot decode, a NUL, or too long
};

// The installer reads each text into a buffer of 260 characters (its
// identifier is shorter still): a longer one is forged, and would not fit
// PostgreSQL's index entries (2,704 bytes), which refuse the whole batch.
const size_t kMaxTextCharacters = 260;

// Characters of UTF-8 text.
size_t Utf8Characters(const std::string& text);

// Why a request was refused, as counted per day.
const char* VerdictReason(QVIntakeVerdict verdict);

// Splits a body at the nine ordered "&name=" markers. Values may hold "&"
// and "="; the last field's marker is the last "&flash=" of the body, so
// that the system text may hold anything. A field before the system text
// that holds one of the markers means a field is repeated or out of order.
bool SplitReport(const std::string& body, QVReportFields* fields);

// A signed 64-bit number as the installer writes it: decimal digits, no
// padding, a leading "-" if negative.
bool IsInstallerTime(const std::string& time);

// The shapes the installer sends: sign 32 hexadecimal digits, time as
// IsInstallerTime says, osmajor and osminor 1 to 10 digits, guid and game_id
// not empty (a report of no game counts for none).
bool HasReportShape(const QVReportFields& fields);

// The received sign equals, byte for byte, the upper-case MD5 of game id,
// identifier, time and key as received; compared in constant time.
bool HasValidSignature(const QVReportFields& fields, const std::string& key);

// Splits, checks and verifies a body. On acceptance the fields are
// converted with toUtf8 (bytes in, UTF-8 out, false when they are not text
// of the code page).
template <class Converter>
QVIntakeVerdict TakeIn(const std::string& body, const std::string& key, Converter& toUtf8, QVReportFields* fields) {
    if (!SplitReport(body, fields) || !HasReportShape(*fields)) return kIntakeMalformed;
    if (!HasValidSignature(*fields, key)) return kIntakeBadSignature;
    std::string* texts[] = {&fields->gameId, &fields->version, &fields->guid, &fields->system, &fields->flash};
    for (std::string* text : texts) {
        std::string converted;
        if (!toUtf8(*text, &converted)) return kIntakeBadText;
        // A NUL would end the text early in PostgreSQL and not in SQLite.
        if (converted.find('\0') != std::string::npos || Utf8Characters(converted) > kMaxTextCharacters) {
            return kIntakeBadText;
        }
        text->swap(converted);
    }
    return kIntakeAccepted;
}

// The body that a report's stored fields give back: its texts (UTF-8)
// converted to the players' code page by toCodePage, its numbers as they
// are stored; empty when a text has no form in the code page. A body that
// gives back the one received needs nothing more to be kept.
template <class Converter>
std::string RebuildBody(const QVReportFields& f, Converter& toCodePage) {
    const std::string* values[] = {&f.gameId, &f.version, &f.guid, &f.time, &f.sign,
                                   &f.osMajor, &f.osMinor, &f.system, &f.flash};
    const bool text[] = {true, true, true, false, false, false, false, true, true};
    std::string body, converted;
    for (int i = 0; i < 9; ++i) {
        body += std::string(i == 0 ? "" : "&") + kReportFields[i] + "=";
        if (text[i] && !toCodePage(*values[i], &converted)) return std::string();
        body += text[i] ? converted : *values[i];
    }
    return body;
}

}  // namespace Quorvel

#endif
