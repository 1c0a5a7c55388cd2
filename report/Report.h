#ifndef QV_REPORT_REPORT_H
#define QV_REPORT_REPORT_H

#include <string>

namespace Quorvel {

const wchar_t kSigningKey[] = L"pR4vNd8sYk";
const wchar_t kReportFormat[] =
    L"game_id=%s&version=%s&guid=%s&time=%s&sign=%s&osmajor=%s&osminor=%s&system=%s&flash=%s";

// The report's fields, in the order of the body.
enum { kReportFieldCount = 9 };
extern const char* const kReportFields[kReportFieldCount];

// The bytes that are signed: game id, machine identifier and time as they
// stand in the body (the ANSI code page), then the signing key, with
// nothing between them. Both ends of the report build them this way.
std::string SigningBytes(const std::string& gameId, const std::string& guid, const std::string& time,
                         const std::string& key);
std::string DefaultSigningKey();
// The signature of signing bytes: their MD5 as 32 upper-case hexadecimal
// digits.
std::string SignatureOf(const std::string& signingBytes);

// MD5 of game id, identifier, time and the signing key, run together in the
// ANSI code page: 32 upper-case hexadecimal digits.
std::wstring ReportSignature(const std::wstring& gameId, const std::wstring& guid, const std::wstring& time);

// The game as the report names it: id and version from its settings file.
struct QVReportedGame {
    std::wstring id;
    std::wstring version;
};
QVReportedGame ReadReportedGame(const std::wstring& settingsFile);

// The usage report: the game, the machine identifier, time, signature,
// Windows version, system description and Flash Player, posted to host.
// Nothing is sent when the Windows version cannot be read; the answer is
// ignored.
void PostUsageReport(const QVReportedGame& game, const std::wstring& host);

}  // namespace Quorvel

#endif
