// A DLL planted beside a program under a system library's name: when
// loaded it leaves PLANTED_NAME.loaded in its own folder, then refuses to
// load.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 32] = {0};
    DWORD length = ::GetModuleFileNameW(instance, path, MAX_PATH);
    while (length > 0 && path[length - 1] != L'\\') --length;
    path[length] = 0;
    ::lstrcatW(path, PLANTED_NAME L".loaded");
    HANDLE marker = ::CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
    return FALSE;
}
