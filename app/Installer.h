#ifndef QV_APP_INSTALLER_H
#define QV_APP_INSTALLER_H

#include <stdint.h>
#include <string>

#include <windows.h>

namespace Quorvel {

// Resources the installer carries (RT_RCDATA), and the string that names the
// statistics server.
enum {
    kSettingsResource = 1000,
    kClientResource = 1001,
    kArchiveResource = 1002,
    kStatsHostString = 1003
};

// The file name a resource is written to; empty for any other id.
std::wstring ResourceFileName(int id);

class QVInstaller {
public:
    QVInstaller();

    // The whole installation into base\<game name>\. Every failure ends it
    // quietly; nothing is shown.
    void Run(const std::wstring& baseFolder, bool updateMode);

    // Writes one resource into the installation folder; a failed write
    // leaves what was written.
    bool WriteResourceFile(int id, const void* data, uint32_t size);

    // The signed usage report to the statistics server; its outcome is
    // ignored. Reads the installed settings file.
    void SendUsageReport();

    const std::wstring& Folder() const { return m_folder; }
    void SetFolder(const std::wstring& folder) { m_folder = folder; }

private:
    bool WriteOwnResource(int id);
    std::wstring ReadGameName(const std::wstring& settingsPath) const;

    HMODULE m_module;  // owned only while Run extracts
    std::wstring m_folder;
};

}  // namespace Quorvel

#endif
