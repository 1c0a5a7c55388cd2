#ifndef QV_CORE_TEXT_H
#define QV_CORE_TEXT_H

#include <stdint.h>
#include <string>

namespace Quorvel {

// Code-page conversions; failures give an empty text and clear *ok.
std::wstring ConvertToWide(const char* text, int length, unsigned codePage, bool* ok);
std::string ConvertToNarrow(const std::wstring& text, unsigned codePage, char replacement, bool* replaced, bool* ok);
// The system's ANSI code page; "_" for what it cannot represent.
std::wstring AnsiToWide(const char* text);
std::string WideToAnsi(const std::wstring& text);

// printf-style formatting of wide arguments (%s takes a wide string). A
// null or empty format leaves out untouched; a formatting error empties it.
void FormatString(std::wstring& out, const wchar_t* format, ...);

std::wstring Int64ToText(int64_t value);
std::wstring IntToText(int32_t value);

// Remove the longest run of characters from set at the start or the end.
void TrimLeft(std::wstring& text, const wchar_t* set);
void TrimRight(std::wstring& text, const wchar_t* set);

}  // namespace Quorvel

#endif
