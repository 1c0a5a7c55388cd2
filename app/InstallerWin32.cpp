#include "app/InstallerWin32.h"

#include "app/Launch.h"
#include "archive/Archive.h"
#include "archive/EntryName.h"
#include "archive/PathHelpers.h"
#include "core/HandlesWin32.h"
#include "core/PathOps.h"
#include "report/Report.h"
#include "shortcuts/Shortcuts.h"

namespace Quorvel {

namespace {

const wchar_t kTempExe[] = L"temp.exe";

// The whole 260 units go to the call, so that a 259-character path fits
// with its terminator; XP leaves a path that does not fit unterminated, and
// the zeroed extra unit ends it.
std::wstring OwnModulePath() {
    wchar_t buffer[MAX_PATH + 1] = {0};
    ::GetModuleFileNameW(NULL, buffer, MAX_PATH);
    return std::wstring(buffer);
}

}  // namespace

std::wstring StatsHost() {
    wchar_t host[256] = {0};
    ::LoadStringW(::GetModuleHandleW(NULL), kStatsHostString, host, 255);
    return host;
}

void QVInstaller::SendUsageReport() { PostUsageReport(m_folder + ResourceFileName(kSettingsResource), StatsHost()); }

QVInstaller::QVInstaller() : m_module(NULL) {}

bool QVInstaller::WriteResourceFile(int id, const void* data, uint32_t size) {
    const std::wstring name = ResourceFileName(id);
    if (name.empty()) return false;
    const std::wstring path = m_folder + name;
    ClearBlockingAttributes(path);
    QVFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    if (!file.valid()) return false;
    if (data == NULL) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), data, size, &written, NULL) && written == size;
}

bool QVInstaller::WriteOwnResource(int id) {
    HRSRC info = ::FindResourceW(m_module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (info == NULL) return false;
    HGLOBAL loaded = ::LoadResource(m_module, info);
    if (loaded == NULL) return false;
    const void* data = ::LockResource(loaded);
    if (data == NULL) return false;
    return WriteResourceFile(id, data, ::SizeofResource(m_module, info));
}

std::wstring QVInstaller::ReadGameName(const std::wstring& settingsPath) const {
    wchar_t buffer[MAX_PATH] = {0};
    ::GetPrivateProfileStringW(L"game", L"name", NULL, buffer, MAX_PATH, settingsPath.c_str());
    buffer[MAX_PATH - 1] = 0;
    return std::wstring(buffer);
}

void QVInstaller::Run(const std::wstring& baseFolder, bool updateMode) {
    m_folder = baseFolder;
    if (!EnsureDirectory(m_folder)) return;
    if (m_folder[m_folder.size() - 1] != L'\\') m_folder += L'\\';

    QVLibrary module(::LoadLibraryW(OwnModulePath().c_str()));
    if (!module.valid()) return;
    m_module = module.get();

    const std::wstring settingsName = ResourceFileName(kSettingsResource);
    bool success = false;
    if (WriteOwnResource(kSettingsResource)) {
        const std::wstring baseSettings = m_folder + settingsName;
        const std::wstring name = ReadGameName(baseSettings);
        // The name becomes a folder, a file and shortcut names: one that is
        // empty or not a plain file name would install into the base folder
        // or outside it. Install nothing and take the settings file back.
        if (!IsPlainNameComponent(name)) {
            ::DeleteFileW(baseSettings.c_str());
        } else {
            m_folder += name;
            m_folder += L'\\';
            if (EnsureDirectory(m_folder)) {
                const std::wstring installedSettings = m_folder + settingsName;
                ClearBlockingAttributes(installedSettings);
                ::DeleteFileW(installedSettings.c_str());
                ::CopyFileW(baseSettings.c_str(), installedSettings.c_str(), FALSE);
                ::DeleteFileW(baseSettings.c_str());
                if (WriteOwnResource(kClientResource) && WriteOwnResource(kArchiveResource)) {
                    const std::wstring archivePath = m_folder + ResourceFileName(kArchiveResource);
                    QVArchive archive;
                    if (archive.Extract(m_folder + L"res", archivePath)) {
                        ::DeleteFileW(archivePath.c_str());
                        success = true;
                    }
                }
            }
        }
    }
    m_module = NULL;
    module.reset();
    if (!success) return;

    const std::wstring name = ReadGameName(m_folder + settingsName);
    if (!IsPlainNameComponent(name)) return;
    const std::wstring executable = m_folder + name + L".exe";
    const std::wstring temp = m_folder + kTempExe;
    // A game named "temp" already has its client under the final name;
    // deleting "the old one" would delete the new one.
    if (!EqualsNoCase(executable, temp)) {
        ClearBlockingAttributes(executable);
        ::DeleteFileW(executable.c_str());
        RenameFile(executable, temp);
        // Gone already after a rename; removes the new client when the old
        // one could not be replaced (it is running).
        ::DeleteFileW(temp.c_str());
    }

    CreateShortcuts(name, executable);
    if (!updateMode) LaunchProgram(executable, DirectoryOf(executable));
    SendUsageReport();
}

}  // namespace Quorvel
