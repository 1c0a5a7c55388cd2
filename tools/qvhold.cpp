// qvhold FILE SECONDS [share]: keeps FILE open for SECONDS, by default with
// read sharing only (so it can be neither deleted nor renamed meanwhile).
// Also serves as a stand-in process of any name: copy it to that name.
#include <windows.h>

#include <stdlib.h>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (argv[1][0] != L'-') {
        file = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) return 1;
    }
    ::Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return 0;
}
