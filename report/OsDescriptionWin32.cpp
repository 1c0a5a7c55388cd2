#include <windows.h>

#include "core/HandlesWin32.h"
#include "report/OsDescription.h"

namespace Quorvel {

namespace {

typedef void(WINAPI* GetNativeSystemInfoFn)(SYSTEM_INFO*);
typedef BOOL(WINAPI* GetProductInfoFn)(DWORD, DWORD, DWORD, DWORD, DWORD*);

}  // namespace

QVOsVersionRecord ReadOsVersionRecord() {
    OSVERSIONINFOEXW version;
    ::ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    SYSTEM_INFO system;
    ::ZeroMemory(&system, sizeof(system));
    // Both exist only on newer systems; kernel32 is always loaded.
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    GetNativeSystemInfoFn nativeInfo = GetProc<GetNativeSystemInfoFn>(kernel, "GetNativeSystemInfo");
    if (nativeInfo != NULL) nativeInfo(&system);
    else ::GetSystemInfo(&system);

    QVOsVersionRecord record;
    record.majorVersion = version.dwMajorVersion;
    record.minorVersion = version.dwMinorVersion;
    record.buildNumber = version.dwBuildNumber;
    record.platformId = version.dwPlatformId;
    version.szCSDVersion[127] = 0;
    record.csdVersion = version.szCSDVersion;
    record.servicePackMajor = version.wServicePackMajor;
    record.servicePackMinor = version.wServicePackMinor;
    record.suiteMask = version.wSuiteMask;
    record.productType = version.wProductType;
    record.processorArchitecture = system.wProcessorArchitecture;
    if (version.dwMajorVersion == 6) {
        GetProductInfoFn productInfo = GetProc<GetProductInfoFn>(kernel, "GetProductInfo");
        DWORD type = 0;
        if (productInfo != NULL && productInfo(version.dwMajorVersion, version.dwMinorVersion,
                                                version.wServicePackMajor, version.wServicePackMinor, &type)) {
            record.productInfoType = type;
        }
    }
    record.serverR2 = ::GetSystemMetrics(SM_SERVERR2) != 0;
    return record;
}

}  // namespace Quorvel
