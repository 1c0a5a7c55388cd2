// qvhold FILE SECONDS [--wait] [--share-all]: keeps FILE open for SECONDS
// with read sharing only, as a scanner does (so it can be neither deleted,
// renamed nor written meanwhile), and prints "held" once it has it. With
// --wait it keeps trying, for up to a minute, until the file exists and can
// be opened so. With --share-all it shares everything, as a polite reader
// does: a delete meanwhile then completes only when it lets go. "-" as FILE
// holds nothing: copied to any name, it is a stand-in process of that name.
#include <windows.h>

#include <stdlib.h>

#include "tools/ToolOutput.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    bool wait = false;
    DWORD sharing = FILE_SHARE_READ;
    for (int i = 3; i < argc; ++i) {
        if (lstrcmpW(argv[i], L"--wait") == 0) wait = true;
        if (lstrcmpW(argv[i], L"--share-all") == 0) sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    if (argv[1][0] != L'-' || argv[1][1] != 0) {
        const DWORD started = ::GetTickCount();
        for (;;) {
            file = ::CreateFileW(argv[1], GENERIC_READ, sharing, NULL, OPEN_EXISTING, 0, NULL);
            if (file != INVALID_HANDLE_VALUE || !wait || ::GetTickCount() - started > 60000) break;
            ::Sleep(2);
        }
        if (file == INVALID_HANDLE_VALUE) return 1;
        PrintUtf8(L"held\n");
    }
    ::Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return 0;
}
