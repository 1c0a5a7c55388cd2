#include <windows.h>

#include <gtest/gtest.h>

#include "core/Text.h"
#include "fingerprint/MachineGuid.h"
#include "report/Md5.h"
#include "report/Report.h"
#include "tests/ReportVectors.h"

using namespace Quorvel;

namespace {

// These run with LANG=zh_CN.UTF-8: Wine's ANSI code page is then 936.
class CodePage936Test : public testing::Test {
protected:
    void SetUp() override {
        if (::GetACP() != 936) GTEST_SKIP() << "needs code page 936, have " << ::GetACP();
    }
};

TEST_F(CodePage936Test, WideToAnsiReplacesWhatTheCodePageLacks) {
    EXPECT_EQ("\xD0\xC7\xB3\xBD", WideToAnsi(L"\x661F\x8FB0"));  // two bytes a character
    EXPECT_EQ("a_b", WideToAnsi(L"a\x0E01" L"b"));               // Thai is not in GBK
    EXPECT_EQ("", WideToAnsi(L""));
    EXPECT_EQ(L"\x661F\x8FB0", AnsiToWide("\xD0\xC7\xB3\xBD"));
    EXPECT_EQ(L"", AnsiToWide(""));
    EXPECT_EQ(L"", AnsiToWide(nullptr));
}

TEST(TextLiveTest, ConversionsStopAtTheFirstZero) {
    bool ok = false;
    EXPECT_EQ(L"ab", ConvertToWide("ab\0cd", 5, CP_ACP, &ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(L"", ConvertToWide("", -1, CP_ACP, &ok));  // only the terminator: converts fine
    EXPECT_TRUE(ok);
    EXPECT_EQ(L"", ConvertToWide("x", 0, CP_ACP, &ok));
    EXPECT_FALSE(ok);
    bool replaced = true;
    EXPECT_EQ("ab", ConvertToNarrow(std::wstring(L"ab\0cd", 5), CP_ACP, '_', &replaced, &ok));
    EXPECT_TRUE(ok);
    EXPECT_FALSE(replaced);
    EXPECT_EQ("", ConvertToNarrow(L"", CP_ACP, '_', &replaced, &ok));
    EXPECT_FALSE(ok);
}

TEST(TextLiveTest, FormatStringGrowsItsBuffer) {
    std::wstring out = L"keep";
    FormatString(out, L"");
    EXPECT_EQ(L"keep", out);
    FormatString(out, nullptr);
    EXPECT_EQ(L"keep", out);
    const std::wstring a1023(1023, L'a'), a1024(1024, L'a'), big(100000, L'b');
    FormatString(out, L"%s", a1023.c_str());
    EXPECT_EQ(a1023, out);
    FormatString(out, L"%s", a1024.c_str());
    EXPECT_EQ(a1024, out);
    FormatString(out, L"<%s>", big.c_str());
    EXPECT_EQ(L"<" + big + L">", out);
    FormatString(out, L"%s=%d", L"\x661F", -7);
    EXPECT_EQ(L"\x661F=-7", out);
}

TEST(ReportSignatureTest, SignsIdIdentifierTimeAndKey) {
    // A one-character id, a three-character identifier and ten time digits:
    // 24 bytes of signing text.
    const std::string text = "3abc1733700000pR4vNd8sYk";
    ASSERT_EQ(24u, text.size());
    unsigned char digest[16];
    EXPECT_EQ(Md5Hex(text.data(), 24, digest), ReportSignature(L"3", L"abc", L"1733700000"));
    // Nothing separates the parts.
    EXPECT_EQ(ReportSignature(L"3a", L"bc", L"1733700000"), ReportSignature(L"3", L"abc", L"1733700000"));
    EXPECT_NE(ReportSignature(L"3", L"abc", L"1733700001"), ReportSignature(L"3", L"abc", L"1733700000"));
    const std::string empty = "pR4vNd8sYk";
    EXPECT_EQ(Md5Hex(empty.data(), 10, digest), ReportSignature(L"", L"", L""));
}

// The installer's wide fields, converted as its body is, sign as the
// server checks them.
TEST_F(CodePage936Test, SignaturesOfTheSharedVectors) {
    for (const QVSigningVector& v : kSigningVectors) {
        SCOPED_TRACE(v.sign);
        EXPECT_EQ(std::wstring(v.sign, v.sign + 32), ReportSignature(AnsiToWide(v.gameId), AnsiToWide(v.guid), AnsiToWide(v.time)));
    }
}

TEST(InstallDateLiveTest, AlwaysFourteenDigits) {
    const std::wstring date = GetWindowsInstallDate();
    ASSERT_EQ(14u, date.size());
    EXPECT_EQ(std::wstring::npos, date.find_first_not_of(L"0123456789"));
}

}  // namespace
