#include <gtest/gtest.h>

#include "fingerprint/Hardware.h"

using namespace Quorvel;

namespace {

TEST(ProcessorClassTest, FirstMatchingFamilyWins) {
    const struct {
        const wchar_t* name;
        int code;
    } rows[] = {
        {L"Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz", 7},
        {L"Intel(R) Core(TM) i5-2500K", 6},
        {L"Intel(R) Core(TM) i3-530", 5},
        {L"Intel(R) Core(TM)2 Duo CPU E8400", 4},
        {L"Intel Core2 Quad", 4},
        {L"Pentium(R) Dual-Core CPU E5200", 3},  // "core" is tested before "pentium"
        {L"Intel(R) Pentium(R) 4 CPU", 2},
        {L"Intel(R) Celeron(R) CPU", 1},
        {L"AMD Ryzen 7 5800X", 0},
        {L"Xi7", 7},  // anywhere, even inside a word
        {L"", 0},
    };
    for (const auto& row : rows) EXPECT_EQ(row.code, ProcessorClassOf(row.name)) << testing::PrintToString(std::wstring(row.name));
}

TEST(ProcessorClassTest, BrandStringFromRegisters) {
    const char text[] = "Intel(R) Core(TM) i7 CPU        @ 2.93GHz\0\0\0\0\0\0";
    uint32_t registers[12];
    for (int i = 0; i < 12; ++i) {
        registers[i] = static_cast<uint8_t>(text[4 * i]) | (static_cast<uint8_t>(text[4 * i + 1]) << 8) |
                       (static_cast<uint8_t>(text[4 * i + 2]) << 16) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(text[4 * i + 3])) << 24);
    }
    EXPECT_EQ("Intel(R) Core(TM) i7 CPU        @ 2.93GHz", BrandStringBytes(registers));
}

}  // namespace
