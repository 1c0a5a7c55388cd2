#include <gtest/gtest.h>

#include <limits>

#include "core/Text.h"
#include "fingerprint/MachineGuid.h"

using namespace Quorvel;

namespace {

TEST(TextTest, IntegersAsDecimalText) {
    EXPECT_EQ(L"0", Int64ToText(0));
    EXPECT_EQ(L"-5", Int64ToText(-5));
    EXPECT_EQ(L"1733700000", Int64ToText(1733700000));
    EXPECT_EQ(L"-9223372036854775808", Int64ToText(std::numeric_limits<int64_t>::min()));
    EXPECT_EQ(L"9223372036854775807", Int64ToText(std::numeric_limits<int64_t>::max()));
    EXPECT_EQ(L"-2147483648", IntToText(std::numeric_limits<int32_t>::min()));
    EXPECT_EQ(L"6", IntToText(6));
}

TEST(TextTest, TrimRemovesOnlyTheEnds) {
    const struct {
        const wchar_t* in;
        const wchar_t* left;
        const wchar_t* right;
    } rows[] = {
        {L"  5QF0 ABCD\r\n", L"5QF0 ABCD\r\n", L"  5QF0 ABCD"},
        {L" \t\r\n", L"", L""},
        {L"", L"", L""},
        {L"-x.", L"-x.", L"-x."},
    };
    for (const auto& row : rows) {
        std::wstring left(row.in), right(row.in);
        TrimLeft(left, L" \r\t\n");
        TrimRight(right, L" \r\t\n");
        EXPECT_EQ(row.left, left);
        EXPECT_EQ(row.right, right);
    }
    std::wstring untouched(L" x ");
    TrimLeft(untouched, nullptr);
    EXPECT_EQ(L" x ", untouched);
}

TEST(TextTest, MachineIdentifierIsThePartsRunTogether) {
    EXPECT_EQ(L"001122aabbcc5QF0ABCD20120304050607",
              ComposeMachineGuid(L"001122aabbcc", L"  5QF0ABCD\r\n", L"20120304050607"));
    EXPECT_EQ(L"20120304050607", ComposeMachineGuid(L"", L" \r\n", L"20120304050607"));
    EXPECT_EQ(L"5QF0 ABCD20120304050607", ComposeMachineGuid(L"", L"5QF0 ABCD", L"20120304050607"));
    EXPECT_EQ(26u + 4, ComposeMachineGuid(L"001122aabbcc", L"-ab.", L"20120304050607").size());
}

}  // namespace
