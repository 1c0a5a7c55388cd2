#include <gtest/gtest.h>

#include <string>

#include "report/Md5.h"

using namespace Quorvel;

namespace {

std::wstring Hex(const std::string& text) {
    unsigned char digest[16];
    return Md5Hex(text.data(), static_cast<long>(text.size()), digest);
}

TEST(Md5Test, Rfc1321TestSuite) {
    const struct {
        const char* input;
        const wchar_t* digest;
    } rows[] = {
        {"a", L"0CC175B9C0F1B6A831C399E269772661"},
        {"abc", L"900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", L"F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", L"C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", L"D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         L"57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(row.digest, Hex(row.input));
    }
}

TEST(Md5Test, NoDataGivesZeros) {
    unsigned char digest[16];
    memset(digest, 0xAA, sizeof(digest));
    EXPECT_EQ(std::wstring(32, L'0'), Md5Hex(nullptr, 5, digest));
    EXPECT_EQ(0, digest[0]);
    EXPECT_EQ(std::wstring(32, L'0'), Md5Hex("x", 0, digest));
    EXPECT_EQ(std::wstring(32, L'0'), Md5Hex("x", -1, digest));
}

TEST(Md5Test, LongInputAndStreamingAgree) {
    const std::string million(1000000, 'a');
    EXPECT_EQ(L"7707D6AE4E027C70EEA2A935C2296F21", Hex(million));
    // Padding edges: 55, 56, 63, 64 and 65 bytes.
    EXPECT_EQ(L"EF1772B6DFF9A122358552954AD0DF65", Hex(std::string(55, 'a')));
    EXPECT_EQ(L"3B0C8AC703F828B04C6C197006D17218", Hex(std::string(56, 'a')));
    EXPECT_EQ(L"B06521F39153D618550606BE297466D5", Hex(std::string(63, 'a')));
    EXPECT_EQ(L"014842D480B571495A4A0363793F7367", Hex(std::string(64, 'a')));
    QVMd5 md5;
    for (size_t done = 0, step = 1; done < million.size(); done += step, step = step * 3 % 1000 + 1) {
        md5.Update(million.data() + done, std::min(step, million.size() - done));
    }
    unsigned char streamed[16], whole[16];
    md5.Final(streamed);
    Md5Digest(million.data(), static_cast<long>(million.size()), whole);
    EXPECT_EQ(0, memcmp(streamed, whole, 16));
}

}  // namespace
