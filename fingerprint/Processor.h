#ifndef QV_FINGERPRINT_PROCESSOR_H
#define QV_FINGERPRINT_PROCESSOR_H

#include <stdint.h>
#include <string>

namespace Quorvel {

// The family code of a processor brand name: 7 for "i7", 6 "i5", 5 "i3",
// 4 "core2" or "core(tm)2", 3 "core", 2 "pentium", 1 "celeron" (the first
// that the lower-cased name contains), else 0.
uint8_t ProcessorClassOf(const std::wstring& name);

// The 48 brand-string bytes of CPUID leaves 0x80000002..4 (EAX, EBX, ECX,
// EDX each), up to the first zero byte.
std::string BrandStringBytes(const uint32_t registers[12]);

}  // namespace Quorvel

#endif
