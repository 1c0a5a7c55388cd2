#include <windows.h>
#include <shellapi.h>

#include "app/Launch.h"

namespace Quorvel {

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
