#include <gtest/gtest.h>

#include "fingerprint/Adapters.h"

using namespace Quorvel;

namespace {

QVAdapterRecord Adapter(const wchar_t* name, const wchar_t* mac, uint32_t status, uint32_t in) {
    QVAdapterRecord a;
    a.name = name;
    a.macText = mac;
    a.operStatus = status;
    a.inOctets = in;
    return a;
}
QVTransportRecord Transport(const wchar_t* key, const wchar_t* mac) {
    QVTransportRecord t;
    t.key = key;
    t.macText = mac;
    return t;
}
QVNetworkCardRecord Card(const wchar_t* service) {
    QVNetworkCardRecord c;
    c.serviceName = service;
    c.connectionName = L"Local Area Connection";
    return c;
}

TEST(SelectMacAddressTest, ChoosesByTheRules) {
    const int kUp = 5, kDown = 2;
    const std::vector<QVNetworkCardRecord> cards = {Card(L"{A}"), Card(L"{B}"), Card(L"{C}")};
    const struct {
        const char* name;
        std::vector<QVAdapterRecord> adapters;
        std::vector<QVTransportRecord> transports;
        std::vector<QVNetworkCardRecord> cards;
        const wchar_t* expected;
    } rows[] = {
        {"more received bytes wins", {Adapter(L"{A}", L"aa", kUp, 10), Adapter(L"{B}", L"bb", kUp, 20)}, {}, cards, L"bb"},
        {"ties keep the first", {Adapter(L"{A}", L"aa", kUp, 20), Adapter(L"{B}", L"bb", kUp, 20)}, {}, cards, L"aa"},
        {"operational beats earlier non-operational",
         {Adapter(L"{A}", L"aa", kDown, 900), Adapter(L"{B}", L"bb", kUp, 0), Adapter(L"{C}", L"cc", kDown, 900)}, {}, cards, L"bb"},
        {"last non-operational wins", {Adapter(L"{A}", L"aa", kDown, 0), Adapter(L"{B}", L"bb", 0, 0)}, {}, cards, L"bb"},
        {"no card, no choice", {Adapter(L"{X}", L"xx", kUp, 5)}, {}, cards, L""},
        {"case-sensitive service names", {Adapter(L"{a}", L"aa", kUp, 5)}, {}, cards, L""},
        {"no cards at all", {Adapter(L"{A}", L"aa", kUp, 5)}, {Transport(L"{A}", L"tt")}, {}, L""},
        {"transports only when no adapter qualifies",
         {Adapter(L"{A}", L"aa", kDown, 0)}, {Transport(L"{B}", L"tt")}, cards, L"aa"},
        {"first qualifying transport", {Adapter(L"{X}", L"xx", kUp, 5)},
         {Transport(L"{X}", L"t0"), Transport(L"{B}", L"t1"), Transport(L"{C}", L"t2")}, cards, L"t1"},
        {"empty key never qualifies", {}, {Transport(L"", L"t0")}, {Card(L"")}, L""},
        {"all-zero address is kept", {Adapter(L"{A}", L"000000000000", kUp, 1)}, {}, cards, L"000000000000"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, SelectMacAddress(row.adapters, row.transports, row.cards));
    }
}

TEST(SelectMacAddressTest, TransportParts) {
    EXPECT_EQ(L"{1B2C-33}", TransportKey(L"\\Device\\NetBT_Tcpip_{1B2C-33}"));
    EXPECT_EQ(L"{b}", TransportKey(L"{a}{b}"));
    EXPECT_EQ(L"", TransportKey(L"\\Device\\NetBT_Tcpip"));
    EXPECT_EQ(L"", TransportKey(L"}x{"));
    uint8_t mac[6];
    EXPECT_EQ(6, ParseTransportAddress(L"0011AAbbCCdd", mac));
    EXPECT_EQ(L"0011aabbccdd", FormatMac(mac));
    // Not twelve hexadecimal digits: the bytes it does not supply are zero.
    EXPECT_EQ(2, ParseTransportAddress(L"0102zz", mac));
    EXPECT_EQ(L"010200000000", FormatMac(mac));
    EXPECT_EQ(0, ParseTransportAddress(L"", mac));
    EXPECT_EQ(L"000000000000", FormatMac(mac));
    EXPECT_EQ(2, ParseTransportAddress(L"abc", mac));
    EXPECT_EQ(L"ab0c00000000", FormatMac(mac));
}

}  // namespace
