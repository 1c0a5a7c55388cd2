#include "fingerprint/Hardware.h"

#include <wctype.h>

namespace Quorvel {

uint8_t ProcessorClassOf(const std::wstring& name) {
    std::wstring lower(name);
    for (std::wstring::size_type i = 0; i < lower.size(); ++i) {
        if (lower[i] >= L'A' && lower[i] <= L'Z') lower[i] = static_cast<wchar_t>(lower[i] - L'A' + L'a');
    }
    static const struct {
        const wchar_t* text;
        uint8_t code;
    } kFamilies[] = {{L"i7", 7}, {L"i5", 6}, {L"i3", 5}, {L"core2", 4}, {L"core(tm)2", 4},
                     {L"core", 3}, {L"pentium", 2}, {L"celeron", 1}};
    for (unsigned i = 0; i < sizeof(kFamilies) / sizeof(kFamilies[0]); ++i) {
        if (lower.find(kFamilies[i].text) != std::wstring::npos) return kFamilies[i].code;
    }
    return 0;
}

std::string BrandStringBytes(const uint32_t registers[12]) {
    char bytes[49];
    for (int i = 0; i < 12; ++i) {
        for (int k = 0; k < 4; ++k) bytes[4 * i + k] = static_cast<char>(registers[i] >> (8 * k));
    }
    bytes[48] = 0;
    return std::string(bytes);
}

}  // namespace Quorvel
