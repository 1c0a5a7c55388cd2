#ifndef QV_FINGERPRINT_MACHINEGUID_H
#define QV_FINGERPRINT_MACHINEGUID_H

#include <string>

namespace Quorvel {

// The report's machine identifier: adapter address, disk serial and
// Windows install date, concatenated. Never fails; unreadable sources add
// nothing (the date part is always there).
std::wstring GetMachineGuid();
std::wstring ComposeMachineGuid(const std::wstring& macPart, std::wstring diskPart, const std::wstring& datePart);

// Fourteen digits, local time of the machine; the time 0 when the registry
// has no install date.
std::wstring GetWindowsInstallDate();

}  // namespace Quorvel

#endif
