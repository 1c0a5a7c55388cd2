#ifndef QV_FINGERPRINT_ADAPTERS_H
#define QV_FINGERPRINT_ADAPTERS_H

#include <stdint.h>
#include <string>
#include <vector>

namespace Quorvel {

// One adapter of GetAdaptersInfo, with the two fields of its interface row
// that the choice reads (both 0 when the row could not be read).
struct QVAdapterRecord {
    std::wstring name, description, ipAddress, ipMask, gateway, macText;
    uint8_t mac[6];
    uint32_t operStatus;  // MIB_IFROW dwOperStatus; 5 is operational
    uint32_t inOctets;    // MIB_IFROW dwInOctets
    QVAdapterRecord() : mac(), operStatus(0), inOctets(0) {}
};

// One NetBIOS transport of NetWkstaTransportEnum.
struct QVTransportRecord {
    std::wstring key;  // "{...}" from the transport name; empty without one
    std::wstring macText;
    uint8_t mac[6];
    QVTransportRecord() : mac() {}
};

// One installed network card with a named connection bound to TCP/IP.
struct QVNetworkCardRecord {
    std::wstring serviceName, description, connectionName;
};

// Twelve lower-case hexadecimal digits.
std::wstring FormatMac(const uint8_t mac[6]);
// From the last "{" to the last "}", both included; empty otherwise.
std::wstring TransportKey(const std::wstring& name);
// Six fields of up to two hexadecimal digits; a field the text does not
// supply (not hexadecimal, or too short) gives a zero byte. The number of
// fields read.
int ParseTransportAddress(const std::wstring& text, uint8_t mac[6]);

// The address for the machine identifier: among adapters whose name is the
// ServiceName of a network card, the operational one with the most received
// bytes (the first on ties), else the last non-operational one; only when no
// adapter qualifies, the first qualifying transport. Empty if none.
std::wstring SelectMacAddress(const std::vector<QVAdapterRecord>& adapters,
                              const std::vector<QVTransportRecord>& transports,
                              const std::vector<QVNetworkCardRecord>& networkCards);

// Collects the three lists once, in its constructor.
class QVAdapterInventory {
public:
    QVAdapterInventory();
    std::wstring SelectMacAddress() const;

    std::vector<QVAdapterRecord> adapters;
    std::vector<QVTransportRecord> transports;
    std::vector<QVNetworkCardRecord> networkCards;

private:
    bool CollectAdapters();
    bool CollectTransports();
    bool CollectNetworkCards();
};

}  // namespace Quorvel

#endif
