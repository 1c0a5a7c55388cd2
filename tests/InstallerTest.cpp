#include <gtest/gtest.h>

#include "app/Installer.h"

using namespace Quorvel;

namespace {

TEST(InstallerTest, IniValueReadsAsTheProfileFunctionsDo) {
    const std::wstring text =
        L"[window]\r\nname=not this one\r\n [ GAME ] \r\nid = 3\r\n  Name\t=\t\"\x661F\x8FB0\" \r\nname=second\n"
        L"[other]\nversion=9\n[game]\nversion=1.0\n";
    EXPECT_EQ(L"\x661F\x8FB0", IniValue(text, L"game", L"name"));  // first match, quotes and blanks gone
    EXPECT_EQ(L"3", IniValue(text, L"Game", L"ID"));
    EXPECT_EQ(L"", IniValue(text, L"game", L"version"));  // a second [game] is never read
    EXPECT_EQ(L"", IniValue(text, L"game", L"pageurl"));
    EXPECT_EQ(L"", IniValue(L"name=loose\r\n", L"game", L"name"));  // outside any section
    EXPECT_EQ(L"", IniValue(L"", L"game", L"name"));
}

TEST(InstallerTest, GameNamesMustFitTheClientsPath) {
    const std::wstring base = L"C:\\users\\root\\AppData\\Roaming\\";  // 30 characters
    // base + name + "\" + name + ".exe" has at most 259 characters.
    EXPECT_TRUE(IsUsableGameName(base, std::wstring(112, L'n')));
    EXPECT_FALSE(IsUsableGameName(base, std::wstring(113, L'n')));
    // Short names: setting.ini is the longest file at the top.
    EXPECT_TRUE(IsUsableGameName(std::wstring(246, L'b'), L"x"));
    EXPECT_FALSE(IsUsableGameName(std::wstring(247, L'b'), L"x"));
    const wchar_t* refused[] = {L"", L"..", L"a\\b", L"CON", L"trailing.", L"c:x"};
    for (const wchar_t* name : refused) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_FALSE(IsUsableGameName(base, name));
    }
}

TEST(InstallerTest, OneLockNamePerGame) {
    const std::wstring a = InstanceLockName(L"\x661F\x8FB0\x7269\x8BED");
    EXPECT_EQ(a, InstanceLockName(L"\x661F\x8FB0\x7269\x8BED"));
    EXPECT_NE(a, InstanceLockName(L"\x661F\x8FB0"));
    EXPECT_NE(InstanceLockName(L"GAME"), InstanceLockName(L"GAMF"));
    EXPECT_EQ(0u, a.find(L"Local\\"));
    EXPECT_EQ(std::wstring::npos, a.find(L'\\', 6));  // no further separator in a kernel object's name
    EXPECT_EQ(a.size(), InstanceLockName(std::wstring(300, L'x')).size());
}

TEST(InstallerTest, SettingsCopyNameComesFromTheBytes) {
    const std::string one = "[game]\r\nname=a\r\n", other = "[game]\r\nname=b\r\n";
    const std::wstring name = SettingsCopyName(one.data(), static_cast<uint32_t>(one.size()));
    EXPECT_EQ(name, SettingsCopyName(one.data(), static_cast<uint32_t>(one.size())));  // every run of one installer
    EXPECT_NE(name, SettingsCopyName(other.data(), static_cast<uint32_t>(other.size())));
    ASSERT_EQ(11u, name.size());  // "qvs" + 4 hexadecimal digits + ".tmp": 8.3, a file name anywhere
    EXPECT_EQ(L"qvs", name.substr(0, 3));
    EXPECT_EQ(std::wstring::npos, name.substr(3, 4).find_first_not_of(L"0123456789ABCDEF"));
    EXPECT_EQ(L".tmp", name.substr(7));
}

TEST(InstallerTest, ResourceBytesAreFoundInTheFile) {
    // .text, then .rsrc of 0x3000 bytes in memory but 0x2200 in the file.
    const std::vector<QVSectionSpan> sections = {{0x1000, 0x800, 0x400, 0xA00}, {0x4000, 0x3000, 0x1000, 0x2200}};
    uint32_t offset = 0;
    ASSERT_TRUE(FileOffsetOf(sections, 0x4010, 0x100, &offset));
    EXPECT_EQ(0x1010u, offset);
    ASSERT_TRUE(FileOffsetOf(sections, 0x4000, 0x2200, &offset));  // to the last byte in the file
    EXPECT_EQ(0x1000u, offset);
    EXPECT_FALSE(FileOffsetOf(sections, 0x4000, 0x2201, &offset));  // past what the file holds
    EXPECT_FALSE(FileOffsetOf(sections, 0x17F0, 0x20, &offset));    // across the end of .text
    EXPECT_FALSE(FileOffsetOf(sections, 0x3000, 0x10, &offset));    // between sections
    EXPECT_FALSE(FileOffsetOf(sections, 0xFFFFFFF0u, 0x20, &offset));
}

// The parts of a resource's first and last page that each piece of its
// copy holds: together exactly those pages, however the pieces fall.
TEST(ComparedPartsTest, EachPieceHoldsItsShareOfTheFirstAndLastPage) {
    const uint32_t page = 4096, piece = 1 << 20;
    const uint32_t sizes[] = {0, 1, 4095, 4096, 4097, 8192, piece, piece + 1, piece + 4095, piece + 5000, 2 * piece};
    for (uint32_t size : sizes) {
        std::vector<int> seen(size, 0);
        for (uint32_t done = 0; done < size; done += piece) {
            const uint32_t chunk = size - done < piece ? size - done : piece;
            const QVComparedParts p = ComparedParts(done, chunk, size, page);
            for (uint32_t begin : {p.headBegin, p.tailBegin}) EXPECT_GE(begin, done) << size;
            for (uint32_t end : {p.headEnd, p.tailEnd}) EXPECT_LE(end, done + chunk) << size;
            for (uint32_t i = p.headBegin; i < p.headEnd; ++i) seen[i] |= 1;
            for (uint32_t i = p.tailBegin; i < p.tailEnd; ++i) seen[i] |= 2;
        }
        for (uint32_t i = 0; i < size; ++i) {
            ASSERT_EQ(i < page, (seen[i] & 1) != 0) << "size " << size << " byte " << i;
            ASSERT_EQ(i + page >= size, (seen[i] & 2) != 0) << "size " << size << " byte " << i;
        }
    }
}

}  // namespace
