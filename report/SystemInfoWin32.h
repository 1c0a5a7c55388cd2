#ifndef QV_REPORT_SYSTEMINFOWIN32_H
#define QV_REPORT_SYSTEMINFOWIN32_H

#include <stdint.h>
#include <string>
#include <vector>

#include <windows.h>

#include "fingerprint/Hardware.h"

namespace Quorvel {

// Machine data gathered for one report; only the description is sent.
class QVSystemInfo {
public:
    QVSystemInfo();

    bool DescribeOperatingSystem();
    // Take in what the fingerprint's processor and display probes find.
    bool QueryProcessors();
    bool QueryDisplayAdapters();
    std::wstring GetOsDescription() const { return osDescription; }

    MEMORYSTATUSEX memoryStatus;
    std::wstring processorName;
    uint32_t clockSpeedSum;
    uint32_t processorCount;
    uint8_t processorClass;
    std::vector<uint32_t> clockSpeeds;
    std::vector<QVDisplayAdapter> displayAdapters;
    std::wstring osDescription;
    uint8_t osFamily;
    uint8_t is64Bit;
};

}  // namespace Quorvel

#endif
