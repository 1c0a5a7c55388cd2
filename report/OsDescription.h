#ifndef QV_REPORT_OSDESCRIPTION_H
#define QV_REPORT_OSDESCRIPTION_H

#include <stdint.h>
#include <string>

namespace Quorvel {

// What the description is made from: GetVersionExW's record, the native
// processor architecture, GetProductInfo's type (0 when unavailable or not
// asked) and GetSystemMetrics(SM_SERVERR2).
struct QVOsVersionRecord {
    uint32_t majorVersion, minorVersion, buildNumber, platformId;
    std::wstring csdVersion;
    uint16_t servicePackMajor, servicePackMinor, suiteMask;
    uint8_t productType;
    uint16_t processorArchitecture;
    uint32_t productInfoType;
    bool serverR2;

    QVOsVersionRecord()
        : majorVersion(0), minorVersion(0), buildNumber(0), platformId(0), servicePackMajor(0),
          servicePackMinor(0), suiteMask(0), productType(0), processorArchitecture(0), productInfoType(0),
          serverR2(false) {}
};

// The edition text for a GetProductInfo type; "Unknown" for the rest.
const wchar_t* EditionName(uint32_t productType);

// The one-line description ("Microsoft Windows 7 Ultimate Edition, 64-bit
// Service Pack 1 (build 7601)"). False for platforms older than Windows
// 2000 on NT, with nothing changed; family and is64Bit are only ever set.
bool DescribeOsVersion(const QVOsVersionRecord& os, std::wstring* text, uint8_t* family, uint8_t* is64Bit);

// GetVersionExW, the native processor architecture, GetProductInfo (on
// version 6) and SM_SERVERR2, as the description needs them.
QVOsVersionRecord ReadOsVersionRecord();

}  // namespace Quorvel

#endif
