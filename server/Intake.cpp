#include "server/Intake.h"

#include <vector>

#include "report/Report.h"

namespace Quorvel {

namespace {

bool AllDigits(const std::string& text, size_t from, size_t most) {
    if (text.size() <= from || text.size() - from > most) return false;
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

bool IsUpperOrLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

}  // namespace

const char* VerdictReason(QVIntakeVerdict verdict) {
    switch (verdict) {
    case kIntakeAccepted: return "accepted";
    case kIntakeMalformed: return "malformed";
    case kIntakeBadSignature: return "bad_signature";
    case kIntakeBadText: return "bad_text";
    }
    return "malformed";
}

bool SplitReport(const std::string& body, QVReportFields* fields) {
    std::string* values[kReportFieldCount] = {&fields->gameId, &fields->version, &fields->guid,
                                              &fields->time,   &fields->sign,    &fields->osMajor,
                                              &fields->osMinor, &fields->system, &fields->flash};
    // "game_id=", then "&version=" and the others.
    static const std::vector<std::string> markers = [] {
        std::vector<std::string> all;
        for (int i = 0; i < kReportFieldCount; ++i) all.push_back(std::string(i == 0 ? "" : "&") + kReportFields[i] + "=");
        return all;
    }();
    if (body.compare(0, markers[0].size(), markers[0]) != 0) return false;
    size_t start = markers[0].size();
    for (int i = 1; i < kReportFieldCount; ++i) {
        const size_t at = i == kReportFieldCount - 1 ? body.rfind(markers[i]) : body.find(markers[i], start);
        if (at == std::string::npos || at < start) return false;
        values[i - 1]->assign(body, start, at - start);
        start = at + markers[i].size();
    }
    values[kReportFieldCount - 1]->assign(body, start, std::string::npos);
    // The fields before the system text come from numbers, the settings
    // file and the machine: one that holds a marker is a field twice or out
    // of its place.
    for (int i = 0; i < 7; ++i) {
        for (int m = 0; m < kReportFieldCount; ++m) {
            const std::string& marker = m == 0 ? "&" + markers[0] : markers[m];
            if (values[i]->find(marker) != std::string::npos) return false;
        }
    }
    return true;
}

size_t Utf8Characters(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

bool IsInstallerTime(const std::string& time) {
    const bool negative = !time.empty() && time[0] == '-';
    const size_t first = negative ? 1 : 0;
    if (!AllDigits(time, first, 19)) return false;
    // One way to write each number: "01" and "1", "-0" and "0" would
    // otherwise be two reports of one installation.
    if (time[first] == '0' && (time.size() > first + 1 || negative)) return false;
    if (time.size() - first < 19) return true;
    // Nineteen digits: within a signed 64-bit number.
    return time.compare(first, std::string::npos, negative ? "9223372036854775808" : "9223372036854775807") <= 0;
}

bool HasReportShape(const QVReportFields& f) {
    if (f.sign.size() != 32) return false;
    for (char c : f.sign) {
        if (!IsUpperOrLowerHex(c)) return false;
    }
    return IsInstallerTime(f.time) && AllDigits(f.osMajor, 0, 10) && AllDigits(f.osMinor, 0, 10) && !f.guid.empty() &&
           !f.gameId.empty();
}

bool HasValidSignature(const QVReportFields& f, const std::string& key) {
    const std::string expected = SignatureOf(SigningBytes(f.gameId, f.guid, f.time, key));
    if (f.sign.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        difference |= static_cast<unsigned char>(f.sign[i] ^ expected[i]);
    }
    return difference == 0;
}

}  // namespace Quorvel
