#ifndef QV_ARCHIVE_PATHHELPERS_H
#define QV_ARCHIVE_PATHHELPERS_H

#include <string>

namespace Quorvel {

// UNC ("\\...") or drive ("C:", "C:\...", "C:/..."); one leading backslash
// is not absolute.
bool IsAbsolutePath(const std::wstring& path);
// An absolute name is returned as it is; otherwise the name without its
// leading separators goes after the base and one backslash.
std::wstring JoinPath(const std::wstring& base, const std::wstring& name);
// From the last dot of the last component on, dot included; empty if none.
std::wstring PathExtension(const std::wstring& path);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

// Split a path's full form (at most 519 characters) into its folder, with
// the trailing backslash, and its file name (empty for a trailing
// separator). False when the full path cannot be had.
bool DirectoryPart(const std::wstring& path, std::wstring* folder);
bool FileNamePart(const std::wstring& path, std::wstring* fileName);

}  // namespace Quorvel

#endif
