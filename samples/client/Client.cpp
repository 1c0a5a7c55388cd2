// The sample game's client: appends one line per start to starts.log beside
// itself (UTF-8: the command line and the working folder), then exits.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), NULL, 0, NULL, NULL);
    std::string out(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], length, NULL, NULL);
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    wchar_t self[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, self, MAX_PATH - 1);
    std::wstring log(self);
    log = log.substr(0, log.rfind(L'\\') + 1) + L"starts.log";

    wchar_t cwd[MAX_PATH] = {0};
    ::GetCurrentDirectoryW(MAX_PATH - 1, cwd);
    const std::string line = "start\tcmdline=" + Utf8(::GetCommandLineW()) + "\tcwd=" + Utf8(cwd) + "\r\n";

    HANDLE file = ::CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, NULL);
        ::CloseHandle(file);
    }
    return 0;
}
