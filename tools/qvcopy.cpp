// qvcopy SRC DEST: copies a folder tree with CopyFileW, the baseline the
// extraction benchmark compares against.
#include <windows.h>

#include <string>

namespace {

bool Copy(const std::wstring& from, const std::wstring& to) {
    ::CreateDirectoryW(to.c_str(), NULL);
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((from + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        const std::wstring name(data.cFileName);
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = Copy(from + L"\\" + name, to + L"\\" + name) && ok;
        } else {
            ok = ::CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE) && ok;
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    return Copy(argv[1], argv[2]) ? 0 : 1;
}
