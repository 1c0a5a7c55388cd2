#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "fingerprint/DiskSerial.h"

using namespace Quorvel;

namespace {

// An IDENTIFY block with the serial stored as ATA does: two characters a
// word, the first in the high byte.
std::vector<unsigned char> Block(const char serial[20], bool fixed) {
    std::vector<unsigned char> block(kIdentifyBlockSize, 0);
    block[0] = fixed ? 0x40 : 0x80;
    for (int i = 0; i < 10; ++i) {
        block[20 + 2 * i] = static_cast<unsigned char>(serial[2 * i + 1]);
        block[20 + 2 * i + 1] = static_cast<unsigned char>(serial[2 * i]);
    }
    block[54] = 'M';
    return block;
}

TEST(DiskSerialTest, SerialField) {
    const struct {
        const char* name;
        const char serial[21];
        const char* expected;
    } rows[] = {
        {"trailing spaces go", "5QF0ABCD            ", "5QF0ABCD"},
        {"leading spaces stay", "  WD-WCAV12345678   ", "  WD-WCAV12345678"},
        {"all spaces leave one", "                    ", " "},
        {"cut at a zero byte", "AB\0CDEFGHIJKLMNOPQR", "AB"},
        {"full width", "ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOPQRST"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, SerialFromIdentify(Block(row.serial, true).data()));
    }
}

TEST(DiskSerialTest, FirstFixedDiskWithASerial) {
    DiskIdentifyList list;
    const std::vector<unsigned char> removable = Block("USBSTICK0001        ", false);
    const std::vector<unsigned char> empty = Block("\0                   ", true);
    const std::vector<unsigned char> disk = Block("S1DISK01            ", true);
    const std::vector<unsigned char> second = Block("S2DISK02            ", true);
    EXPECT_TRUE(list.AddIdentifyBlock(removable.data()));
    EXPECT_TRUE(list.AddIdentifyBlock(empty.data()));
    EXPECT_TRUE(list.AddIdentifyBlock(disk.data()));
    EXPECT_FALSE(list.AddIdentifyBlock(disk.data()));  // the same answer from a second strategy
    EXPECT_TRUE(list.AddIdentifyBlock(second.data()));
    EXPECT_EQ(4u, list.Size());
    EXPECT_EQ("S1DISK01", ChooseSerial(list));
    DiskIdentifyList none;
    EXPECT_EQ("", ChooseSerial(none));
    DiskIdentifyList blanks;
    blanks.AddIdentifyBlock(Block("                    ", true).data());
    blanks.AddIdentifyBlock(disk.data());
    EXPECT_EQ(" ", ChooseSerial(blanks));  // not empty: the search stops; trimming removes it later
}

}  // namespace
