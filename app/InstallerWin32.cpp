#include "app/InstallerWin32.h"

#include "app/Installer.h"
#include "app/InstanceLockWin32.h"
#include "app/Launch.h"
#include "archive/Archive.h"
#include "archive/PathHelpers.h"
#include "core/Buffer.h"
#include "core/HandlesWin32.h"
#include "core/Names.h"
#include "core/PathOps.h"
#include "report/Report.h"
#include "shortcuts/Shortcuts.h"

namespace Quorvel {

// The whole 260 units go to the call, so that a 259-character path fits
// with its terminator; XP leaves a path that does not fit unterminated, and
// the zeroed extra unit ends it.
std::wstring OwnModulePath() {
    wchar_t buffer[MAX_PATH + 1] = {0};
    ::GetModuleFileNameW(NULL, buffer, MAX_PATH);
    return std::wstring(buffer);
}

std::wstring StatsHost() {
    wchar_t host[256] = {0};
    ::LoadStringW(::GetModuleHandleW(NULL), kStatsHostString, host, 255);
    return host;
}

void QVInstaller::SendUsageReport() {
    // Read while the lock is held: the next run replaces these settings as
    // soon as it has the lock, and a delete while they are open here would
    // complete when they are closed, after its copy had failed.
    const QVReportedGame game = ReadReportedGame(m_folder + ResourceFileName(kSettingsResource));
    if (m_lock != NULL) m_lock->Release();
    PostUsageReport(game, StatsHost());
}

QVInstaller::QVInstaller() : m_module(NULL), m_lock(NULL) {}

bool QVInstaller::WriteResourceFile(int id, const void* data, uint32_t size) {
    const std::wstring name = ResourceFileName(id);
    if (name.empty()) return false;
    return WriteBytes(m_folder + name, data, size);
}

namespace {

const uint32_t kCopyChunk = 1024 * 1024;
const uint32_t kComparedBytes = 4096;

// The resource's place in the program's own file, from the section table
// of its loaded image; false when it does not lie whole in one section.
bool OwnFileOffset(HMODULE module, const void* data, uint32_t size, uint32_t* offset) {
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (module == NULL || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    std::vector<QVSectionSpan> sections;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        sections.push_back(QVSectionSpan{section[i].VirtualAddress, section[i].Misc.VirtualSize,
                                         section[i].PointerToRawData, section[i].SizeOfRawData});
    }
    const BYTE* bytes = static_cast<const BYTE*>(data);
    if (bytes < base) return false;
    return FileOffsetOf(sections, static_cast<uint32_t>(bytes - base), size, offset);
}

bool ReadExactly(HANDLE file, void* buffer, DWORD length) {
    DWORD got = 0;
    return ::ReadFile(file, buffer, length, &got, NULL) && got == length;
}

bool WriteExactly(HANDLE file, const void* buffer, DWORD length) {
    DWORD written = 0;
    return ::WriteFile(file, buffer, length, &written, NULL) && written == length;
}

// Copies a resource from the program's own file in bounded pieces. Written
// from the mapped image instead, every page of a large archive would stay
// in the installer's working set until it ends.
bool CopyFromOwnFile(HMODULE module, const void* data, uint32_t size, HANDLE out) {
    uint32_t offset = 0;
    if (!OwnFileOffset(module, data, size, &offset)) return false;
    QVFileHandle own(::CreateFileW(OwnModulePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL));
    LARGE_INTEGER at;
    at.QuadPart = offset;
    if (!own.valid() || !::SetFilePointerEx(own.get(), at, NULL, FILE_BEGIN)) return false;
    QVBuffer<unsigned char> buffer(size < kCopyChunk ? (size > 0 ? size : 1) : kCopyChunk);
    if (buffer.Data() == NULL) return false;
    uint32_t done = 0;
    while (done < size) {
        const uint32_t chunk = size - done < buffer.Count() ? size - done : buffer.Count();
        if (!ReadExactly(own.get(), buffer.Data(), chunk)) return false;
        // The file on disk must still be the image that runs: the
        // resource's first and last pages say so. Comparing more would
        // bring as much of the mapped image into the working set, for the
        // rest of the run.
        const unsigned char* mapped = static_cast<const unsigned char*>(data);
        const QVComparedParts parts = ComparedParts(done, chunk, size, kComparedBytes);
        if (memcmp(buffer.Data() + (parts.headBegin - done), mapped + parts.headBegin, parts.headEnd - parts.headBegin) ||
            memcmp(buffer.Data() + (parts.tailBegin - done), mapped + parts.tailBegin, parts.tailEnd - parts.tailBegin)) {
            return false;
        }
        if (!WriteExactly(out, buffer.Data(), chunk)) return false;
        done += chunk;
    }
    return true;
}

}  // namespace

bool QVInstaller::WriteBytes(const std::wstring& path, const void* data, uint32_t size) {
    if (!ClearWayForFile(path)) return false;
    QVFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    if (!file.valid()) return false;
    if (data == NULL) return false;
    if (CopyFromOwnFile(m_module, data, size, file.get())) return true;
    // Not readable from the file: from memory, from the start again.
    LARGE_INTEGER start;
    start.QuadPart = 0;
    return ::SetFilePointerEx(file.get(), start, NULL, FILE_BEGIN) && ::SetEndOfFile(file.get()) &&
           WriteExactly(file.get(), data, size);
}

bool QVInstaller::FindOwnResource(int id, const void** data, uint32_t* size) const {
    HRSRC info = ::FindResourceW(m_module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (info == NULL) return false;
    HGLOBAL loaded = ::LoadResource(m_module, info);
    if (loaded == NULL) return false;
    *data = ::LockResource(loaded);
    *size = ::SizeofResource(m_module, info);
    return *data != NULL;
}

bool QVInstaller::WriteOwnResource(int id) {
    const void* data = NULL;
    uint32_t size = 0;
    return FindOwnResource(id, &data, &size) && WriteResourceFile(id, data, size);
}

std::wstring QVInstaller::ReadGameName(const std::wstring& settingsPath) const {
    wchar_t buffer[MAX_PATH] = {0};
    ::GetPrivateProfileStringW(L"game", L"name", NULL, buffer, MAX_PATH, settingsPath.c_str());
    buffer[MAX_PATH - 1] = 0;
    return std::wstring(buffer);
}

namespace {

// A file this run made, deleted when the owner goes, whatever happened. A
// scanner that opened it without delete sharing holds the delete off for
// a moment: it is tried again for up to 2 s.
class QVRunFile {
public:
    explicit QVRunFile(const std::wstring& path) : m_path(path) {}
    ~QVRunFile() {
        if (m_path.empty()) return;
        ::SetFileAttributesW(m_path.c_str(), FILE_ATTRIBUTE_NORMAL);
        for (int tries = 0; !::DeleteFileW(m_path.c_str()) && tries < 20; ++tries) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
            ::Sleep(100);
        }
    }
    QVRunFile(const QVRunFile&) = delete;
    QVRunFile& operator=(const QVRunFile&) = delete;
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

// A new, empty file under a name no other file in folder has; empty when
// none can be made.
std::wstring NewUniqueFile(const std::wstring& folder) {
    wchar_t path[MAX_PATH + 1] = {0};
    if (folder.size() > MAX_PATH - 14 || ::GetTempFileNameW(folder.c_str(), L"qvs", 0, path) == 0) {
        return std::wstring();
    }
    return path;
}

// Whether the file at path holds exactly these bytes.
bool FileHolds(const std::wstring& path, const void* data, uint32_t size) {
    QVFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, 0, NULL));
    LARGE_INTEGER length;
    if (!file.valid() || !::GetFileSizeEx(file.get(), &length) || length.QuadPart != size) return false;
    QVBuffer<unsigned char> bytes(size > 0 ? size : 1);
    return bytes.Data() != NULL && (size == 0 || ReadExactly(file.get(), bytes.Data(), size)) &&
           memcmp(bytes.Data(), data, size) == 0;
}

// Writes data into path, which must not exist yet (createNew) or be this
// run's own empty file; a file this run made is removed again on failure.
bool WriteNewFile(const std::wstring& path, const void* data, uint32_t size, bool createNew) {
    QVFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, createNew ? CREATE_NEW : TRUNCATE_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file.valid()) {
        if (!createNew) ::DeleteFileW(path.c_str());
        return false;
    }
    if (WriteExactly(file.get(), data, size)) return true;
    file.reset();
    ::DeleteFileW(path.c_str());
    return false;
}

// The settings' first copy in base, this run's own to remove; empty when
// none can be made. It goes under the name its bytes give, so that what a
// run of this installer killed meanwhile left there is taken over as it is
// (and removed) by the next. A file of another program under that name is
// never touched: the copy then takes a name of its own.
std::wstring PlaceSettingsCopy(const std::wstring& base, const void* settings, uint32_t size) {
    const std::wstring path = base + SettingsCopyName(settings, size);
    if (WriteNewFile(path, settings, size, true)) return path;
    if (::GetLastError() == ERROR_FILE_EXISTS && IsRegularFile(path) && FileHolds(path, settings, size)) return path;
    const std::wstring unique = NewUniqueFile(base);
    if (unique.empty()) return unique;
    return WriteNewFile(unique, settings, size, false) ? unique : std::wstring();
}

// The new settings take the old ones' place in one step, by way of temp
// in the same folder. Deleted first, they were lost to a reader holding
// them with delete sharing: the delete completes when it lets go, after
// the copy has failed.
void ReplaceSettings(const std::wstring& installed, const std::wstring& temp, const std::wstring& source) {
    if (!ClearWayForFile(installed)) return;
    if (ClearWayForFile(temp) && ::CopyFileW(source.c_str(), temp.c_str(), FALSE) && MoveReplacing(installed, temp)) {
        return;
    }
    ::DeleteFileW(temp.c_str());
    // In place, then: a reader without delete sharing stops a rename but
    // may let a write.
    ::CopyFileW(source.c_str(), installed.c_str(), FALSE);
}

}  // namespace

void QVInstaller::StartClient(const std::wstring& executable, bool updateMode) {
    // A run waiting for the lock installs next and starts the client
    // itself: started here, the client would hold the file it replaces.
    // (One that comes between this check and the release finds the client
    // started, and its own left aside, as with any running one.)
    if (updateMode || (m_lock != NULL && m_lock->ClientStarterWaiting())) return;
    LaunchProgram(executable, DirectoryOf(executable));
}

void QVInstaller::Run(const std::wstring& baseFolder, bool updateMode) {
    m_folder = baseFolder;
    if (!EnsureDirectory(m_folder)) return;
    if (m_folder[m_folder.size() - 1] != L'\\') m_folder += L'\\';
    const std::wstring base = m_folder;

    QVLibrary module(::LoadLibraryW(OwnModulePath().c_str()));
    if (!module.valid()) return;
    m_module = module.get();

    const std::wstring settingsName = ResourceFileName(kSettingsResource);
    std::wstring name;
    bool placed = false;
    {
        // The settings file's first copy goes under a name of this
        // installer's own (a setting.ini in the base folder belongs to
        // another program), and lives only until its name is read and it is
        // copied into the installation folder: gone again at the end of
        // this block, on every path, before the client and the archive.
        const void* settings = NULL;
        uint32_t settingsSize = 0;
        if (FindOwnResource(kSettingsResource, &settings, &settingsSize)) {
            const QVRunFile baseSettings(PlaceSettingsCopy(base, settings, settingsSize));
            if (!baseSettings.Path().empty()) {
                name = ReadGameName(baseSettings.Path());
                // The name becomes a folder, a file and shortcut names: one
                // that is not a plain file name, or too long for the client's
                // path, would install into the base folder, outside it, or
                // halfway.
                if (IsUsableGameName(base, name) && EnsureDirectory(base + name + L'\\')) {
                    m_folder = base + name + L'\\';
                    ReplaceSettings(m_folder + settingsName, m_folder + kTempSettingsFileName, baseSettings.Path());
                    placed = true;
                }
            }
        }
    }
    bool success = false;
    if (placed && WriteOwnResource(kClientResource) && WriteOwnResource(kArchiveResource)) {
        const std::wstring archivePath = m_folder + ResourceFileName(kArchiveResource);
        QVArchive archive;
        if (archive.Extract(m_folder + kResourceFolderName, archivePath)) {
            ::DeleteFileW(archivePath.c_str());
            success = true;
        }
    }
    m_module = NULL;
    module.reset();
    if (!success) {
        // The run before left the client's start to this one: the client it
        // installed starts all the same.
        const std::wstring installed = m_folder + name + kClientExtension;
        if (placed && m_lock != NULL && m_lock->WaitedToStart() && IsRegularFile(installed)) {
            StartClient(installed, updateMode);
        }
        return;
    }

    // An installed settings file that could not be replaced may say
    // anything: the name checked at the start stands then.
    const std::wstring installedName = ReadGameName(m_folder + settingsName);
    if (IsUsableGameName(base, installedName)) name = installedName;
    const std::wstring executable = m_folder + name + kClientExtension;
    const std::wstring temp = m_folder + kTempClientFileName;
    // A game named "temp" already has its client under the final name.
    if (!EqualsNoCase(executable, temp)) {
        // The new client takes the old one's place in one step, or the old
        // one stays (it is running, or something holds one of them open):
        // there is always a client for the shortcuts.
        ClearWayForFile(executable);
        if (!MoveReplacing(executable, temp)) ::DeleteFileW(temp.c_str());
    }

    // Only a plain file is ever handed to the shell: a folder would open a
    // window.
    if (IsRegularFile(executable)) {
        CreateShortcuts(name, executable);
        StartClient(executable, updateMode);
    }
    SendUsageReport();
}

}  // namespace Quorvel
