#include <gtest/gtest.h>

#include <vector>

#include "report/Flash.h"

using namespace Quorvel;

namespace {

TEST(FlashTest, VersionText) {
    const struct {
        const wchar_t* text;
        bool ok;
        uint32_t v[4];
    } rows[] = {
        {L"11.5.502.146", true, {11, 5, 502, 146}},
        {L"11.5", true, {11, 5, 9, 9}},  // numbers without a piece stay
        {L"11..5", true, {11, 0, 5, 9}},
        {L"abc", true, {0, 9, 9, 9}},
        {L"", false, {9, 9, 9, 9}},
        {L"1.2.3.4.5", true, {1, 2, 3, 4}},
        {L"12a.-3.x7", true, {12, 0xFFFFFFFDu, 0, 9}},
        {L"4294967297", true, {1, 9, 9, 9}},  // low 32 bits
        {L".", true, {0, 9, 9, 9}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.text)));
        uint32_t v[4] = {9, 9, 9, 9};
        EXPECT_EQ(row.ok, ParseVersionText(row.text, v));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(row.v[i], v[i]) << i;
    }
}

TEST(FlashTest, SplitOnDots) {
    EXPECT_EQ(std::vector<std::wstring>({L"", L"a"}), SplitOnDots(L".a"));
    EXPECT_EQ(std::vector<std::wstring>({L"a", L""}), SplitOnDots(L"a.."));
    EXPECT_EQ(std::vector<std::wstring>({L"a"}), SplitOnDots(L"a."));
    EXPECT_TRUE(SplitOnDots(L"").empty());
    EXPECT_EQ(18446744073709551615ULL, ParseDecimalPrefix(L"18446744073709551615"));
    EXPECT_EQ(0u, ParseDecimalPrefix(L"18446744073709551616"));  // wraps
}

}  // namespace
