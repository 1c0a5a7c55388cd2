#ifndef QV_REPORT_SYSTEMINFO_H
#define QV_REPORT_SYSTEMINFO_H

#include <stdint.h>
#include <string>
#include <vector>

#include <windows.h>

namespace Quorvel {

struct QVDisplayAdapter {
    std::wstring name;
    uint32_t memory;
    QVDisplayAdapter() : memory(0) {}
};

// Machine data gathered for one report; only the description is sent.
class QVSystemInfo {
public:
    QVSystemInfo();

    bool DescribeOperatingSystem();
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

// The installed Flash Player, if any.
class QVFlashInfo {
public:
    QVFlashInfo();
    void ProbeFlashPlayer();
    const std::wstring& GetFlashName() const { return m_name; }

private:
    std::wstring m_name;
    bool m_found;
};

}  // namespace Quorvel

#endif
