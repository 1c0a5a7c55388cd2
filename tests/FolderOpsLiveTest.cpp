#include <windows.h>

#include <gtest/gtest.h>

#include "app/Launch.h"
#include "archive/PathHelpers.h"
#include "core/PathOps.h"
#include "core/Shell.h"
#include "tests/TestFolder.h"

using namespace Quorvel;

namespace {

TEST(FolderOpsLiveTest, ExistsAndIsDirectory) {
    TestFolder dir;
    ASSERT_TRUE(WriteBytes(dir / L"f.txt", "x"));
    EXPECT_TRUE(PathExists(dir / L"f.txt"));
    EXPECT_FALSE(IsDirectory(dir / L"f.txt"));
    EXPECT_TRUE(IsDirectory(dir.Path() + L"\\"));
    EXPECT_TRUE(IsDirectory(L"\"" + dir.Path() + L"\""));
    EXPECT_TRUE(PathExists(L"C:\\"));  // trimmed to "C:"
    EXPECT_FALSE(PathExists(dir / L"missing"));
    EXPECT_FALSE(PathExists(L""));
}

TEST(FolderOpsLiveTest, EnsureDirectoryCreatesEveryLevel) {
    TestFolder dir;
    EXPECT_TRUE(EnsureDirectory(dir / L"a\\b/c\\d"));
    EXPECT_TRUE(IsDirectory(dir / L"a\\b\\c\\d"));
    EXPECT_TRUE(EnsureDirectory(dir / L"x\\y\\"));
    EXPECT_TRUE(EnsureDirectory(dir / L"x\\y"));  // exists already
    ASSERT_TRUE(WriteBytes(dir / L"file", ""));
    EXPECT_FALSE(EnsureDirectory(dir / L"file"));
    EXPECT_FALSE(EnsureDirectory(dir / L"file\\below"));
    EXPECT_FALSE(EnsureDirectory(L""));
}

TEST(FolderOpsLiveTest, RenameFileFailsOverAnExistingFile) {
    TestFolder dir;
    ASSERT_TRUE(WriteBytes(dir / L"old", "old"));
    ASSERT_TRUE(WriteBytes(dir / L"taken", "taken"));
    EXPECT_FALSE(RenameFile(dir / L"taken", dir / L"old"));
    EXPECT_TRUE(RenameFile(dir / L"\x65B0.exe", dir / L"old"));
    std::string bytes;
    ASSERT_TRUE(ReadBytes(dir / L"\x65B0.exe", &bytes));
    EXPECT_EQ("old", bytes);
    EXPECT_FALSE(Exists(dir / L"old"));
}

TEST(FolderOpsLiveTest, ClearBlockingAttributesLetsAFileBeReplaced) {
    TestFolder dir;
    const std::wstring path = dir / L"locked.txt";
    ASSERT_TRUE(WriteBytes(path, "x"));
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    ClearBlockingAttributes(path);
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), ::GetFileAttributesW(path.c_str()));
    ClearBlockingAttributes(dir / L"missing");  // nothing to do, no failure
}

TEST(FolderOpsLiveTest, DirectoryAndFileNameParts) {
    TestFolder dir;
    std::wstring folder, name;
    ASSERT_TRUE(DirectoryPart(dir / L"sub\\game.lnk", &folder));
    EXPECT_EQ(dir.Path() + L"\\sub\\", folder);
    ASSERT_TRUE(FileNamePart(dir / L"sub\\game.lnk", &name));
    EXPECT_EQ(L"game.lnk", name);
    ASSERT_TRUE(FileNamePart(dir / L"sub\\", &name));
    EXPECT_EQ(L"", name);
    ASSERT_TRUE(DirectoryPart(dir / L"sub\\", &folder));
    EXPECT_EQ(dir.Path() + L"\\sub\\", folder);
    EXPECT_FALSE(DirectoryPart(L"C:\\" + std::wstring(600, L'a'), &folder));
}

TEST(ShellLiveTest, SpecialFoldersAndLaunch) {
    EXPECT_FALSE(AppDataFolder().empty());
    EXPECT_FALSE(DesktopFolder().empty());
    EXPECT_NE(L'\\', AppDataFolder()[AppDataFolder().size() - 1]);
    EXPECT_EQ(L"", GetSpecialFolder(0x7F));  // no such folder
    TestFolder dir;
    EXPECT_FALSE(LaunchProgram(dir / L"missing.exe", dir.Path()));
}

}  // namespace
