#ifndef QV_REPORT_REPORT_H
#define QV_REPORT_REPORT_H

#include <string>

namespace Quorvel {

const wchar_t kSigningKey[] = L"pR4vNd8sYk";
const wchar_t kReportFormat[] =
    L"game_id=%s&version=%s&guid=%s&time=%s&sign=%s&osmajor=%s&osminor=%s&system=%s&flash=%s";

// MD5 of game id, identifier, time and the signing key, run together in the
// ANSI code page: 32 upper-case hexadecimal digits.
std::wstring ReportSignature(const std::wstring& gameId, const std::wstring& guid, const std::wstring& time);

// The usage report: game id and version from the settings file, the
// machine identifier, time, signature, Windows version, system description
// and Flash Player, posted to host. Nothing is sent when the Windows version
// cannot be read; the answer is ignored.
void PostUsageReport(const std::wstring& settingsFile, const std::wstring& host);

}  // namespace Quorvel

#endif
