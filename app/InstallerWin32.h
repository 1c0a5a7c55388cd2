#ifndef QV_APP_INSTALLERWIN32_H
#define QV_APP_INSTALLERWIN32_H

#include <stdint.h>
#include <string>

#include <windows.h>

#include "app/Resources.h"

namespace Quorvel {

class QVInstanceLock;

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
    // ignored. Reads the installed settings file, then releases the lock.
    void SendUsageReport();

    const std::wstring& Folder() const { return m_folder; }
    // Held by the caller for the run; released once the client is started
    // and the report has read the installed settings, before it is sent.
    void SetInstanceLock(QVInstanceLock* lock) { m_lock = lock; }

private:
    bool FindOwnResource(int id, const void** data, uint32_t* size) const;
    bool WriteOwnResource(int id);
    bool WriteBytes(const std::wstring& path, const void* data, uint32_t size);
    std::wstring ReadGameName(const std::wstring& settingsPath) const;
    // Starts the installed client, unless this is an update or a run
    // queued for the lock will start it.
    void StartClient(const std::wstring& executable, bool updateMode);

    HMODULE m_module;  // owned only while Run extracts
    QVInstanceLock* m_lock;
    std::wstring m_folder;
};

// The statistics server this installer was built for; empty if none.
std::wstring StatsHost();

// This program's own file, as GetModuleFileNameW gives it.
std::wstring OwnModulePath();

}  // namespace Quorvel

#endif
