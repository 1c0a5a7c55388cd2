// qvfileinfo FILE: the version block of FILE as Windows reads it
// (GetFileVersionInfoW, VerQueryValueW through the first translation), one
// "name=value" line each: ProductName, ProductVersion, FileVersion,
// FileDescription, CompanyName, and the numeric file and product versions.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/ToolOutput.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(argv[1], &handle);
    if (size == 0) return 1;
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(argv[1], 0, size, &block[0])) return 1;
    WORD* translation = NULL;
    UINT length = 0;
    if (!::VerQueryValueW(&block[0], L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < 4) {
        return 1;
    }
    wchar_t prefix[64];
    wsprintfW(prefix, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
    std::wstring out = L"translation=" + std::wstring(prefix + 16, 8) + L"\n";
    const wchar_t* names[] = {L"ProductName", L"ProductVersion", L"FileVersion", L"FileDescription", L"CompanyName"};
    for (const wchar_t* name : names) {
        wchar_t* value = NULL;
        UINT chars = 0;
        const bool found = ::VerQueryValueW(&block[0], (std::wstring(prefix) + name).c_str(), reinterpret_cast<void**>(&value),
                                            &chars) && value != NULL;
        out += std::wstring(name) + L"=" + (found ? std::wstring(value) : std::wstring(L"(none)")) + L"\n";
    }
    VS_FIXEDFILEINFO* fixed = NULL;
    if (::VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != NULL) {
        out += L"file=" + Number(HIWORD(fixed->dwFileVersionMS)) + L"." + Number(LOWORD(fixed->dwFileVersionMS)) + L"." +
               Number(HIWORD(fixed->dwFileVersionLS)) + L"." + Number(LOWORD(fixed->dwFileVersionLS)) + L"\n";
        out += L"product=" + Number(HIWORD(fixed->dwProductVersionMS)) + L"." + Number(LOWORD(fixed->dwProductVersionMS)) +
               L"." + Number(HIWORD(fixed->dwProductVersionLS)) + L"." + Number(LOWORD(fixed->dwProductVersionLS)) + L"\n";
    }
    PrintUtf8(out);
    return 0;
}
