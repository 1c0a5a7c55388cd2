// qvstat DIR: one line per file or folder below DIR, as Windows reports it:
//   relative path \t type (f/d) \t size \t attributes \t creation \t access \t write
// Times are FILETIME values (100 ns since 1601, UTC).
#include <windows.h>

#include <string>

#include "tools/ToolOutput.h"

namespace {

unsigned long long Value(const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

void Walk(const std::wstring& root, const std::wstring& relative) {
    WIN32_FIND_DATAW data;
    const std::wstring pattern = root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*";
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name(data.cFileName);
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        PrintUtf8(path + L"\t" + (folder ? L"d" : L"f") + L"\t" + Number(size) + L"\t" + Hex(data.dwFileAttributes) +
                  L"\t" + Number(Value(data.ftCreationTime)) + L"\t" + Number(Value(data.ftLastAccessTime)) + L"\t" +
                  Number(Value(data.ftLastWriteTime)) + L"\n");
        if (folder) Walk(root, path);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    Walk(argv[1], std::wstring());
    return 0;
}
