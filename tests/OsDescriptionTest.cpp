#include <gtest/gtest.h>

#include "report/OsDescription.h"

using namespace Quorvel;

namespace {

QVOsVersionRecord Os(uint32_t platform, uint32_t major, uint32_t minor, uint8_t productType = 1, uint16_t arch = 0,
                     uint16_t suite = 0, uint32_t productInfo = 0, const wchar_t* csd = L"", bool r2 = false) {
    QVOsVersionRecord os;
    os.platformId = platform;
    os.majorVersion = major;
    os.minorVersion = minor;
    os.buildNumber = 7601;
    os.productType = productType;
    os.processorArchitecture = arch;
    os.suiteMask = suite;
    os.productInfoType = productInfo;
    os.csdVersion = csd;
    os.serverR2 = r2;
    return os;
}

TEST(OsDescriptionTest, EveryBranch) {
    const uint8_t kWs = 1, kServer = 3;
    const uint16_t kX86 = 0, kIa64 = 6, kAmd64 = 9;
    const struct {
        const char* name;
        QVOsVersionRecord os;
        const wchar_t* text;
        uint8_t family;
        uint8_t is64;
    } rows[] = {
        {"95", Os(1, 4, 0), L"Microsoft Windows 95 ", 1, 0},
        {"98", Os(1, 4, 10), L"Microsoft Windows 98 ", 1, 0},
        {"Me", Os(1, 4, 90), L"Microsoft Windows Me ", 1, 0},
        {"2000 Professional", Os(2, 5, 0, kWs), L"Microsoft Windows 2000 Professional (build 7601)", 2, 0},
        {"2000 Server", Os(2, 5, 0, kServer), L"Microsoft Windows 2000 Server (build 7601)", 2, 0},
        {"2000 Advanced Server", Os(2, 5, 0, kServer, kX86, 0x2), L"Microsoft Windows 2000 Advanced Server (build 7601)", 2, 0},
        {"2000 Datacenter", Os(2, 5, 0, kServer, kX86, 0x82), L"Microsoft Windows 2000 Datacenter Server (build 7601)", 2, 0},
        {"XP Professional", Os(2, 5, 1), L"Microsoft Windows XP Professional (build 7601)", 4, 0},
        {"XP Home SP3", Os(2, 5, 1, kWs, kX86, 0x200, 0, L"Service Pack 3"),
         L"Microsoft Windows XP Home Edition Service Pack 3 (build 7601)", 4, 0},
        {"XP x64", Os(2, 5, 2, kWs, kAmd64), L"Microsoft Windows XP Professional x64 Edition (build 7601)", 8, 0},
        {"2003 Standard", Os(2, 5, 2, kServer), L"Microsoft Windows Server 2003, Standard Edition (build 7601)", 8, 0},
        {"2003 Web", Os(2, 5, 2, kServer, kX86, 0x400), L"Microsoft Windows Server 2003, Web Edition (build 7601)", 8, 0},
        {"2003 Enterprise", Os(2, 5, 2, kServer, kX86, 0x2), L"Microsoft Windows Server 2003, Enterprise Edition (build 7601)", 8, 0},
        {"2003 Datacenter", Os(2, 5, 2, kServer, kX86, 0x82), L"Microsoft Windows Server 2003, Datacenter Edition (build 7601)", 8, 0},
        {"2003 Compute Cluster", Os(2, 5, 2, kServer, kX86, 0x4082), L"Microsoft Windows Server 2003, Compute Cluster Edition (build 7601)", 8, 0},
        {"2003 R2", Os(2, 5, 2, kServer, kX86, 0x2, 0, L"", true), L"Microsoft Windows Server 2003 R2, Enterprise Edition (build 7601)", 8, 0},
        {"Storage Server", Os(2, 5, 2, kServer, kX86, 0x2000), L"Microsoft Windows Storage Server 2003Standard Edition (build 7601)", 8, 0},
        {"2003 x64 Standard", Os(2, 5, 2, kServer, kAmd64), L"Microsoft Windows Server 2003, Standard x64 Edition (build 7601)", 8, 1},
        {"2003 x64 Enterprise", Os(2, 5, 2, kServer, kAmd64, 0x2), L"Microsoft Windows Server 2003, Enterprise x64 Edition (build 7601)", 8, 1},
        {"2003 x64 Datacenter", Os(2, 5, 2, kServer, kAmd64, 0x80), L"Microsoft Windows Server 2003, Datacenter x64 Edition (build 7601)", 8, 1},
        {"2003 Itanium Datacenter", Os(2, 5, 2, kServer, kIa64, 0x80), L"Microsoft Windows Server 2003, Datacenter Edition for Itanium-based Systems (build 7601)", 8, 1},
        {"2003 Itanium Enterprise", Os(2, 5, 2, kServer, kIa64, 0x2), L"Microsoft Windows Server 2003, Enterprise Edition for Itanium-based Systems (build 7601)", 8, 1},
        {"2003 Itanium plain", Os(2, 5, 2, kServer, kIa64), L"Microsoft Windows Server 2003,  (build 7601)", 8, 1},
        {"Vista Home Premium", Os(2, 6, 0, kWs, kX86, 0, 3), L"Microsoft Windows Vista Home Premium Edition, 32-bit (build 7601)", 16, 0},
        {"Server 2008", Os(2, 6, 0, kServer, kAmd64, 0, 8), L"Microsoft Windows Server 2008 Datacenter Edition, 64-bit (build 7601)", 16, 1},
        {"7 Ultimate 64 SP1", Os(2, 6, 1, kWs, kAmd64, 0, 1, L"Service Pack 1"),
         L"Microsoft Windows 7 Ultimate Edition, 64-bit Service Pack 1 (build 7601)", 32, 1},
        {"8 Professional", Os(2, 6, 2, kWs, kX86, 0, 48), L"Microsoft Windows 8 Professional Edition, 32-bit (build 7601)", 64, 0},
        {"6.3 and later", Os(2, 6, 3, kWs, kAmd64, 0, 48), L"Microsoft Professional Edition, 64-bit (build 7601)", 0, 1},
        {"no GetProductInfo, Itanium", Os(2, 6, 1, kWs, kIa64), L"Microsoft Windows 7 Unknown (build 7601)", 32, 0},
        {"major above 6", Os(2, 10, 0, kWs, kAmd64), L"Microsoft  (build 7601)", 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::wstring text = L"unchanged";
        uint8_t family = 0, is64 = 0;
        ASSERT_TRUE(DescribeOsVersion(row.os, &text, &family, &is64));
        EXPECT_EQ(row.text, text);
        EXPECT_EQ(row.family, family);
        EXPECT_EQ(row.is64, is64);
    }
}

TEST(OsDescriptionTest, UnsupportedPlatformsChangeNothing) {
    const QVOsVersionRecord rows[] = {Os(2, 4, 0), Os(0, 0, 0), Os(3, 6, 1)};
    for (const QVOsVersionRecord& os : rows) {
        std::wstring text = L"unchanged";
        uint8_t family = 7, is64 = 1;
        EXPECT_FALSE(DescribeOsVersion(os, &text, &family, &is64));
        EXPECT_EQ(L"unchanged", text);
        EXPECT_EQ(7, family);
        EXPECT_EQ(1, is64);
    }
}

TEST(OsDescriptionTest, EditionTable) {
    const struct {
        uint32_t type;
        const wchar_t* name;
    } rows[] = {{1, L"Ultimate Edition"}, {2, L"Home Basic Edition"}, {5, L"Unknown"}, {12, L"Datacenter Edition (core installation)"},
                {15, L"Enterprise Edition for Itanium-based Systems"}, {16, L"Unknown"}, {19, L"Unknown"},
                {25, L"Small Business Server Premium Edition"}, {46, L"Unknown"}, {47, L"Starter Edition"},
                {49, L"Professional Edition"}, {50, L"Unknown"}, {0, L"Unknown"}};
    for (const auto& row : rows) EXPECT_EQ(std::wstring(row.name), EditionName(row.type)) << row.type;
}

}  // namespace
