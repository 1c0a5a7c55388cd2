#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "app/Shell.h"

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

bool LaunchProgram(const std::wstring& file, const std::wstring& directory) {
    SHELLEXECUTEINFOW info;
    ::ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    // Without this the shell answers a missing or broken file with an error
    // box, which a silent installer must never show (and which blocks it).
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.hwnd = ::GetActiveWindow();
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpParameters = NULL;
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&info)) return false;
    return reinterpret_cast<INT_PTR>(info.hInstApp) > 32;
}

}  // namespace Quorvel
