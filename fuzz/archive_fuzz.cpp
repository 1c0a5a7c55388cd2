// The archive table decoder and the name rules. Oracles: every entry the
// decoder accepts joins to a path inside the destination whose components
// are plain names (checked here independently), and encoding what was
// decoded gives back the same table bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

#include <string>
#include <vector>

#include "archive/Format.h"
#include "archive/PathHelpers.h"

using namespace Quorvel;

namespace {

const std::wstring kDestination = L"C:\\Users\\player\\AppData\\Roaming\\Game\\res";

bool Reserved(std::wstring component) {
    component = component.substr(0, component.find(L'.'));
    while (!component.empty() && (component.back() == L' ' || component.back() == L'.')) component.pop_back();
    for (wchar_t& c : component) c = static_cast<wchar_t>(towupper(c));
    static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* name : kNames) {
        if (component == name) return true;
    }
    return component.size() == 4 && (component.compare(0, 3, L"COM") == 0 || component.compare(0, 3, L"LPT") == 0) &&
           iswdigit(component[3]);
}

void Check(bool condition) {
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t count = 0;
    if (size > 0xFFFFFFFFu || !DecodeHeader(data, static_cast<uint32_t>(size), &count)) return 0;
    uint32_t tableLength = 0;
    if (!TableLength(count, size, &tableLength)) return 0;
    Check(kHeaderSize + static_cast<uint64_t>(tableLength) <= size);
    std::vector<boost::shared_ptr<QVFileItem> > items;
    if (!DecodeTable(data + kHeaderSize, count, items)) return 0;
    Check(items.size() == count);
    for (uint32_t i = 0; i < count; ++i) {
        const QVFileItem& item = *items[i];
        unsigned char again[kEntrySize];
        EncodeItem(item, again);
        Check(memcmp(again, data + kHeaderSize + static_cast<size_t>(i) * kEntrySize, kEntrySize) == 0);
        if (item.type != kEntryFile && item.type != kEntryDirectory) continue;
        const std::wstring path = JoinPath(kDestination, ItemName(item));
        Check(path.compare(0, kDestination.size() + 1, kDestination + L"\\") == 0);
        const std::wstring rest = path.substr(kDestination.size() + 1);
        size_t start = 0;
        while (start <= rest.size()) {
            size_t end = rest.find_first_of(L"\\/", start);
            if (end == std::wstring::npos) end = rest.size();
            const std::wstring component = rest.substr(start, end - start);
            if (!component.empty()) {
                Check(component != L"." && component != L"..");
                Check(component.find_first_of(L":*?\"<>|") == std::wstring::npos);
                Check(component.back() != L'.' && component.back() != L' ');
                Check(!Reserved(component));
                for (wchar_t c : component) Check(c >= 0x20);
            }
            start = end + 1;
        }
        if (item.type == kEntryFile) Check(!rest.empty() && rest.back() != L'\\' && rest.back() != L'/');
    }
    return 0;
}
