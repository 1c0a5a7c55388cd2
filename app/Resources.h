#ifndef QV_APP_RESOURCES_H
#define QV_APP_RESOURCES_H

#include <string>

namespace Quorvel {

// Resources the installer carries (RT_RCDATA), and the string that names the
// statistics server.
enum {
    kSettingsResource = 1000,
    kClientResource = 1001,
    kArchiveResource = 1002,
    kStatsHostString = 1003
};

// The file name a resource is written to; empty for any other id.
std::wstring ResourceFileName(int id);

}  // namespace Quorvel

#endif
