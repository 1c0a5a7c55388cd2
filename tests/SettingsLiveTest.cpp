#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/InstanceLockWin32.h"
#include "tests/TestFolder.h"

using namespace Quorvel;

namespace {

// The lock is named from the resource in memory, the folder from the file
// on disk through the profile functions: if the two readers disagreed, two
// runs of one game would not keep each other out.
TEST(SettingsLiveTest, TheLockReadsTheNameAsTheProfileFunctionsDo) {
    const struct {
        const char* what;
        std::string bytes;
    } files[] = {
        {"plain", "[game]\r\nname=Star\r\n"},
        {"GBK", "[game]\r\nname=\xD0\xC7\xB3\xBD\r\n"},
        {"blanks, quotes, case", " [ GAME ] \r\n  Name\t=\t\"Star Tale\" \r\n"},
        {"key twice", "[game]\r\nname=first\r\nname=second\r\n"},
        {"section twice, name in the second", "[game]\r\nid=3\r\n[other]\r\n[game]\r\nname=late\r\n"},
        {"section twice, name in both", "[game]\r\nname=one\r\n[game]\r\nname=two\r\n"},
        {"comment line", "[game]\r\n;name=no\r\nname=yes\r\n"},
        {"no section", "name=loose\r\n"},
        {"line ends \\n only", "[game]\nname=unix\n"},
        {"UTF-8 with a mark", "\xEF\xBB\xBF[game]\r\nname=\xE6\x98\x9F\r\n"},
        {"UTF-16 with a mark", std::string("\xFF\xFE[\0g\0a\0m\0e\0]\0\r\0\n\0n\0a\0m\0e\0=\0\x1F\x66\r\0\n\0", 34)},
        {"empty", ""},
    };
    TestFolder dir;
    for (const auto& f : files) {
        SCOPED_TRACE(f.what);
        const std::wstring path = dir / L"setting.ini";
        ASSERT_TRUE(WriteBytes(path, f.bytes));
        wchar_t read[MAX_PATH] = {0};
        ::GetPrivateProfileStringW(L"game", L"name", NULL, read, MAX_PATH, path.c_str());
        EXPECT_EQ(std::wstring(read), SettingsGameName(f.bytes.data(), f.bytes.size()));
    }
}

}  // namespace
