#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "fingerprint/DiskSerial.h"

#include "core/Buffer.h"
#include "core/HandlesWin32.h"
#include "core/Text.h"

namespace Quorvel {

namespace {

const DWORD kSmartGetVersion = 0x74080;
const DWORD kSmartRcvDriveData = 0x7C088;
const DWORD kScsiMiniport = 0x4D008;
const DWORD kScsiMiniportIdentify = 0x1B0501;

// Byte offsets of the driver records, as Windows lays them out (packed).
enum {
    kVersionDeviceMap = 3,             // GETVERSIONINPARAMS.bIDEDeviceMap
    kVersionSize = 24,
    kCmdBufferSize = 0,                // SENDCMDINPARAMS.cBufferSize
    kCmdRegs = 4,                      // .irDriveRegs (IDEREGS, 8 bytes)
    kCmdDriveNumber = 12,              // .bDriveNumber
    kCmdInSize = 32,                   // without its one-byte buffer
    kCmdOutData = 16,                  // SENDCMDOUTPARAMS.bBuffer
    kSrbSize = 28                      // SRB_IO_CONTROL
};

QVFileHandle OpenDevice(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    return QVFileHandle(::CreateFileW(path, access, share, NULL, disposition, flags, NULL));
}

// "\\.\PhysicalDrive<n>" or "\\.\Scsi<n>:", for reading and writing.
QVFileHandle OpenNumberedDevice(const wchar_t* format, int n, DWORD share) {
    wchar_t path[64];
    _snwprintf(path, 63, format, n);
    path[63] = 0;
    return OpenDevice(path, GENERIC_READ | GENERIC_WRITE, share, OPEN_EXISTING, 0);
}

bool Control(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    return ::DeviceIoControl(device, code, in, inSize, out, outSize, &returned, NULL) != FALSE;
}

void PutDword(unsigned char* p, DWORD value) { memcpy(p, &value, sizeof(value)); }

bool ReadSmartWithDeviceMap(DiskIdentifyList& list) {
    bool found = false;
    for (int n = 0; n < 16; ++n) {
        QVFileHandle drive = OpenNumberedDevice(L"\\\\.\\PhysicalDrive%d", n, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (!drive.valid()) continue;
        unsigned char version[kVersionSize] = {0};
        if (!Control(drive.get(), kSmartGetVersion, NULL, 0, version, sizeof(version)) ||
            version[kVersionDeviceMap] == 0) {
            continue;
        }
        unsigned char in[kCmdInSize + 1] = {0};
        unsigned char out[528] = {0};
        PutDword(in + kCmdBufferSize, 512);
        unsigned char* regs = in + kCmdRegs;
        regs[1] = 1;  // sector count
        regs[2] = 1;  // sector number
        regs[5] = static_cast<unsigned char>(0xA0 | ((n & 1) << 4));
        // ATAPI devices answer only IDENTIFY PACKET DEVICE.
        regs[6] = ((version[kVersionDeviceMap] >> n) & 0x10) ? 0xA1 : 0xEC;
        in[kCmdDriveNumber] = static_cast<unsigned char>(n);
        if (Control(drive.get(), kSmartRcvDriveData, in, kCmdInSize, out, sizeof(out))) {
            list.AddIdentifyBlock(out + kCmdOutData);
            found = true;
        }
    }
    return found;
}

bool ReadScsiMiniport(DiskIdentifyList& list) {
    bool found = false;
    for (int c = 0; c < 16; ++c) {
        QVFileHandle controller = OpenNumberedDevice(L"\\\\.\\Scsi%d:", c, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (!controller.valid()) continue;
        for (int d = 0; d < 2; ++d) {
            unsigned char buffer[557] = {0};
            PutDword(buffer, kSrbSize);                // HeaderLength
            memcpy(buffer + 4, "SCSIDISK", 8);         // Signature
            PutDword(buffer + 12, 10000);              // Timeout
            PutDword(buffer + 16, kScsiMiniportIdentify);
            PutDword(buffer + 24, 529);                // Length
            buffer[kSrbSize + kCmdRegs + 6] = 0xEC;
            buffer[kSrbSize + kCmdDriveNumber] = static_cast<unsigned char>(d);
            if (Control(controller.get(), kScsiMiniport, buffer, 60, buffer, sizeof(buffer)) &&
                buffer[kSrbSize + kCmdOutData + 54] != 0) {
                list.AddIdentifyBlock(buffer + kSrbSize + kCmdOutData);
                found = true;
            }
        }
    }
    return found;
}

bool ReadSmartPlain(DiskIdentifyList& list) {
    bool found = false;
    for (int n = 0; n < 16; ++n) {
        QVFileHandle drive = OpenNumberedDevice(L"\\\\.\\PhysicalDrive%d", n,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (!drive.valid()) continue;
        unsigned char version[kVersionSize] = {0};
        if (!Control(drive.get(), kSmartGetVersion, NULL, 0, version, sizeof(version))) continue;
        QVBuffer<unsigned char> buffer(545);
        if (buffer.Data() == NULL) continue;
        memset(buffer.Data(), 0, 545);
        buffer.Data()[kCmdRegs + 6] = 0xEC;
        if (Control(drive.get(), kSmartRcvDriveData, buffer.Data(), 33, buffer.Data(), 545)) {
            list.AddIdentifyBlock(buffer.Data() + kCmdOutData);
            found = true;
        }
    }
    return found;
}

bool ReadWin9xDriver(DiskIdentifyList& list) {
    ::SetPriorityClass(::GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    QVBuffer<unsigned char> record(4108);
    bool reported = false;
    if (record.Data() != NULL) {
        memset(record.Data(), 0, 4108);
        QVFileHandle driver = OpenDevice(L"\\\\.\\IDE21201.VXD", 0, 0, 0, FILE_FLAG_DELETE_ON_CLOSE);
        if (driver.valid()) {
            Control(driver.get(), 1, NULL, 0, record.Data(), 4108);
            driver.reset();
            const unsigned char* controllers = record.Data();
            const unsigned char* disks = record.Data() + 4;
            for (int i = 0; i < 8; ++i) {
                if (disks[i] != 0 && controllers[i / 2] != 0) {
                    list.AddIdentifyBlock(record.Data() + 12 + i * kIdentifyBlockSize);
                    reported = true;
                }
            }
        }
    }
    ::SetPriorityClass(::GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    return reported;
}

bool CollectIdentifyBlocks(DiskIdentifyList& list) {
    OSVERSIONINFOW version;
    ::ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    ::GetVersionExW(&version);
    list.Clear();
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        ReadSmartWithDeviceMap(list);
        ReadScsiMiniport(list);
        ReadSmartPlain(list);
    } else {
        for (int attempt = 0; attempt < 10 && !ReadWin9xDriver(list); ++attempt) {
        }
    }
    return list.Size() > 0;
}

}  // namespace

std::wstring ReadDiskSerial() {
    DiskIdentifyList list;
    if (!CollectIdentifyBlocks(list)) return std::wstring();
    return AnsiToWide(ChooseSerial(list).c_str());
}

}  // namespace Quorvel
