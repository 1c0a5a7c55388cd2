// qvver: prints what GetVersionExW reports here, as the installer sees it:
//   major minor build platform sp_major sp_minor suite product_type
#include <windows.h>

#include "tools/ToolOutput.h"

int wmain() {
    OSVERSIONINFOEXW os;
    ::ZeroMemory(&os, sizeof(os));
    os.dwOSVersionInfoSize = sizeof(os);
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&os))) return 1;
    PrintUtf8(Number(os.dwMajorVersion) + L" " + Number(os.dwMinorVersion) + L" " + Number(os.dwBuildNumber) + L" " +
              Number(os.dwPlatformId) + L" " + Number(os.wServicePackMajor) + L" " + Number(os.wServicePackMinor) +
              L" " + Number(os.wSuiteMask) + L" " + Number(os.wProductType) + L"\n");
    return 0;
}
