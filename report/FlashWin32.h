#ifndef QV_REPORT_FLASHWIN32_H
#define QV_REPORT_FLASHWIN32_H

#include <stdint.h>
#include <string>
#include <vector>

#include <windows.h>

#include <boost/shared_ptr.hpp>

#include "core/HandlesWin32.h"

namespace Quorvel {

// An open key and the last error of an operation on it.
struct RegistryKey {
    QVRegKey key;
    LONG lastError;
    RegistryKey() : lastError(ERROR_SUCCESS) {}
    bool Open(HKEY root, const wchar_t* path);  // KEY_QUERY_VALUE
};

// A string value of at most 511 characters; false (out emptied) otherwise.
bool ReadRegistryString(std::wstring& out, RegistryKey& key, const wchar_t* name);

// One file's version resource.
class QVFileVersionInfo {
public:
    explicit QVFileVersionInfo(const std::wstring& path);
    bool Load();
    bool FixedInfo(VS_FIXEDFILEINFO* info);
    const std::vector<std::wstring>& Prefixes() const { return m_prefixes; }

private:
    std::vector<std::wstring> m_prefixes;  // "\StringFileInfo\llllcccc", one per translation
    bool m_loaded;
    QVLibrary m_version;  // version.dll from the system folder, while the data is read
    boost::shared_ptr<QVGlobalMemory> m_memory;
    std::wstring m_path;
};

// The product version of a file's version resource as four numbers.
bool GetFileProductVersion(const std::wstring& path, uint32_t version[4]);

// The Flash Player ActiveX control, if registered: its name and version
// from the uninstall entry, else from the control file's version resource.
class QVFlashInfo {
public:
    QVFlashInfo();
    void ProbeFlashPlayer();
    std::wstring GetFlashName() const { return m_name; }
    bool Found() const { return m_found; }
    const uint32_t* Version() const { return m_version; }

private:
    bool FromUninstallEntry();
    void FromControlFile();

    bool m_found;
    std::wstring m_name;
    uint32_t m_version[4];
};

}  // namespace Quorvel

#endif
