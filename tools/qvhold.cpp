// qvhold FILE SECONDS [--wait]: keeps FILE open for SECONDS with read
// sharing only, as a scanner does (so it can be neither deleted, renamed
// nor written meanwhile), and prints "held" once it has it. With --wait it
// keeps trying, for up to a minute, until the file exists and can be
// opened so. "-" as FILE holds nothing: copied to any name, it is a
// stand-in process of that name.
#include <windows.h>

#include <stdlib.h>

#include "tools/ToolOutput.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const bool wait = argc > 3 && lstrcmpW(argv[3], L"--wait") == 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (argv[1][0] != L'-' || argv[1][1] != 0) {
        const DWORD started = ::GetTickCount();
        for (;;) {
            file = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
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
