#ifndef QV_CORE_PATHOPS_H
#define QV_CORE_PATHOPS_H

#include <string>

namespace Quorvel {

// Flags of NormalizePath, applied in the order listed.
enum {
    StripQuotes = 0x4,               // one pair of surrounding double quotes
    EnsureTrailingSeparator = 0x10,  // trailing separators become one backslash
    TrimTrailingSeparators = 0x20    // every trailing separator removed
};

bool IsPathSeparator(wchar_t c);
void NormalizePath(std::wstring& path, unsigned flags);

// Up to and including the last backslash; the whole path without one.
std::wstring DirectoryOf(const std::wstring& path);

// File-system operations; false (or empty) on any failure.
bool PathExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
bool EnsureDirectory(const std::wstring& path);
bool RenameFile(const std::wstring& newPath, const std::wstring& existingPath);

// Moves a file onto newPath in one step, replacing a file there; false,
// with both left as they were, when that cannot be done.
bool MoveReplacing(const std::wstring& newPath, const std::wstring& existingPath);

// Read-only, hidden and system make overwriting or deleting a file fail;
// drops them from an existing file so that a reinstall can replace it.
void ClearBlockingAttributes(const std::wstring& path);

// A plain file: not a folder, a device or a link.
bool IsRegularFile(const std::wstring& path);

// Makes way at a path this program owns, for a file or for a folder: a link
// (junction or symbolic link) is removed itself, never what it points to;
// an empty folder where a file belongs and a file where a folder belongs
// are removed. A folder with something in it stays. True when the way is
// now clear (nothing there, or a file, or a real folder, as wanted).
bool ClearWayForFile(const std::wstring& path);
bool ClearWayForFolder(const std::wstring& path);

}  // namespace Quorvel

#endif
