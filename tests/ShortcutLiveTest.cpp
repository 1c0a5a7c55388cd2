#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "core/HandlesWin32.h"
#include "core/Names.h"
#include "core/PathOps.h"
#include "core/Shell.h"
#include "shortcuts/Shortcuts.h"
#include "tools/ShellLinkReader.h"
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

// These two use the prefix's own desktop and start menu, under names of
// their own, and remove what they made.
TEST_F(ShortcutLiveTest, AnEmptyNameMakesOnlyTheUninstallShortcut) {
    const std::wstring uninstall = ProgramsFolder() + L"\\" + kUninstallPrefix + L".lnk";
    RemoveTree(uninstall);
    EXPECT_TRUE(CreateShortcuts(L"", target));
    ShellLinkInfo info;
    EXPECT_TRUE(ReadShellLink(uninstall, &info));
    EXPECT_EQ(L"-uninstall", info.arguments);
    EXPECT_EQ(target, info.target);
    EXPECT_FALSE(Exists(DesktopFolder() + L"\\.lnk"));
    EXPECT_FALSE(Exists(ProgramsFolder() + L"\\.lnk"));
    RemoveTree(uninstall);
}

TEST_F(ShortcutLiveTest, AnUncreatableStartMenuFolderLeavesTheDesktopShortcut) {
    wchar_t name[64];
    wsprintfW(name, L"QvBlocked%lu", ::GetCurrentProcessId());
    const std::wstring blocker = ProgramsFolder() + L"\\" + name;
    const std::wstring desktopLink = DesktopFolder() + L"\\" + name + L".lnk";
    ASSERT_TRUE(WriteBytes(blocker, "a file where the folder would go"));
    EXPECT_TRUE(CreateShortcuts(name, target));
    EXPECT_TRUE(Exists(desktopLink));
    EXPECT_FALSE(IsDirectory(blocker));
    EXPECT_FALSE(Exists(blocker + L"\\" + name + L".lnk"));
    RemoveTree(desktopLink);
    RemoveTree(blocker);
}

TEST_F(ShortcutLiveTest, UninstallNameStartsWithTheTwoCharacters) {
    EXPECT_EQ(std::wstring(L"\x5378\x8F7D"), std::wstring(kUninstallPrefix));
}

}  // namespace
