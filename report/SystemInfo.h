#ifndef QV_REPORT_SYSTEMINFO_H
#define QV_REPORT_SYSTEMINFO_H

#include <stdint.h>
#include <string>
#include <vector>

#include <windows.h>

namespace Quorvel {

struct QVDisplayAdapter {
    std::wstring name;
    std::wstring pnpDeviceId;
    int32_t adapterRam;  // as WMI delivers it (VT_I4): 2 GiB and more is negative
    int32_t minRefreshRate;
    int32_t maxRefreshRate;
    QVDisplayAdapter() : adapterRam(0), minRefreshRate(0), maxRefreshRate(0) {}
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

struct QVOsVersionRecord;
// GetVersionExW, the native processor architecture, GetProductInfo (on
// version 6) and SM_SERVERR2, as the description needs them.
QVOsVersionRecord ReadOsVersionRecord();

// The installed Flash Player, if any.
// The Flash Player ActiveX control, if registered: its name and version
// from the uninstall entry, else from the control file's version resource.
class QVFlashInfo {
public:
    QVFlashInfo();
    void ProbeFlashPlayer();
    std::wstring GetFlashName() const { return m_name; }
    bool Found() const { return m_found; }
    const uint32_t* Version() const { return m_version; }

private:
    bool FromUninstallEntry();
    void FromControlFile();

    bool m_found;
    std::wstring m_name;
    uint32_t m_version[4];
};

}  // namespace Quorvel

#endif
