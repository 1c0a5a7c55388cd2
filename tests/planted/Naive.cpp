// What the installer must not be: imports version.dll and wininet.dll and
// loads iphlpapi.dll by its bare name, so planted copies are taken.
#include <windows.h>
#include <wininet.h>
#include <winver.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    DWORD handle = 0;
    ::GetFileVersionInfoSizeW(L"C:\\windows\\system32\\kernel32.dll", &handle);
    HINTERNET session = ::InternetOpenW(NULL, 0, NULL, NULL, 0);
    if (session != NULL) ::InternetCloseHandle(session);
    HMODULE iphlpapi = ::LoadLibraryW(L"iphlpapi.dll");
    if (iphlpapi != NULL) ::FreeLibrary(iphlpapi);
    return 0;
}
