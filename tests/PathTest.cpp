#include <gtest/gtest.h>

#include "archive/EntryName.h"
#include "archive/PathHelpers.h"
#include "core/PathOps.h"

using namespace Quorvel;

namespace {

std::wstring Normalized(std::wstring path, unsigned flags) {
    NormalizePath(path, flags);
    return path;
}

TEST(NormalizePathTest, AppliesFlagsInOrder) {
    struct Row {
        const wchar_t* in;
        unsigned flags;
        const wchar_t* out;
    } rows[] = {
        {L"\"C:\\a b\"", StripQuotes, L"C:\\a b"},
        {L"\"\"", StripQuotes, L""},
        {L"\"", StripQuotes, L"\""},
        {L"\"a", StripQuotes, L"\"a"},
        {L"\"\"a\"\"", StripQuotes, L"\"a\""},
        {L"C:\\game\\res", EnsureTrailingSeparator, L"C:\\game\\res\\"},
        {L"C:\\game\\res//", EnsureTrailingSeparator, L"C:\\game\\res\\"},
        {L"\\/\\", EnsureTrailingSeparator, L""},
        {L"", EnsureTrailingSeparator, L""},
        {L"C:\\", TrimTrailingSeparators, L"C:"},
        {L"a\\b\\\\/", TrimTrailingSeparators, L"a\\b"},
        {L"\"C:\\x\\\"", StripQuotes | EnsureTrailingSeparator, L"C:\\x\\"},
        {L"C:\\x", EnsureTrailingSeparator | TrimTrailingSeparators, L"C:\\x"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.in)));
        EXPECT_EQ(r.out, Normalized(r.in, r.flags));
    }
}

TEST(DirectoryOfTest, UpToTheLastBackslashOnly) {
    EXPECT_EQ(L"C:\\a\\", DirectoryOf(L"C:\\a\\b.exe"));
    EXPECT_EQ(L"C:\\a\\", DirectoryOf(L"C:\\a\\"));
    EXPECT_EQ(L"C:/a/b", DirectoryOf(L"C:/a/b"));  // slashes do not count
    EXPECT_EQ(L"file", DirectoryOf(L"file"));
    EXPECT_EQ(L"", DirectoryOf(L""));
}

TEST(PathHelpersTest, IsAbsolutePath) {
    const wchar_t* absolute[] = {L"\\\\srv\\share", L"\\\\", L"C:", L"C:\\", L"c:/x", L"\\\\?\\C:\\x"};
    const wchar_t* relative[] = {L"", L"\\", L"\\x", L"C", L"C:x", L"/x", L"//x", L"ab\\c"};
    for (const wchar_t* p : absolute) EXPECT_TRUE(IsAbsolutePath(p)) << testing::PrintToString(std::wstring(p));
    for (const wchar_t* p : relative) EXPECT_FALSE(IsAbsolutePath(p)) << testing::PrintToString(std::wstring(p));
}

TEST(PathHelpersTest, JoinPath) {
    struct Row {
        const wchar_t* base;
        const wchar_t* name;
        const wchar_t* out;
    } rows[] = {
        {L"C:\\g\\res", L"\\", L"C:\\g\\res\\"},
        {L"C:\\g\\res", L"bk.png", L"C:\\g\\res\\bk.png"},
        {L"C:\\g\\res\\", L"bk.png", L"C:\\g\\res\\bk.png"},
        {L"C:\\g\\res\\//", L"\\", L"C:\\g\\res\\"},
        {L"C:\\g\\res", L"D:\\x.txt", L"D:\\x.txt"},
        {L"C:\\g\\res", L"\\sub\\a.png", L"C:\\g\\res\\sub\\a.png"},
        {L"C:\\g\\res", L"\"q.png\"", L"C:\\g\\res\\q.png"},
        {L"\"C:\\g\\res\"", L"a", L"C:\\g\\res\\a"},
        {L"", L"\\/a\\b", L"a\\b"},
        {L"C:\\g", L"\\\\srv\\x", L"\\\\srv\\x"},
        {L"", L"", L""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.base) + L" + " + r.name));
        EXPECT_EQ(r.out, JoinPath(r.base, r.name));
    }
}

TEST(PathHelpersTest, PathExtensionAndEqualsNoCase) {
    EXPECT_EQ(L"", PathExtension(L"C:\\a\\readme"));
    EXPECT_EQ(L"", PathExtension(L"C:\\a.dir\\readme"));
    EXPECT_EQ(L"", PathExtension(L"a.dir/readme"));
    EXPECT_EQ(L".gz", PathExtension(L"x.tar.gz"));
    EXPECT_EQ(L".SWF", PathExtension(L"C:\\g\\MOVIE.SWF"));
    EXPECT_EQ(L".", PathExtension(L"name."));
    EXPECT_TRUE(EqualsNoCase(L".lnk", L".LNK"));
    EXPECT_TRUE(EqualsNoCase(L"", L""));
    EXPECT_FALSE(EqualsNoCase(L".lnk", L".lnk "));
    EXPECT_FALSE(EqualsNoCase(L".swf", L".swg"));
}

TEST(EntryNameTest, AcceptsNamesInsideTheDestination) {
    struct Row {
        const wchar_t* name;
        bool isFile;
    } rows[] = {
        {L"bk.png", true}, {L"sub\\a.png", true}, {L"sub/a.png", true}, {L"\\sub\\a.png", true},
        {L"\\", false}, {L"", false}, {L"/", false}, {L"a\\\\b", true}, {L"\"q.png\"", true},
        {L"sub\\", false}, {L".hidden", true}, {L"a..b", true}, {L"\x661F\x8FB0.png", true},
        {L"COM10", true}, {L"CONSOLE", true}, {L"nul_", true}, {L"LPT", true},
        // leading separators other than two backslashes are dropped by the join
        {L"//x", true}, {L"\\/x", true}, {L"/\\x", true}, {L"///sub/a.png", true}, {L"/\\", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.name)));
        EXPECT_TRUE(IsSafeEntryName(r.name, r.isFile));
    }
}

TEST(EntryNameTest, RefusesNamesThatLeaveTheDestinationOrAreNotPlain) {
    const wchar_t* bad[] = {
        // leaving the destination
        L"..\\x", L"a\\..\\..\\x", L"a/../../x", L"..", L".\\..\\x", L"sub\\..",
        // absolute, device and drive forms
        L"C:\\x", L"c:/x", L"C:", L"C:x", L"\\\\srv\\sh\\x", L"\\\\?\\C:\\x", L"\\\\.\\C:\\x",
        L"\\??\\C:\\x", L"\\\\?\\UNC\\srv\\x", L"\\\\", L"\\\\x", L"\"\\\\srv\\x\"",
        // streams and forbidden characters
        L"f.txt:evil", L"f.txt::$DATA", L"d:s\\x", L"a<b", L"a>b", L"a|b", L"a?b", L"a*b", L"a\"b",
        L"\"", L"a\x0001", L"tab\there", L"del\x007F",
        // devices, also with an extension or trailing spaces and dots
        L"CON", L"con", L"PRN", L"AUX", L"NUL", L"nul.txt", L"Aux.dat", L"COM1", L"com9.log", L"LPT1",
        L"LPT0", L"COM\x00B9", L"CONIN$", L"CONOUT$", L"sub\\NUL\\x", L"CON .txt",
        // trailing dots and spaces
        L"a.txt.", L"a.txt ", L"dir.\\x", L"dir \\x", L".", L".\\.\\", L" ",
    };
    for (const wchar_t* name : bad) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_FALSE(IsSafeEntryName(name, true));
        EXPECT_FALSE(IsSafeEntryName(name, false));
    }
}

TEST(EntryNameTest, FileEntriesNeedAFileName) {
    EXPECT_FALSE(IsSafeEntryName(L"", true));
    EXPECT_FALSE(IsSafeEntryName(L"\\", true));
    EXPECT_FALSE(IsSafeEntryName(L"sub\\", true));
}

TEST(EntryNameTest, GameNamesArePlainComponents) {
    EXPECT_TRUE(IsPlainNameComponent(L"\x661F\x8FB0\x7269\x8BED"));
    EXPECT_TRUE(IsPlainNameComponent(L"My Game 2"));
    const wchar_t* bad[] = {L"", L"a\\b", L"a/b", L"..", L".", L"CON", L"x.", L"x ", L"a:b", L"a*"};
    for (const wchar_t* name : bad) EXPECT_FALSE(IsPlainNameComponent(name)) << testing::PrintToString(std::wstring(name));
}

}  // namespace
