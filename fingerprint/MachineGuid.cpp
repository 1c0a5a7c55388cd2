#include "fingerprint/MachineGuid.h"

#include "core/Text.h"

namespace Quorvel {

std::wstring ComposeMachineGuid(const std::wstring& macPart, std::wstring diskPart, const std::wstring& datePart) {
    TrimLeft(diskPart, L" \r\t\n");
    TrimRight(diskPart, L" \r\t\n");
    return macPart + diskPart + datePart;
}

}  // namespace Quorvel
