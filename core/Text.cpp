#include "core/Text.h"

namespace Quorvel {

std::wstring Int64ToText(int64_t value) {
    // The magnitude in unsigned arithmetic: the smallest value has no
    // positive counterpart.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    wchar_t digits[24];
    int i = 24;
    do {
        digits[--i] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--i] = L'-';
    return std::wstring(digits + i, digits + 24);
}

std::wstring IntToText(int32_t value) { return Int64ToText(static_cast<int64_t>(value)); }

void TrimLeft(std::wstring& text, const wchar_t* set) {
    if (text.empty() || set == 0) return;
    const std::wstring::size_type first = text.find_first_not_of(set);
    text.erase(0, first == std::wstring::npos ? text.size() : first);
}

void TrimRight(std::wstring& text, const wchar_t* set) {
    if (text.empty() || set == 0) return;
    const std::wstring::size_type last = text.find_last_not_of(set);
    text.erase(last == std::wstring::npos ? 0 : last + 1);
}

}  // namespace Quorvel
