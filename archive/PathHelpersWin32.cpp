#include <windows.h>

#include "archive/PathHelpers.h"

namespace Quorvel {

namespace {

const DWORD kFullPathLimit = 520;

bool SplitFullPath(const std::wstring& path, std::wstring* folder, std::wstring* fileName) {
    wchar_t buffer[kFullPathLimit + 1] = {0};
    wchar_t* filePart = NULL;
    const DWORD length = ::GetFullPathNameW(path.c_str(), kFullPathLimit, buffer, &filePart);
    if (length == 0 || length >= kFullPathLimit) return false;
    const std::wstring full(buffer, length);
    std::wstring::size_type split = full.size();
    if (filePart != NULL && filePart >= buffer && filePart <= buffer + length) {
        split = static_cast<std::wstring::size_type>(filePart - buffer);
    }
    if (folder != NULL) *folder = full.substr(0, split);
    if (fileName != NULL) *fileName = full.substr(split);
    return true;
}

}  // namespace

bool DirectoryPart(const std::wstring& path, std::wstring* folder) { return SplitFullPath(path, folder, NULL); }
bool FileNamePart(const std::wstring& path, std::wstring* fileName) { return SplitFullPath(path, NULL, fileName); }

}  // namespace Quorvel
