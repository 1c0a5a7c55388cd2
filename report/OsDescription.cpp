#include "report/OsDescription.h"

#include "core/Text.h"

namespace Quorvel {

namespace {

enum {
    kPlatformWindows = 1, kPlatformNt = 2,
    kNtWorkstation = 1,
    kArchIntel = 0, kArchIa64 = 6, kArchAmd64 = 9,
    kSuiteEnterprise = 0x2, kSuiteDatacenter = 0x80, kSuitePersonal = 0x200, kSuiteBlade = 0x400,
    kSuiteStorageServer = 0x2000, kSuiteComputeServer = 0x4000
};

void AppendServer2003Edition(const QVOsVersionRecord& os, std::wstring& text, uint8_t* is64Bit) {
    const unsigned suite = os.suiteMask;
    if (os.processorArchitecture == kArchIa64) {
        *is64Bit = 1;
        if (suite & kSuiteDatacenter) text += L"Datacenter Edition for Itanium-based Systems";
        else if (suite & kSuiteEnterprise) text += L"Enterprise Edition for Itanium-based Systems";
    } else if (os.processorArchitecture == kArchAmd64) {
        *is64Bit = 1;
        if (suite & kSuiteDatacenter) text += L"Datacenter x64 Edition";
        else if (suite & kSuiteEnterprise) text += L"Enterprise x64 Edition";
        else text += L"Standard x64 Edition";
    } else {
        if (suite & kSuiteComputeServer) text += L"Compute Cluster Edition";
        else if (suite & kSuiteDatacenter) text += L"Datacenter Edition";
        else if (suite & kSuiteEnterprise) text += L"Enterprise Edition";
        else if (suite & kSuiteBlade) text += L"Web Edition";
        else text += L"Standard Edition";
    }
}

}  // namespace

const wchar_t* EditionName(uint32_t productType) {
    switch (productType) {
    case 1: return L"Ultimate Edition";
    case 2: return L"Home Basic Edition";
    case 3: return L"Home Premium Edition";
    case 4: return L"Enterprise Edition";
    case 6: return L"Business Edition";
    case 7: return L"Standard Edition";
    case 8: return L"Datacenter Edition";
    case 9: return L"Small Business Server";
    case 10: return L"Enterprise Edition";
    case 11: return L"Starter Edition";
    case 12: return L"Datacenter Edition (core installation)";
    case 13: return L"Standard Edition (core installation)";
    case 14: return L"Enterprise Edition (core installation)";
    case 15: return L"Enterprise Edition for Itanium-based Systems";
    case 17: return L"Web Server Edition";
    case 18: return L"Cluster Server Edition";
    case 25: return L"Small Business Server Premium Edition";
    case 47: return L"Starter Edition";
    case 48: return L"Professional Edition";
    case 49: return L"Professional Edition";
    default: return L"Unknown";
    }
}

bool DescribeOsVersion(const QVOsVersionRecord& os, std::wstring* out, uint8_t* family, uint8_t* is64Bit) {
    const bool windows9x = os.platformId == kPlatformWindows;
    const bool nt = os.platformId == kPlatformNt && os.majorVersion > 4;
    if (!windows9x && !nt) return false;
    std::wstring text = L"Microsoft ";
    if (windows9x) {
        *family = 1;
        text += os.minorVersion == 90 ? L"Windows Me " : os.minorVersion == 10 ? L"Windows 98 " : L"Windows 95 ";
        *out = text;
        return true;
    }
    if (os.majorVersion == 6) {
        if (os.minorVersion == 0) {
            *family = 16;
            text += os.productType == kNtWorkstation ? L"Windows Vista " : L"Windows Server 2008 ";
        } else if (os.minorVersion == 1) {
            *family = 32;
            text += L"Windows 7 ";
        } else if (os.minorVersion == 2) {
            *family = 64;
            text += L"Windows 8 ";
        }
        text += EditionName(os.productInfoType);
        if (os.processorArchitecture == kArchAmd64) {
            *is64Bit = 1;
            text += L", 64-bit";
        } else if (os.processorArchitecture == kArchIntel) {
            text += L", 32-bit";
        }
    }
    if (os.majorVersion == 5) {
        if (os.minorVersion == 2) {
            *family = 8;
            bool editionPart = os.productType != kNtWorkstation;
            if (os.serverR2) {
                text += L"Windows Server 2003 R2, ";
            } else if (os.suiteMask == kSuiteStorageServer) {
                text += L"Windows Storage Server 2003";
            } else if (os.productType == kNtWorkstation && os.processorArchitecture == kArchAmd64) {
                text += L"Windows XP Professional x64 Edition";
                editionPart = false;
            } else {
                text += L"Windows Server 2003, ";
            }
            if (editionPart) AppendServer2003Edition(os, text, is64Bit);
        } else if (os.minorVersion == 1) {
            *family = 4;
            text += L"Windows XP ";
            text += (os.suiteMask & kSuitePersonal) ? L"Home Edition" : L"Professional";
        } else if (os.minorVersion == 0) {
            *family = 2;
            text += L"Windows 2000 ";
            if (os.productType == kNtWorkstation) text += L"Professional";
            else if (os.suiteMask & kSuiteDatacenter) text += L"Datacenter Server";
            else if (os.suiteMask & kSuiteEnterprise) text += L"Advanced Server";
            else text += L"Server";
        }
    }
    if (!os.csdVersion.empty()) text += L" " + os.csdVersion;
    text += L" (build " + IntToText(static_cast<int32_t>(os.buildNumber)) + L")";
    *out = text;
    return true;
}

}  // namespace Quorvel
