#include <windows.h>

#include "archive/Archive.h"

#include "archive/PathHelpers.h"
#include "core/HandlesWin32.h"
#include "core/PathOps.h"

namespace Quorvel {

namespace {

const uint32_t kChunk = 4096;

bool ReadExactly(HANDLE file, void* buffer, DWORD length) {
    DWORD got = 0;
    return ::ReadFile(file, buffer, length, &got, NULL) && got == length;
}

FILETIME ToFileTime(const QVFileTime& t) {
    FILETIME ft;
    ft.dwLowDateTime = t.lowDateTime;
    ft.dwHighDateTime = t.highDateTime;
    return ft;
}

void ApplyTimes(HANDLE file, const QVFileItem& item) {
    const FILETIME creation = ToFileTime(item.creationTime);
    const FILETIME access = ToFileTime(item.lastAccessTime);
    const FILETIME write = ToFileTime(item.lastWriteTime);
    ::SetFileTime(file, &creation, &access, &write);
}

// Every folder from the destination down to the entry's own folder becomes
// a real folder here before anything is written below it: a link is removed
// rather than followed out of the destination, and a file in the way goes.
// verified is the deepest folder already made so, which the next entries,
// usually its neighbours, need not look at again.
// False when one of them cannot be made a real folder.
bool IsRealFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeFoldersDown(const std::wstring& destination, const std::wstring& target, std::wstring& verified) {
    const std::wstring::size_type last = target.find_last_of(L"\\/");
    if (destination.empty() || last == std::wstring::npos || last + 1 < destination.size()) return true;
    const std::wstring folder = target.substr(0, last);
    if (folder == verified) return true;
    std::wstring::size_type end = destination.size() - 1;  // the destination itself first
    for (;;) {
        const std::wstring step = target.substr(0, end);
        const bool known = verified.compare(0, step.size(), step) == 0 &&
                           (verified.size() == step.size() || IsPathSeparator(verified[step.size()]));
        if (!known && !step.empty() && !IsPathSeparator(step[step.size() - 1]) && !IsRealFolder(step)) {
            ClearWayForFolder(step);
            ::CreateDirectoryW(step.c_str(), NULL);
            if (!IsRealFolder(step)) return false;
        }
        if (end >= last) break;
        end = target.find_first_of(L"\\/", end + 1);
    }
    verified = folder;
    return true;
}

bool ExtractFile(HANDLE archive, const std::wstring& target, const QVFileItem& item, QVBuffer<unsigned char>& buffer,
                 bool* created) {
    // A read-only, hidden or system file from an earlier run would make
    // CREATE_ALWAYS fail, as would an empty folder; a link is not followed.
    if (!ClearWayForFile(target)) return false;
    QVFileHandle out(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                   FileAttributesForCreate(item.attributes), NULL));
    if (!out.valid()) return false;
    *created = true;
    ApplyTimes(out.get(), item);
    uint64_t remaining = item.size;
    while (remaining > 0) {
        const DWORD chunk = remaining > kChunk ? kChunk : static_cast<DWORD>(remaining);
        if (!ReadExactly(archive, buffer.Data(), chunk)) return false;
        DWORD written = 0;
        if (!::WriteFile(out.get(), buffer.Data(), chunk, &written, NULL) || written != chunk) return false;
        remaining -= chunk;
    }
    // Writing moves the write time on (Wine, some file systems): set the
    // entry's times again so that the file keeps them.
    if (item.size > 0) ApplyTimes(out.get(), item);
    return true;
}

}  // namespace

QVArchive::QVArchive() : magic(sizeof(kMagic)) {
    if (magic.Data() != 0) memcpy(magic.Data(), kMagic, sizeof(kMagic));
}

bool QVArchive::Extract(const std::wstring& destination, const std::wstring& archivePath) {
    QVFileHandle archive(::CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!archive.valid()) return false;
    QVBuffer<unsigned char> buffer(kChunk);
    if (buffer.Data() == 0 || magic.Data() == 0) return false;

    if (!ReadExactly(archive.get(), buffer.Data(), kHeaderSize)) return false;
    if (memcmp(buffer.Data(), magic.Data(), sizeof(kMagic)) != 0) return false;
    uint32_t count = 0;
    if (!DecodeHeader(buffer.Data(), kHeaderSize, &count)) return false;

    // The count comes from the file: bound the table by the file's size so
    // that 568 x count can neither wrap nor ask for more than is there.
    LARGE_INTEGER archiveSize;
    if (!::GetFileSizeEx(archive.get(), &archiveSize) || archiveSize.QuadPart < 0) return false;
    uint32_t tableLength = 0;
    if (!TableLength(count, static_cast<uint64_t>(archiveSize.QuadPart), &tableLength)) return false;
    if (!buffer.Resize(tableLength)) return false;
    if (!ReadExactly(archive.get(), buffer.Data(), tableLength)) return false;

    if (!DecodeTable(buffer.Data(), count, entries)) return false;
    if (!buffer.Resize(kChunk)) return false;

    std::wstring head(destination);
    NormalizePath(head, StripQuotes);
    NormalizePath(head, EnsureTrailingSeparator);
    std::wstring verified;
    for (size_t i = 0; i < entries.size(); ++i) {
        const QVFileItem& item = *entries[i];
        if (item.type != kEntryFile && item.type != kEntryDirectory) continue;
        const std::wstring target = JoinPath(destination, ItemName(item));
        if (!MakeFoldersDown(head, target, verified)) return false;
        if (item.type == kEntryDirectory) {
            ClearWayForFolder(target);
            ::CreateDirectoryW(target.c_str(), NULL);
            // A link that cannot be moved aside is never written through.
            const DWORD attributes = ::GetFileAttributesW(target.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
            continue;
        }
        bool created = false;
        const bool copied = ExtractFile(archive.get(), target, item, buffer, &created);
        if (created && EqualsNoCase(PathExtension(target), L".swf")) swfPath = target;
        if (!copied) return false;
    }
    return true;
}

}  // namespace Quorvel
