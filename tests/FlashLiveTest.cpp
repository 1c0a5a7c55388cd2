#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include "report/FlashWin32.h"
#include "report/SystemInfoWin32.h"

using namespace Quorvel;

namespace {

const wchar_t kProgIdKey[] = L"ShockwaveFlash.ShockwaveFlash\\CLSID";
const wchar_t kClsid[] = L"{D27CDB6E-AE6D-11cf-96B8-444553540000}";
const wchar_t kClassKey[] = L"CLSID\\{D27CDB6E-AE6D-11cf-96B8-444553540000}\\InprocServer32";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Adobe Flash Player ActiveX";

std::wstring StubPath() {
    wchar_t path[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, path, MAX_PATH - 1);
    std::wstring dir(path);
    return dir.substr(0, dir.rfind(L'\\') + 1) + L"qvflashstub.exe";
}

void SetString(HKEY root, const wchar_t* path, const wchar_t* name, const std::wstring& value) {
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root, path, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL));
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

// The probe reads the machine's registry: each case writes what it needs
// and removes all of it again.
class FlashLiveTest : public testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    void Clean() {
        ::SHDeleteKeyW(HKEY_CLASSES_ROOT, L"ShockwaveFlash.ShockwaveFlash");
        ::SHDeleteKeyW(HKEY_CLASSES_ROOT, L"CLSID\\{D27CDB6E-AE6D-11cf-96B8-444553540000}");
        ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
    }
    QVFlashInfo Probe() {
        QVFlashInfo info;
        info.ProbeFlashPlayer();
        return info;
    }
};

TEST_F(FlashLiveTest, NotRegistered) {
    SetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName", L"Adobe Flash Player 11 ActiveX");
    const QVFlashInfo info = Probe();
    EXPECT_FALSE(info.Found());
    EXPECT_EQ(L"", info.GetFlashName());
}

TEST_F(FlashLiveTest, UninstallEntryGivesNameAndVersion) {
    SetString(HKEY_CLASSES_ROOT, kProgIdKey, NULL, kClsid);
    SetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion", L"11.5.502.146");
    SetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName", L"Adobe Flash Player 11 ActiveX 64-bit");
    const QVFlashInfo info = Probe();
    EXPECT_TRUE(info.Found());
    EXPECT_EQ(L"Adobe Flash Player 11 ActiveX 64-bit", info.GetFlashName());
    EXPECT_EQ(502u, info.Version()[2]);
}

TEST_F(FlashLiveTest, ControlFileWhenTheEntryHasNoName) {
    SetString(HKEY_CLASSES_ROOT, kProgIdKey, NULL, kClsid);
    SetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion", L"");  // no pieces: next source
    SetString(HKEY_CLASSES_ROOT, kClassKey, NULL, StubPath());
    const QVFlashInfo info = Probe();
    EXPECT_TRUE(info.Found());
    EXPECT_EQ(L"Adobe Flash Player 11 ActiveX", info.GetFlashName());
    EXPECT_EQ(11u, info.Version()[0]);
    EXPECT_EQ(4u, info.Version()[1]);
    EXPECT_EQ(402u, info.Version()[2]);
    EXPECT_EQ(265u, info.Version()[3]);
}

TEST_F(FlashLiveTest, RegisteredWithoutSources) {
    SetString(HKEY_CLASSES_ROOT, kProgIdKey, NULL, kClsid);
    SetString(HKEY_CLASSES_ROOT, kClassKey, NULL, L"C:\\no\\such\\file.ocx");
    const QVFlashInfo info = Probe();
    EXPECT_TRUE(info.Found());
    EXPECT_EQ(L"", info.GetFlashName());
}

TEST_F(FlashLiveTest, RegistryStringsUpTo511Characters) {
    SetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"Exact", std::wstring(511, L'x'));
    SetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"Long", std::wstring(512, L'x'));
    RegistryKey key;
    ASSERT_TRUE(key.Open(HKEY_LOCAL_MACHINE, kUninstallKey));
    std::wstring text = L"old";
    EXPECT_TRUE(ReadRegistryString(text, key, L"Exact"));
    EXPECT_EQ(511u, text.size());
    EXPECT_FALSE(ReadRegistryString(text, key, L"Long"));
    EXPECT_EQ(L"", text);
    EXPECT_EQ(ERROR_MORE_DATA, key.lastError);
}

TEST(FileVersionLiveTest, ProductVersionAndTranslations) {
    uint32_t version[4] = {0, 0, 0, 0};
    ASSERT_TRUE(GetFileProductVersion(StubPath(), version));
    EXPECT_EQ(11u, version[0]);
    EXPECT_EQ(265u, version[3]);
    QVFileVersionInfo info(StubPath());
    ASSERT_TRUE(info.Load());
    ASSERT_EQ(1u, info.Prefixes().size());
    EXPECT_EQ(L"\\StringFileInfo\\040904b0", info.Prefixes()[0]);
    EXPECT_FALSE(GetFileProductVersion(L"C:\\no\\such\\file", version));
}

}  // namespace
