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

bool ExtractFile(HANDLE archive, const std::wstring& target, const QVFileItem& item, QVBuffer<unsigned char>& buffer,
                 bool* created) {
    // A read-only, hidden or system file from an earlier run would make
    // CREATE_ALWAYS fail.
    ClearBlockingAttributes(target);
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

    for (size_t i = 0; i < entries.size(); ++i) {
        const QVFileItem& item = *entries[i];
        if (item.type != kEntryFile && item.type != kEntryDirectory) continue;
        const std::wstring target = JoinPath(destination, ItemName(item));
        const std::wstring parent = DirectoryOf(target);
        if (!IsDirectory(parent)) EnsureDirectory(parent);
        if (item.type == kEntryDirectory) {
            ::CreateDirectoryW(target.c_str(), NULL);
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
