#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "archive/Format.h"

using namespace Quorvel;

namespace {

TEST(QVFileItemTest, FreshItemAndLayout) {
    const QVFileItem item;
    EXPECT_EQ(0u, item.type);
    EXPECT_EQ(L"", ItemName(item));
    EXPECT_EQ(0u, uint64_t(item.offset));
    EXPECT_EQ(0u, uint64_t(item.size));
    EXPECT_EQ(0xFFFFFFFFu, item.attributes);
    EXPECT_EQ(0u, FileTimeValue(item.lastWriteTime));
    EXPECT_EQ(524u, offsetof(QVFileItem, offset));
    EXPECT_EQ(540u, offsetof(QVFileItem, attributes));
    EXPECT_EQ(560u, offsetof(QVFileItem, lastWriteTime));
}

TEST(QVFileItemTest, EncodesLittleEndianAtFixedOffsets) {
    QVFileItem item;
    item.type = 1;
    ASSERT_TRUE(SetItemName(item, L"a\x661F"));
    item.offset = 0x0102030405060708ULL;
    item.size = 45490;
    item.attributes = 0x20;
    item.creationTime = MakeFileTime(130741377553794617ULL);
    item.lastAccessTime = MakeFileTime(1);
    item.lastWriteTime = MakeFileTime(130735641009394926ULL);
    unsigned char bytes[kEntrySize];
    EncodeItem(item, bytes);
    EXPECT_EQ(1, bytes[0]);
    EXPECT_EQ('a', bytes[4]);
    EXPECT_EQ(0, bytes[5]);
    EXPECT_EQ(0x1F, bytes[6]);
    EXPECT_EQ(0x66, bytes[7]);
    EXPECT_EQ(0x08, bytes[524]);
    EXPECT_EQ(0x01, bytes[531]);
    EXPECT_EQ(0xB2, bytes[532]);  // 45490 = 0xB1B2
    EXPECT_EQ(0xB1, bytes[533]);
    EXPECT_EQ(0x20, bytes[540]);
    EXPECT_EQ(1, bytes[552]);

    QVFileItem back;
    DecodeItem(bytes, back);
    EXPECT_EQ(L"a\x661F", ItemName(back));
    EXPECT_EQ(uint64_t(item.offset), uint64_t(back.offset));
    EXPECT_EQ(uint64_t(item.size), uint64_t(back.size));
    EXPECT_EQ(130741377553794617ULL, FileTimeValue(back.creationTime));
    EXPECT_EQ(130735641009394926ULL, FileTimeValue(back.lastWriteTime));
}

TEST(QVFileItemTest, NamesAreCutAtNulOrAfter260Units) {
    unsigned char bytes[kEntrySize];
    memset(bytes, 0, sizeof(bytes));
    for (uint32_t i = 0; i < kNameUnits; ++i) bytes[4 + 2 * i] = 'x';
    bytes[524] = 'y';  // the offset field right after the name is not part of it
    QVFileItem item;
    DecodeItem(bytes, item);
    EXPECT_EQ(std::wstring(kNameUnits, L'x'), ItemName(item));
    bytes[4 + 2 * 3] = 0;
    DecodeItem(bytes, item);
    EXPECT_EQ(L"xxx", ItemName(item));

    EXPECT_FALSE(SetItemName(item, std::wstring(kNameUnits, L'n')));
    EXPECT_TRUE(SetItemName(item, std::wstring(kNameUnits - 1, L'n')));
}

TEST(ArchiveHeaderTest, MagicAndCount) {
    unsigned char header[kHeaderSize];
    EncodeHeader(0x01020304u, header);
    uint32_t count = 0;
    ASSERT_TRUE(DecodeHeader(header, kHeaderSize, &count));
    EXPECT_EQ(0x01020304u, count);
    EXPECT_FALSE(DecodeHeader(header, kHeaderSize - 1, &count));
    header[2] = 'X';
    EXPECT_FALSE(DecodeHeader(header, kHeaderSize, &count));
    EXPECT_FALSE(DecodeHeader(nullptr, kHeaderSize, &count));
}

TEST(ArchiveHeaderTest, TableMustFitInTheArchive) {
    struct Row {
        uint32_t count;
        uint64_t archiveSize;
        bool ok;
    } rows[] = {
        {0, 1000, false},
        {1, 7 + 568, true},
        {1, 7 + 567, false},
        {4, 80988, true},
        {0x20000000u, 1000, false},  // 568 x count wraps to 0 in 32 bits
        {0x80000000u, 1000, false},
        {0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFULL, false},  // a table over 4 GiB
        {7561000u, 7 + 7561000ULL * 568, true},
        {1, 3, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.count);
        uint32_t length = 0;
        EXPECT_EQ(r.ok, TableLength(r.count, r.archiveSize, &length));
        if (r.ok) {
            EXPECT_EQ(static_cast<uint64_t>(r.count) * 568, length);
        }
    }
}

TEST(ArchiveAttributesTest, OnlyFileAttributeBitsReachCreateFile) {
    EXPECT_EQ(0x20u, FileAttributesForCreate(0x20));
    EXPECT_EQ(0x27u, FileAttributesForCreate(0x27));
    EXPECT_EQ(0x2000u | 0x100u | 0x80u, FileAttributesForCreate(0x2180));
    EXPECT_EQ(0u, FileAttributesForCreate(0x10));          // directory
    EXPECT_EQ(0u, FileAttributesForCreate(0x400));         // reparse point
    EXPECT_EQ(0x20u, FileAttributesForCreate(0x40000020));  // FILE_FLAG_OVERLAPPED
    EXPECT_EQ(0x20u, FileAttributesForCreate(0x84000020));  // write-through, delete on close
    EXPECT_EQ(0x21A7u, FileAttributesForCreate(0xFFFFFFFF));
}

TEST(ArchiveEntryTest, OnlyUsedEntriesAreChecked) {
    QVFileItem item;
    SetItemName(item, L"..\\evil");
    item.type = 7;
    EXPECT_TRUE(IsSafeEntry(item));  // skipped by extraction, never becomes a path
    item.type = kEntryFile;
    EXPECT_FALSE(IsSafeEntry(item));
    item.type = kEntryDirectory;
    EXPECT_FALSE(IsSafeEntry(item));
}

}  // namespace
