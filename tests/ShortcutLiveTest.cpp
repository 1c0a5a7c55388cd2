#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "app/Handles.h"
#include "shortcuts/Shortcuts.h"
#include "tests/ShellLinkReader.h"
#include "tests/TestFolder.h"

using namespace Quorvel;

namespace {

class ShortcutLiveTest : public testing::Test {
protected:
    ShortcutLiveTest() : apartment(COINIT_APARTMENTTHREADED) {
        target = dir / L"\x6E38\x620F\\game.exe";
        ::CreateDirectoryW((dir / L"\x6E38\x620F").c_str(), NULL);
        WriteBytes(target, "MZ");
    }
    bool Make(const std::wstring& linkPath, const std::wstring& arguments = L"") {
        return CreateShortcut(L"\x661F\x8FB0", target, target, arguments, linkPath);
    }
    QVComApartment apartment;
    TestFolder dir;
    std::wstring target;
};

TEST_F(ShortcutLiveTest, TheShellReadsBackWhatWasWritten) {
    ASSERT_TRUE(Make(dir / L"links\\game", L"-uninstall"));
    ShellLinkInfo info;
    ASSERT_TRUE(ReadShellLink(dir / L"links\\game.lnk", &info));
    EXPECT_EQ(target, info.target);
    EXPECT_EQ(L"-uninstall", info.arguments);
    EXPECT_EQ(dir / L"\x6E38\x620F\\", info.workingDirectory);
    EXPECT_EQ(target, info.iconPath);
    EXPECT_EQ(0, info.iconIndex);
    EXPECT_EQ(L"\x661F\x8FB0", info.description);
}

TEST_F(ShortcutLiveTest, ExtensionRules) {
    ASSERT_TRUE(Make(dir / L"Game.LNK"));
    EXPECT_TRUE(Exists(dir / L"Game.LNK"));
    EXPECT_FALSE(Exists(dir / L"Game.LNK.lnk"));
    ASSERT_TRUE(Make(dir / L"v1.2"));
    EXPECT_TRUE(Exists(dir / L"v1.2.lnk"));
    ASSERT_TRUE(Make(dir / L"dotted.dir\\plain"));
    EXPECT_TRUE(Exists(dir / L"dotted.dir\\plain.lnk"));
}

TEST_F(ShortcutLiveTest, AnExistingShortcutIsReplaced) {
    ASSERT_TRUE(Make(dir / L"game"));
    ASSERT_TRUE(Make(dir / L"game", L"-second"));
    ShellLinkInfo info;
    ASSERT_TRUE(ReadShellLink(dir / L"game.lnk", &info));
    EXPECT_EQ(L"-second", info.arguments);
    EXPECT_FALSE(Exists(dir / L"game (2).lnk"));
}

TEST_F(ShortcutLiveTest, SkippedWhenItCannotBeMade) {
    ASSERT_TRUE(WriteBytes(dir / L"file", "x"));
    EXPECT_FALSE(Make(dir / L"file\\below\\game"));  // link folder cannot be created
    EXPECT_FALSE(Make(dir / L"folder\\"));           // empty file name, as for an empty game name
    EXPECT_FALSE(Make(L""));
    EXPECT_FALSE(CreateShortcut(L"d", L"", L"", L"", dir / L"x"));
    EXPECT_FALSE(Make(L"C:\\" + std::wstring(600, L'a')));
    EXPECT_FALSE(Exists(dir / L"folder"));
}

TEST_F(ShortcutLiveTest, UninstallNameStartsWithTheTwoCharacters) {
    EXPECT_EQ(std::wstring(L"\x5378\x8F7D"), std::wstring(kUninstallPrefix));
}

}  // namespace
