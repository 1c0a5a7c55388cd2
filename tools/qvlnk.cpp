// qvlnk FILE.lnk: prints a shortcut as the shell reads it, one field a line:
// target, arguments, workdir, icon (path,index), description.
#include <windows.h>
#include <objbase.h>

#include "tools/ShellLinkReader.h"
#include "tools/ToolOutput.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    if (FAILED(::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED))) return 3;
    ShellLinkInfo info;
    const bool ok = ReadShellLink(argv[1], &info);
    if (ok) {
        PrintUtf8(L"target=" + info.target + L"\n" + L"arguments=" + info.arguments + L"\n" + L"workdir=" +
                  info.workingDirectory + L"\n" + L"icon=" + info.iconPath + L"," + Number(info.iconIndex) + L"\n" +
                  L"description=" + info.description + L"\n");
    }
    ::CoUninitialize();
    return ok ? 0 : 1;
}
