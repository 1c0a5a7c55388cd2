#include "app/Resources.h"

namespace Quorvel {

std::wstring ResourceFileName(int id) {
    switch (id) {
    case kSettingsResource: return L"setting.ini";
    case kClientResource: return L"temp.exe";
    case kArchiveResource: return L"res.zip";
    default: return std::wstring();
    }
}

}  // namespace Quorvel
