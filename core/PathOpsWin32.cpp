#include <windows.h>
#include <stdio.h>

#include "core/PathOps.h"

namespace Quorvel {

namespace {

DWORD AttributesOf(const std::wstring& path) {
    std::wstring copy(path);
    NormalizePath(copy, StripQuotes | TrimTrailingSeparators);
    return ::GetFileAttributesW(copy.c_str());
}

}  // namespace

bool PathExists(const std::wstring& path) { return AttributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EnsureDirectory(const std::wstring& path) {
    for (std::wstring::size_type i = 0; i < path.size(); ++i) {
        if (!IsPathSeparator(path[i])) continue;
        const std::wstring prefix = path.substr(0, i);
        if (!prefix.empty() && !PathExists(prefix)) ::CreateDirectoryW(prefix.c_str(), NULL);
    }
    if (!PathExists(path) && !::CreateDirectoryW(path.c_str(), NULL)) return false;
    return IsDirectory(path);
}

bool RenameFile(const std::wstring& newPath, const std::wstring& existingPath) {
    return ::_wrename(existingPath.c_str(), newPath.c_str()) == 0;
}

bool MoveReplacing(const std::wstring& newPath, const std::wstring& existingPath) {
    return ::MoveFileExW(existingPath.c_str(), newPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void ClearBlockingAttributes(const std::wstring& path) {
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (attributes & blocking) ::SetFileAttributesW(path.c_str(), attributes & ~blocking);
}

bool IsRegularFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & notPlain) == 0;
}

namespace {

// Removes a link itself, never what it points to: Windows removes a
// junction or directory link with RemoveDirectoryW. Wine follows such a
// link there and in a rename (it moved the target), so there it stays; a
// link that stays is never written through.
bool RemoveLink(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ::RemoveDirectoryW(path.c_str()) != FALSE;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) != FALSE;
}

}  // namespace

bool ClearWayForFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return RemoveLink(path, attributes);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ::RemoveDirectoryW(path.c_str()) != FALSE;  // only when empty
    ClearBlockingAttributes(path);
    return true;
}

bool ClearWayForFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return RemoveLink(path, attributes);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    ClearBlockingAttributes(path);
    return ::DeleteFileW(path.c_str()) != FALSE;
}

}  // namespace Quorvel
