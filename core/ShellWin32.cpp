#include <windows.h>
#include <shlobj.h>

#include "core/Shell.h"

namespace Quorvel {

std::wstring GetSpecialFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {0};
    if (!::SHGetSpecialFolderPathW(NULL, buffer, csidl, FALSE)) return std::wstring();
    buffer[MAX_PATH - 1] = 0;
    return std::wstring(buffer);
}

std::wstring AppDataFolder() { return GetSpecialFolder(kCsidlAppData); }
std::wstring DesktopFolder() { return GetSpecialFolder(kCsidlDesktopDirectory); }
std::wstring ProgramsFolder() { return GetSpecialFolder(kCsidlPrograms); }

}  // namespace Quorvel
