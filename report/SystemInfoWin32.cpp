#include "report/SystemInfoWin32.h"

#include "report/OsDescription.h"

namespace Quorvel {

QVSystemInfo::QVSystemInfo()
    : clockSpeedSum(0), processorCount(0), processorClass(0), osFamily(0), is64Bit(0) {
    ::ZeroMemory(&memoryStatus, sizeof(memoryStatus));
}

bool QVSystemInfo::DescribeOperatingSystem() {
    std::wstring text;
    if (!DescribeOsVersion(ReadOsVersionRecord(), &text, &osFamily, &is64Bit)) return false;
    osDescription = text;
    return true;
}

bool QVSystemInfo::QueryProcessors() {
    QVProcessorRecord record;
    const bool found = CollectProcessors(&record);
    processorName = record.name;
    processorCount = record.count;
    clockSpeeds = record.clockSpeeds;
    clockSpeedSum += record.clockSpeedSum;
    if (record.processorClass != 0) processorClass = record.processorClass;
    return found;
}

bool QVSystemInfo::QueryDisplayAdapters() {
    displayAdapters.clear();
    return CollectDisplayAdapters(&displayAdapters);
}

}  // namespace Quorvel
