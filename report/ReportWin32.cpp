#include <windows.h>
#include <time.h>

#include "core/Buffer.h"
#include "core/Text.h"
#include "fingerprint/MachineGuid.h"
#include "report/FlashWin32.h"
#include "report/HttpWin32.h"
#include "report/Md5.h"
#include "report/Report.h"
#include "report/SystemInfoWin32.h"

namespace Quorvel {

namespace {

std::wstring ReadGameValue(const std::wstring& settings, const wchar_t* key) {
    wchar_t buffer[MAX_PATH] = {0};
    ::GetPrivateProfileStringW(L"game", key, NULL, buffer, MAX_PATH, settings.c_str());
    buffer[MAX_PATH - 1] = 0;
    return buffer;
}

}  // namespace

std::wstring ReportSignature(const std::wstring& gameId, const std::wstring& guid, const std::wstring& time) {
    std::wstring text;
    FormatString(text, L"%s%s%s%s", gameId.c_str(), guid.c_str(), time.c_str(), kSigningKey);
    const std::string signature = SignatureOf(WideToAnsi(text));
    return std::wstring(signature.begin(), signature.end());
}

QVReportedGame ReadReportedGame(const std::wstring& settingsFile) {
    QVReportedGame game;
    game.id = ReadGameValue(settingsFile, L"id");
    game.version = ReadGameValue(settingsFile, L"version");
    return game;
}

void PostUsageReport(const QVReportedGame& game, const std::wstring& host) {
    const std::wstring& gameId = game.id;
    const std::wstring& version = game.version;
    const std::wstring guid = GetMachineGuid();
    const std::wstring time = Int64ToText(static_cast<int64_t>(_time64(NULL)));
    const std::wstring sign = ReportSignature(gameId, guid, time);

    OSVERSIONINFOEXW os;
    ::ZeroMemory(&os, sizeof(os));
    os.dwOSVersionInfoSize = sizeof(os);
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&os))) return;
    const std::wstring osMajor = IntToText(static_cast<int32_t>(os.dwMajorVersion));
    const std::wstring osMinor = IntToText(static_cast<int32_t>(os.dwMinorVersion));

    QVSystemInfo info;
    info.DescribeOperatingSystem();
    info.memoryStatus.dwLength = sizeof(info.memoryStatus);
    ::GlobalMemoryStatusEx(&info.memoryStatus);
    info.QueryProcessors();
    info.QueryDisplayAdapters();
    const std::wstring system = info.GetOsDescription();

    QVFlashInfo flash;
    flash.ProbeFlashPlayer();

    std::wstring body;
    FormatString(body, kReportFormat, gameId.c_str(), version.c_str(), guid.c_str(), time.c_str(), sign.c_str(),
                 osMajor.c_str(), osMinor.c_str(), system.c_str(), flash.GetFlashName().c_str());
    ::OutputDebugStringW(body.c_str());

    QVBuffer<unsigned char> response;
    uint32_t responseLength = 0;
    HttpPost(host, L"micro_stats", body, response, &responseLength);
}

}  // namespace Quorvel
