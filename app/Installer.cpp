#include "app/Installer.h"

#include <stdint.h>

#include "archive/EntryName.h"
#include "core/Names.h"
#include "core/Text.h"
#include "report/Md5.h"

namespace Quorvel {

namespace {

const wchar_t kBlanks[] = L" \t";

std::wstring Trimmed(std::wstring text) {
    TrimLeft(text, kBlanks);
    TrimRight(text, kBlanks);
    return text;
}

bool SameNameNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::wstring::size_type i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::wstring IniValue(const std::wstring& text, const std::wstring& section, const std::wstring& key) {
    // Only the first section of that name counts: the profile functions
    // never look at a second.
    bool inSection = false, seen = false;
    std::wstring::size_type start = 0;
    while (start < text.size()) {
        std::wstring::size_type end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line[0] == L'[') {
            const std::wstring::size_type close = line.find(L']');
            if (seen) break;
            inSection = close != std::wstring::npos && SameNameNoCase(Trimmed(line.substr(1, close - 1)), section);
            seen = inSection;
            continue;
        }
        const std::wstring::size_type equals = line.find(L'=');
        if (!inSection || equals == std::wstring::npos || !SameNameNoCase(Trimmed(line.substr(0, equals)), key)) {
            continue;
        }
        std::wstring value = Trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && value[0] == L'"' && value[value.size() - 1] == L'"') {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return std::wstring();
}

namespace {

// [begin, end) within the piece [done, done + chunk); empty at done when
// the piece holds none of it.
void Overlap(uint32_t done, uint32_t chunk, uint32_t begin, uint32_t end, uint32_t* from, uint32_t* to) {
    *from = begin > done ? begin : done;
    *to = end < done + chunk ? end : done + chunk;
    if (*from >= *to) *from = *to = done;
}

}  // namespace

QVComparedParts ComparedParts(uint32_t done, uint32_t chunk, uint32_t size, uint32_t pageBytes) {
    QVComparedParts parts;
    Overlap(done, chunk, 0, size < pageBytes ? size : pageBytes, &parts.headBegin, &parts.headEnd);
    Overlap(done, chunk, size > pageBytes ? size - pageBytes : 0, size, &parts.tailBegin, &parts.tailEnd);
    return parts;
}

bool FileOffsetOf(const std::vector<QVSectionSpan>& sections, uint32_t rva, uint32_t size, uint32_t* offset) {
    for (size_t i = 0; i < sections.size(); ++i) {
        const QVSectionSpan& s = sections[i];
        if (rva < s.virtualAddress) continue;
        const uint64_t into = static_cast<uint64_t>(rva) - s.virtualAddress;
        if (into + size > s.rawSize || into + size > (s.virtualSize != 0 ? s.virtualSize : s.rawSize)) continue;
        *offset = static_cast<uint32_t>(s.rawOffset + into);
        return static_cast<uint64_t>(s.rawOffset) + into + size <= 0xFFFFFFFFu;
    }
    return false;
}

bool IsUsableGameName(const std::wstring& base, const std::wstring& name) {
    if (!IsPlainNameComponent(name)) return false;
    const std::wstring::size_type kLongestPath = 259;
    const std::wstring::size_type settings = NameLength(kSettingsFileName);  // the longest other name at the top
    const std::wstring::size_type client = name.size() + 4;
    return base.size() + name.size() + 1 + (client > settings ? client : settings) <= kLongestPath;
}

std::wstring SettingsCopyName(const void* settings, uint32_t size) {
    unsigned char digest[16] = {0};
    return L"qvs" + Md5Hex(settings, static_cast<long>(size), digest).substr(0, 4) + L".tmp";
}

std::wstring InstanceLockName(const std::wstring& upperCaseName) {
    std::string bytes;
    for (std::wstring::size_type i = 0; i < upperCaseName.size(); ++i) {
        const uint32_t unit = static_cast<uint32_t>(upperCaseName[i]) & 0xFFFF;
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    unsigned char digest[16] = {0};
    // "Local\": the session's namespace, so players on one machine do not
    // keep each other waiting.
    return L"Local\\Quorvel.Install." + Md5Hex(bytes.data(), static_cast<long>(bytes.size()), digest);
}

}  // namespace Quorvel
