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

void ClearBlockingAttributes(const std::wstring& path) {
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (attributes & blocking) ::SetFileAttributesW(path.c_str(), attributes & ~blocking);
}

}  // namespace Quorvel
