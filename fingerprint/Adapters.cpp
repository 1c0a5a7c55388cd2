#include "fingerprint/Adapters.h"

namespace Quorvel {

namespace {

const uint32_t kOperational = 5;

bool IsCard(const std::wstring& name, const std::vector<QVNetworkCardRecord>& cards) {
    if (name.empty()) return false;  // collected cards always have a service name
    for (size_t i = 0; i < cards.size(); ++i) {
        if (cards[i].serviceName == name) return true;
    }
    return false;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace

std::wstring FormatMac(const uint8_t mac[6]) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (int i = 0; i < 6; ++i) {
        text += kDigits[mac[i] >> 4];
        text += kDigits[mac[i] & 0xF];
    }
    return text;
}

std::wstring TransportKey(const std::wstring& name) {
    const std::wstring::size_type open = name.rfind(L'{');
    const std::wstring::size_type close = name.rfind(L'}');
    if (open == std::wstring::npos || close == std::wstring::npos || open >= close) return std::wstring();
    return name.substr(open, close - open + 1);
}

int ParseTransportAddress(const std::wstring& text, uint8_t mac[6]) {
    for (int i = 0; i < 6; ++i) mac[i] = 0;
    std::wstring::size_type p = 0;
    for (int field = 0; field < 6; ++field) {
        while (p < text.size() && (text[p] == L' ' || text[p] == L'\t')) ++p;
        int value = 0, digits = 0;
        while (digits < 2 && p < text.size() && HexDigit(text[p]) >= 0) {
            value = value * 16 + HexDigit(text[p++]);
            ++digits;
        }
        if (digits == 0) return field;
        mac[field] = static_cast<uint8_t>(value);
    }
    return 6;
}

std::wstring SelectMacAddress(const std::vector<QVAdapterRecord>& adapters,
                              const std::vector<QVTransportRecord>& transports,
                              const std::vector<QVNetworkCardRecord>& networkCards) {
    const QVAdapterRecord* best = 0;
    std::wstring fallback;
    for (size_t i = 0; i < adapters.size(); ++i) {
        const QVAdapterRecord& adapter = adapters[i];
        if (!IsCard(adapter.name, networkCards)) continue;
        if (adapter.operStatus != kOperational) {
            fallback = adapter.macText;
        } else if (best == 0 || adapter.inOctets > best->inOctets) {
            best = &adapter;
        }
    }
    std::wstring result = best != 0 ? best->macText : fallback;
    if (!result.empty()) return result;
    for (size_t i = 0; i < transports.size(); ++i) {
        if (IsCard(transports[i].key, networkCards) && !transports[i].macText.empty()) return transports[i].macText;
    }
    return std::wstring();
}

std::wstring QVAdapterInventory::SelectMacAddress() const {
    return Quorvel::SelectMacAddress(adapters, transports, networkCards);
}

}  // namespace Quorvel
