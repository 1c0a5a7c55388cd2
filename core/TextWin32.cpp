#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include "core/Text.h"

#include "core/Buffer.h"

namespace Quorvel {

std::wstring ConvertToWide(const char* text, int length, unsigned codePage, bool* ok) {
    if (ok != NULL) *ok = true;
    if (text == NULL) return std::wstring();
    const int needed = ::MultiByteToWideChar(codePage, 0, text, length, NULL, 0);
    QVBuffer<wchar_t> buffer;
    int converted = 0;
    if (needed > 0 && buffer.Resize(static_cast<uint32_t>(needed) + 1)) {
        converted = ::MultiByteToWideChar(codePage, 0, text, length, buffer.Data(), needed + 1);
    }
    if (converted < 1 || converted >= needed + 1) {
        if (ok != NULL) *ok = false;
        return std::wstring();
    }
    buffer.Data()[converted] = 0;
    return std::wstring(buffer.Data());  // up to the first NUL
}

std::string ConvertToNarrow(const std::wstring& text, unsigned codePage, char replacement, bool* replaced, bool* ok) {
    if (ok != NULL) *ok = true;
    if (replaced != NULL) *replaced = false;
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(codePage, 0, text.data(), length, NULL, 0, NULL, NULL);
    QVBuffer<char> buffer;
    int converted = 0;
    if (needed > 0 && buffer.Resize(static_cast<uint32_t>(needed) + 8)) {
        if (replacement != 0) {
            const char fallback[2] = {replacement, 0};
            BOOL usedDefault = FALSE;
            converted = ::WideCharToMultiByte(codePage, 0, text.data(), length, buffer.Data(), needed + 8, fallback,
                                              &usedDefault);
            if (replaced != NULL) *replaced = usedDefault != FALSE;
        } else {
            converted = ::WideCharToMultiByte(codePage, 0, text.data(), length, buffer.Data(), needed + 8, NULL, NULL);
        }
    }
    if (converted < 1 || converted >= needed + 8) {
        if (ok != NULL) *ok = false;
        return std::string();
    }
    buffer.Data()[converted] = 0;
    return std::string(buffer.Data());  // up to the first zero byte
}

std::wstring AnsiToWide(const char* text) { return ConvertToWide(text, -1, CP_ACP, NULL); }

std::string WideToAnsi(const std::wstring& text) { return ConvertToNarrow(text, CP_ACP, '_', NULL, NULL); }

void FormatString(std::wstring& out, const wchar_t* format, ...) {
    if (format == NULL || format[0] == 0) return;
    va_list args;
    va_start(args, format);
    std::wstring result;
    uint32_t size = 1024;
    for (int attempt = 0; attempt < 1024; ++attempt) {
        QVBuffer<wchar_t> buffer;
        if (size == 0 || size > 0x7FFFFFFFu / sizeof(wchar_t) || !buffer.Resize(size)) break;
        va_list copy;
        va_copy(copy, args);
        const int written = ::_vsnwprintf(buffer.Data(), size - 1, format, copy);
        va_end(copy);
        if (written >= 0) {
            buffer.Data()[written] = 0;
            result.assign(buffer.Data(), static_cast<size_t>(written));
            break;
        }
        // -1 means too long or a bad format; only the latter has no length.
        va_copy(copy, args);
        const int needed = ::_vscwprintf(format, copy);
        va_end(copy);
        if (needed < 0) break;
        size *= 2;
    }
    va_end(args);
    out = result;
}

}  // namespace Quorvel
