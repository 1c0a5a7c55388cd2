#ifndef QV_FINGERPRINT_HARDWARE_H
#define QV_FINGERPRINT_HARDWARE_H

#include <stdint.h>
#include <string>
#include <vector>

namespace Quorvel {

// What the processor probe finds: one clock speed per processor that WMI
// lists, and the CPUID brand string.
struct QVProcessorRecord {
    std::wstring name;  // brand string, blanks trimmed
    uint32_t clockSpeedSum;
    uint32_t count;
    uint8_t processorClass;  // ProcessorClassOf(name); 0 when no processor was listed
    std::vector<uint32_t> clockSpeeds;
    QVProcessorRecord() : clockSpeedSum(0), count(0), processorClass(0) {}
};

struct QVDisplayAdapter {
    std::wstring name;
    std::wstring pnpDeviceId;
    int32_t adapterRam;  // as WMI delivers it (VT_I4): 2 GiB and more is negative
    int32_t minRefreshRate;
    int32_t maxRefreshRate;
    QVDisplayAdapter() : adapterRam(0), minRefreshRate(0), maxRefreshRate(0) {}
};

// WMI's Win32_Processor, one object per index until one is missing, and the
// brand string; false when WMI lists no processor (the name is still read).
bool CollectProcessors(QVProcessorRecord* record);
// WMI's Win32_VideoController instances; false when there are none.
bool CollectDisplayAdapters(std::vector<QVDisplayAdapter>* adapters);

// The family code of a processor brand name: 7 for "i7", 6 "i5", 5 "i3",
// 4 "core2" or "core(tm)2", 3 "core", 2 "pentium", 1 "celeron" (the first
// that the lower-cased name contains), else 0.
uint8_t ProcessorClassOf(const std::wstring& name);

// The 48 brand-string bytes of CPUID leaves 0x80000002..4 (EAX, EBX, ECX,
// EDX each), up to the first zero byte.
std::string BrandStringBytes(const uint32_t registers[12]);

}  // namespace Quorvel

#endif
