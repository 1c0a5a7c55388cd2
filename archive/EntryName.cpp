#include "archive/EntryName.h"

#include "archive/PathHelpers.h"
#include "core/PathOps.h"

namespace Quorvel {

namespace {

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool IsDeviceName(const std::wstring& component) {
    // Windows ignores the extension and trailing spaces or dots of the base.
    std::wstring base = component.substr(0, component.find(L'.'));
    while (!base.empty() && (base[base.size() - 1] == L' ' || base[base.size() - 1] == L'.')) {
        base.erase(base.size() - 1);
    }
    for (std::wstring::size_type i = 0; i < base.size(); ++i) base[i] = UpperAscii(base[i]);
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"};
    for (unsigned i = 0; i < sizeof(kDevices) / sizeof(kDevices[0]); ++i) {
        if (base == kDevices[i]) return true;
    }
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
        const wchar_t digit = base[3];
        // Superscript digits 1-3 name the same ports.
        if ((digit >= L'0' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) return true;
    }
    return false;
}

}  // namespace

bool IsPlainNameComponent(const std::wstring& component) {
    if (component.empty()) return false;
    for (std::wstring::size_type i = 0; i < component.size(); ++i) {
        const wchar_t c = component[i];
        if (c < 0x20 || c == 0x7F) return false;
        switch (c) {
        case L'<': case L'>': case L':': case L'"': case L'/':
        case L'\\': case L'|': case L'?': case L'*':
            return false;
        default:
            break;
        }
    }
    const wchar_t last = component[component.size() - 1];
    if (last == L'.' || last == L' ') return false;  // also rules out "." and ".."
    return !IsDeviceName(component);
}

bool IsSafeEntryName(const std::wstring& name, bool isFile) {
    std::wstring rest(name);
    NormalizePath(rest, StripQuotes);
    // The join rule uses an absolute name (UNC, "\\?\", "\\.\", a drive)
    // without the destination; any other run of leading separators is
    // dropped and the name lands inside.
    if (IsAbsolutePath(rest)) return false;
    std::wstring::size_type i = 0;
    while (i < rest.size() && IsPathSeparator(rest[i])) ++i;
    if (i == rest.size()) return !isFile;
    bool lastEmpty = false;
    while (i < rest.size()) {
        std::wstring::size_type end = i;
        while (end < rest.size() && !IsPathSeparator(rest[end])) ++end;
        if (end == i) {
            lastEmpty = true;  // doubled separator: harmless, Windows folds it
        } else {
            if (!IsPlainNameComponent(rest.substr(i, end - i))) return false;
            lastEmpty = false;
        }
        if (end == rest.size()) break;
        i = end + 1;
        if (i == rest.size()) lastEmpty = true;
    }
    return !(isFile && lastEmpty);
}

}  // namespace Quorvel
