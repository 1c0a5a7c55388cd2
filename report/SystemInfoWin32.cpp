#include "report/SystemInfo.h"

namespace Quorvel {

QVSystemInfo::QVSystemInfo()
    : clockSpeedSum(0), processorCount(0), processorClass(0), osFamily(0), is64Bit(0) {
    ::ZeroMemory(&memoryStatus, sizeof(memoryStatus));
}

// The operating-system description, the processor and display probes and
// the Flash Player probe are not collected yet: each reports what it gives
// when nothing can be read (no description, no processors or adapters, no
// Flash Player).
bool QVSystemInfo::DescribeOperatingSystem() { return false; }
bool QVSystemInfo::QueryProcessors() { return false; }
bool QVSystemInfo::QueryDisplayAdapters() { return false; }

QVFlashInfo::QVFlashInfo() : m_found(false) {}
void QVFlashInfo::ProbeFlashPlayer() {}

}  // namespace Quorvel
