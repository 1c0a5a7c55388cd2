// Console output for the small test and benchmark tools: UTF-8 bytes
// straight to the standard output handle, whatever the code page.
#ifndef QV_TOOLS_TOOLOUTPUT_H
#define QV_TOOLS_TOOLOUTPUT_H

#include <windows.h>

#include <string>

inline void PrintUtf8(const std::wstring& text) {
    if (text.empty()) return;
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), NULL, 0, NULL, NULL);
    std::string bytes(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], length, NULL, NULL);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
}

inline std::wstring Number(unsigned long long value) {
    wchar_t text[32];
    int i = 31;
    text[i] = 0;
    do {
        text[--i] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::wstring(text + i);
}

inline std::wstring Hex(unsigned long value) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return L"0x" + out;
}

#endif
