#include <windows.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <gtest/gtest.h>

#include "fingerprint/Adapters.h"
#include "fingerprint/DiskSerial.h"
#include "fingerprint/MachineGuid.h"
#include "report/SystemInfoWin32.h"

using namespace Quorvel;

namespace {

const wchar_t kVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

void SetValue(const wchar_t* path, const wchar_t* name, const std::wstring& value) {
    HKEY key = NULL;
    // Volatile: Wine keeps some of these parents volatile, and test keys
    // should not outlive the prefix's session anyway.
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_VOLATILE, KEY_WRITE, NULL, &key, NULL));
    if (name != NULL || !value.empty()) {
        ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    ::RegCloseKey(key);
}

// The C runtime reads TZ itself; Wine's msvcrt understands "CST-8" but
// not zone names.
void SetZone(const char* zone) {
    _putenv_s("TZ", zone);
    _tzset();
}

TEST(InstallDateLiveTest, LocalTimeOfTheRegistryValue) {
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_READ | KEY_WRITE, &key));
    DWORD saved = 0, size = sizeof(saved);
    const bool had = ::RegQueryValueExW(key, L"InstallDate", NULL, NULL, reinterpret_cast<BYTE*>(&saved), &size) == 0;
    const DWORD value = 1262304000;  // 2010-01-01 00:00:00 UTC
    ::RegSetValueExW(key, L"InstallDate", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    SetZone("UTC0");
    EXPECT_EQ(L"20100101000000", GetWindowsInstallDate());
    SetZone("CST-8");
    EXPECT_EQ(L"20100101080000", GetWindowsInstallDate());
    ::RegDeleteValueW(key, L"InstallDate");
    EXPECT_EQ(L"19700101080000", GetWindowsInstallDate());  // no value: the time 0
    if (had) ::RegSetValueExW(key, L"InstallDate", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&saved), sizeof(saved));
    ::RegCloseKey(key);
    _putenv_s("TZ", "");
    _tzset();
}

class AdapterInventoryLiveTest : public testing::Test {
protected:
    void TearDown() override {
        if (!service.empty() && createdKeys) {
            ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\9901");
            ::SHDeleteKeyW(HKEY_LOCAL_MACHINE,
                           (L"SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" +
                            service).c_str());
            ::SHDeleteKeyW(HKEY_LOCAL_MACHINE,
                           (L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + service).c_str());
        }
    }
    std::wstring service;
    bool createdKeys = true;
};

TEST_F(AdapterInventoryLiveTest, RegistryKeysMakeAnAdapterQualify) {
    const QVAdapterInventory before;
    for (const QVAdapterRecord& a : before.adapters) {
        EXPECT_EQ(12u, a.macText.size());
        EXPECT_EQ(FormatMac(a.mac), a.macText);
    }
    if (before.adapters.empty()) GTEST_SKIP() << "Wine reports no network adapter on this machine";
    const QVAdapterRecord& adapter = before.adapters[0];
    service = adapter.name;
    const std::wstring guidBefore = GetMachineGuid();
    // Without the keys the address part is empty: the identifier is the date.
    if (before.networkCards.empty()) {
        EXPECT_EQ(14u, guidBefore.size());
    }

    SetValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\9901", L"ServiceName", service);
    SetValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\9901", L"Description", adapter.description);
    SetValue((L"SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" + service +
              L"\\Connection").c_str(), L"Name", L"Local Area Connection");
    HKEY tcpipKey = NULL;
    const bool hadTcpip = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                          (L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" +
                                           service).c_str(), 0, KEY_READ, &tcpipKey) == ERROR_SUCCESS;
    if (hadTcpip) ::RegCloseKey(tcpipKey);
    const QVAdapterInventory withoutTcpip;
    if (!hadTcpip) {
        EXPECT_EQ(before.networkCards.size(), withoutTcpip.networkCards.size());  // no Tcpip key: not a card
    }

    SetValue((L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + service).c_str(), NULL, L"");
    const QVAdapterInventory after;
    bool qualifies = false;
    for (const QVNetworkCardRecord& card : after.networkCards) qualifies = qualifies || card.serviceName == service;
    ASSERT_TRUE(qualifies);
    const std::wstring guid = GetMachineGuid();
    bool startsWithAnAdapter = false;
    for (const QVAdapterRecord& a : after.adapters) {
        if (a.name == service && guid.compare(0, 12, a.macText) == 0) startsWithAnAdapter = true;
    }
    EXPECT_TRUE(startsWithAnAdapter) << testing::PrintToString(guid);
    EXPECT_EQ(26u, guid.size());
}

}  // namespace

namespace {

TEST(WmiLiveTest, ProcessorsAndDisplayAdapters) {
    QVSystemInfo info;
    EXPECT_TRUE(info.QueryProcessors());
    EXPECT_GE(info.processorCount, 1u);
    EXPECT_EQ(info.processorCount, info.clockSpeeds.size());
    uint32_t sum = 0;
    for (uint32_t mhz : info.clockSpeeds) sum += mhz;
    EXPECT_EQ(sum, info.clockSpeedSum);
    EXPECT_FALSE(info.processorName.empty());
    EXPECT_TRUE(info.QueryDisplayAdapters());
    ASSERT_FALSE(info.displayAdapters.empty());
    EXPECT_FALSE(info.displayAdapters[0].name.empty());
    // The brand string as the host's processor reports it.
    const char* expected = getenv("QV_HOST_CPU_BRAND");
    if (expected != nullptr && expected[0] != 0) {
        EXPECT_EQ(std::wstring(expected, expected + strlen(expected)), info.processorName);
    }
}

}  // namespace

namespace {

TEST(DiskSerialLiveTest, NoDiskAnswersUnderWineAndNothingBreaks) {
    // Wine has no disk or SCSI-port driver that answers IDENTIFY: every
    // strategy finds nothing, quickly, and the identifier lacks that part.
    const DWORD started = ::GetTickCount();
    const std::wstring serial = ReadDiskSerial();
    EXPECT_LT(::GetTickCount() - started, 5000u);
    EXPECT_EQ(std::wstring::npos, serial.find(L'\0'));
}

}  // namespace
