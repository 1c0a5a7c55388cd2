#include <windows.h>
#include <objbase.h>
#include <stdio.h>

#include <boost/shared_ptr.hpp>

#include "core/HandlesWin32.h"
#include "core/Text.h"
#include "report/Flash.h"
#include "report/FlashWin32.h"

namespace Quorvel {

namespace {

const wchar_t kProgId[] = L"ShockwaveFlash.ShockwaveFlash";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Adobe Flash Player ActiveX";
const wchar_t kClassKey[] = L"CLSID\\{D27CDB6E-AE6D-11cf-96B8-444553540000}\\InprocServer32";

}  // namespace

bool RegistryKey::Open(HKEY root, const wchar_t* path) {
    lastError = ::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put());
    return lastError == ERROR_SUCCESS;
}

bool ReadRegistryString(std::wstring& out, RegistryKey& key, const wchar_t* name) {
    // RegQueryValueExW does not promise a terminator: the buffer is zeroed
    // and read only up to its last unit.
    wchar_t buffer[512];
    ::ZeroMemory(buffer, sizeof(buffer));
    DWORD size = sizeof(buffer);
    const LONG result = ::RegQueryValueExW(key.key.get(), name, NULL, NULL, reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) {
        key.lastError = result;
        out.clear();
        return false;
    }
    size_t length = 0;
    while (length < 512 && buffer[length] != 0) ++length;
    out.assign(buffer, length);
    return true;
}

QVFileVersionInfo::QVFileVersionInfo(const std::wstring& path) : m_loaded(false), m_path(path) {}

bool QVFileVersionInfo::Load() {
    if (m_loaded) return true;
    if (!m_version.valid()) m_version = LoadSystemLibrary(L"version.dll");
    decltype(&::GetFileVersionInfoSizeW) infoSize = GetProc<decltype(infoSize)>(m_version.get(), "GetFileVersionInfoSizeW");
    decltype(&::GetFileVersionInfoW) info = GetProc<decltype(info)>(m_version.get(), "GetFileVersionInfoW");
    decltype(&::VerQueryValueW) query = GetProc<decltype(query)>(m_version.get(), "VerQueryValueW");
    if (infoSize == NULL || info == NULL || query == NULL) return false;
    DWORD handle = 0;
    const DWORD size = infoSize(m_path.c_str(), &handle);
    if (size == 0) return false;
    m_memory.reset(new QVGlobalMemory(size));
    if (m_memory->data() == NULL) return false;
    info(m_path.c_str(), 0, size, m_memory->data());
    void* translations = NULL;
    UINT length = 0;
    if (query(m_memory->data(), L"\\VarFileInfo\\Translation", &translations, &length) && translations) {
        const WORD* entry = static_cast<const WORD*>(translations);
        for (WORD i = 0; i < length / 4; ++i) {
            wchar_t prefix[64] = {0};
            _snwprintf(prefix, 63, L"\\StringFileInfo\\%04x%04x", entry[2 * i], entry[2 * i + 1]);
            m_prefixes.push_back(prefix);
        }
    }
    m_loaded = true;
    return true;
}

bool QVFileVersionInfo::FixedInfo(VS_FIXEDFILEINFO* info) {
    if (!Load()) return false;
    decltype(&::VerQueryValueW) query = GetProc<decltype(query)>(m_version.get(), "VerQueryValueW");
    void* block = NULL;
    UINT length = 0;
    if (query == NULL || !query(m_memory->data(), L"\\", &block, &length) || block == NULL || length < sizeof(*info)) {
        return false;
    }
    memcpy(info, block, sizeof(*info));
    return true;
}

bool GetFileProductVersion(const std::wstring& path, uint32_t version[4]) {
    QVFileVersionInfo info(path);
    VS_FIXEDFILEINFO fixed;
    if (!info.FixedInfo(&fixed)) return false;
    version[0] = HIWORD(fixed.dwProductVersionMS);
    version[1] = LOWORD(fixed.dwProductVersionMS);
    version[2] = HIWORD(fixed.dwProductVersionLS);
    version[3] = LOWORD(fixed.dwProductVersionLS);
    return true;
}

QVFlashInfo::QVFlashInfo() : m_found(false) { m_version[0] = m_version[1] = m_version[2] = m_version[3] = 0; }

void QVFlashInfo::ProbeFlashPlayer() {
    const HRESULT com = ::CoInitialize(NULL);
    CLSID clsid;
    if (SUCCEEDED(::CLSIDFromProgID(kProgId, &clsid))) {
        m_found = true;
        if (!FromUninstallEntry()) FromControlFile();
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
}

bool QVFlashInfo::FromUninstallEntry() {
    RegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, kUninstallKey)) return false;
    std::wstring version;
    if (!ReadRegistryString(version, key, L"DisplayVersion")) return false;
    if (!ParseVersionText(version, m_version)) return false;
    return ReadRegistryString(m_name, key, L"DisplayName");
}

void QVFlashInfo::FromControlFile() {
    RegistryKey key;
    if (!key.Open(HKEY_CLASSES_ROOT, kClassKey)) return;
    std::wstring path;
    if (!ReadRegistryString(path, key, NULL)) return;
    if (!GetFileProductVersion(path, m_version)) return;
    FormatString(m_name, L"Adobe Flash Player %d ActiveX", static_cast<int>(m_version[0]));
}

}  // namespace Quorvel
