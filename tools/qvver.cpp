// qvver: prints what the description of the running Windows is made of, as
// the installer sees it, tab-separated: major, minor, build, platform,
// service-pack major, minor, suite mask, product type, native processor
// architecture, GetProductInfo type (0 if none), SM_SERVERR2, CSD text.
#include <windows.h>

#include "report/OsDescription.h"
#include "tools/ToolOutput.h"

int wmain() {
    const Quorvel::QVOsVersionRecord os = Quorvel::ReadOsVersionRecord();
    if (os.platformId == 0) return 1;
    const unsigned long long fields[] = {os.majorVersion, os.minorVersion, os.buildNumber, os.platformId,
                                         os.servicePackMajor, os.servicePackMinor, os.suiteMask, os.productType,
                                         os.processorArchitecture, os.productInfoType, os.serverR2 ? 1u : 0u};
    std::wstring line;
    for (unsigned long long field : fields) line += Number(field) + L"\t";
    PrintUtf8(line + os.csdVersion + L"\n");
    return 0;
}
