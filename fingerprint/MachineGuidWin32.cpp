#include <windows.h>
#include <time.h>

#include "fingerprint/MachineGuid.h"

#include "core/HandlesWin32.h"
#include "core/Text.h"
#include "fingerprint/Adapters.h"
#include "fingerprint/DiskSerial.h"

namespace Quorvel {

std::wstring GetWindowsInstallDate() {
    DWORD value = 0;
    QVRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                        key.put()) == ERROR_SUCCESS) {
        DWORD size = sizeof(value);
        if (::RegQueryValueExW(key.get(), L"InstallDate", NULL, NULL, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS) {
            value = 0;
        }
    }
    const __time64_t seconds = static_cast<__time64_t>(static_cast<uint64_t>(value));
    struct tm local;
    ::ZeroMemory(&local, sizeof(local));
    struct tm* converted = _localtime64(&seconds);
    if (converted != NULL) local = *converted;
    std::wstring text;
    FormatString(text, L"%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
    if (text.size() < 14) text.append(14 - text.size(), L'0');
    return text.substr(0, 14);
}

std::wstring GetMachineGuid() {
    std::wstring mac;
    {
        const QVAdapterInventory inventory;
        mac = inventory.SelectMacAddress();
    }
    const std::wstring date = GetWindowsInstallDate();
    return ComposeMachineGuid(mac, ReadDiskSerial(), date);
}

}  // namespace Quorvel
