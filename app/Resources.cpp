#include "app/Resources.h"

#include "core/Names.h"

namespace Quorvel {

std::wstring ResourceFileName(int id) {
    switch (id) {
    case kSettingsResource: return kSettingsFileName;
    case kClientResource: return kTempClientFileName;
    case kArchiveResource: return kArchiveFileName;
    default: return std::wstring();
    }
}

}  // namespace Quorvel
