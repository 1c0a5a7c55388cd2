// qvrun [--unquoted] COUNT PROGRAM [ARGUMENT]: starts COUNT copies of
// PROGRAM at the same moment, as a player's double click started twice
// would, waits for all of them and prints their exit codes, one line.
// --unquoted leaves PROGRAM's path unquoted on the command line, as some
// launchers do. The copies are created
// suspended and let go together: loading one under a busy machine's load
// would otherwise give the other a head start of the whole installation.
#include <windows.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "core/HandlesWin32.h"
#include "tools/ToolOutput.h"

int wmain(int argc, wchar_t** argv) {
    const bool unquoted = argc > 1 && std::wstring(argv[1]) == L"--unquoted";
    if (unquoted) {
        --argc;
        ++argv;
    }
    if (argc < 3) return 2;
    const int count = _wtoi(argv[1]);
    std::wstring commandLine = unquoted ? std::wstring(argv[2]) : L"\"" + std::wstring(argv[2]) + L"\"";
    if (argc > 3) commandLine += L" " + std::wstring(argv[3]);
    std::vector<Quorvel::QVKernelHandle> processes, threads;
    for (int i = 0; i < count; ++i) {
        STARTUPINFOW startup;
        ::ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process;
        std::wstring line = commandLine;
        if (!::CreateProcessW(argv[2], &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &process)) {
            // The copies made so far would wait, suspended, for ever.
            for (const Quorvel::QVKernelHandle& started : processes) ::TerminateProcess(started.get(), 1);
            return 1;
        }
        threads.emplace_back(process.hThread);
        processes.emplace_back(process.hProcess);
    }
    for (const Quorvel::QVKernelHandle& thread : threads) ::ResumeThread(thread.get());
    std::wstring codes;
    for (const Quorvel::QVKernelHandle& process : processes) {
        ::WaitForSingleObject(process.get(), 120000);
        DWORD code = 259;
        ::GetExitCodeProcess(process.get(), &code);
        codes += Number(code) + L" ";
    }
    PrintUtf8(codes + L"\n");
    return 0;
}
