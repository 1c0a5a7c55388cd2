#include <windows.h>

#include <gtest/gtest.h>

#include "archive/Archive.h"
#include "tests/TestFolder.h"

using namespace Quorvel;

namespace {

const uint64_t kTime1 = 130741377553794617ULL;
const uint64_t kTime2 = 130735641009394926ULL;
const uint64_t kTime3 = 130740834983154126ULL;

struct Entry {
    uint32_t type;
    std::wstring name;
    std::string data;
    uint64_t size;  // what the table says
    uint32_t attributes;
};

Entry File(const std::wstring& name, const std::string& data, uint32_t attributes = 0x20) {
    Entry e = {kEntryFile, name, data, data.size(), attributes};
    return e;
}
Entry Dir(const std::wstring& name, uint64_t size = 0) {
    Entry e = {kEntryDirectory, name, std::string(), size, 0x10};
    return e;
}

// The archive as the packer writes it: header, table, data in table order.
std::string Build(const std::vector<Entry>& entries) {
    std::string out(kHeaderSize, '\0');
    EncodeHeader(static_cast<uint32_t>(entries.size()), reinterpret_cast<unsigned char*>(&out[0]));
    uint64_t offset = kHeaderSize + entries.size() * kEntrySize;
    std::string data;
    for (const Entry& e : entries) {
        QVFileItem item;
        item.type = e.type;
        EXPECT_TRUE(SetItemName(item, e.name));
        item.offset = offset;
        item.size = e.size;
        item.attributes = e.attributes;
        item.creationTime = MakeFileTime(kTime1);
        item.lastAccessTime = MakeFileTime(kTime3);
        item.lastWriteTime = MakeFileTime(kTime2);
        unsigned char record[kEntrySize];
        EncodeItem(item, record);
        out.append(reinterpret_cast<const char*>(record), kEntrySize);
        if (e.type == kEntryFile) {
            data += e.data;
            offset += e.data.size();
        }
    }
    return out + data;
}

uint64_t Value(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

class ArchiveLiveTest : public testing::Test {
protected:
    bool Extract(const std::string& archiveBytes, const std::wstring& destination = L"") {
        EXPECT_TRUE(WriteBytes(dir / L"res.zip", archiveBytes));
        return archive.Extract(destination.empty() ? dir / L"res" : destination, dir / L"res.zip");
    }
    std::string Read(const std::wstring& relative) {
        std::string bytes;
        EXPECT_TRUE(ReadBytes(dir / (L"res\\" + relative), &bytes)) << testing::PrintToString(relative);
        return bytes;
    }
    bool Has(const std::wstring& relative) { return Exists(dir / (L"res\\" + relative)); }

    TestFolder dir;
    QVArchive archive;
};

TEST_F(ArchiveLiveTest, ExtractsFoldersFilesTimesAndAttributes) {
    const std::string big(45490, 'b');
    ASSERT_TRUE(Extract(Build({Dir(L"\\"), File(L"bk.png", big), File(L"game.ico", "icon"),
                               File(L"sub\\deep\\title.png", "title"), File(L"empty.dat", ""),
                               File(L"ro.txt", "ro", 0x21)})));
    // Times first: reading the files below moves their access times.
    const wchar_t* names[] = {L"bk.png", L"empty.dat", L"ro.txt"};
    for (const wchar_t* name : names) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        WIN32_FILE_ATTRIBUTE_DATA info;
        ASSERT_TRUE(::GetFileAttributesExW((dir / (std::wstring(L"res\\") + name)).c_str(), GetFileExInfoStandard, &info));
        EXPECT_EQ(kTime2, Value(info.ftLastWriteTime));
        EXPECT_EQ(kTime3, Value(info.ftLastAccessTime));
        // Wine on Linux keeps no creation time of its own and reports the
        // write time there; Windows keeps the entry's.
        EXPECT_TRUE(Value(info.ftCreationTime) == kTime1 || Value(info.ftCreationTime) == kTime2);
        EXPECT_EQ(std::wstring(name) == L"ro.txt" ? 0x21u : 0x20u, info.dwFileAttributes);
    }
    EXPECT_EQ(big, Read(L"bk.png"));
    EXPECT_EQ("icon", Read(L"game.ico"));
    EXPECT_EQ("title", Read(L"sub\\deep\\title.png"));  // parents created without entries
    EXPECT_EQ("", Read(L"empty.dat"));
    EXPECT_EQ("ro", Read(L"ro.txt"));
    EXPECT_TRUE(archive.SwfPath().empty());
    ASSERT_EQ(6u, archive.Entries().size());
}

TEST_F(ArchiveLiveTest, ExtractingAgainReplacesReadOnlyHiddenAndSystemFiles) {
    ASSERT_TRUE(Extract(Build({Dir(L"\\"), File(L"a.txt", "one", 0x27), File(L"b.txt", "one", 0x21)})));
    ASSERT_TRUE(Extract(Build({Dir(L"\\"), File(L"a.txt", "two", 0x20), File(L"b.txt", "two", 0x21)})));
    EXPECT_EQ("two", Read(L"a.txt"));
    EXPECT_EQ("two", Read(L"b.txt"));
    EXPECT_EQ(0x20u, ::GetFileAttributesW((dir / L"res\\a.txt").c_str()));
}

TEST_F(ArchiveLiveTest, DestinationWithOrWithoutTrailingBackslash) {
    ASSERT_TRUE(Extract(Build({File(L"a.txt", "a")}), dir / L"res\\"));
    EXPECT_EQ("a", Read(L"a.txt"));
    ASSERT_TRUE(Extract(Build({File(L"\\b.txt", "b")}), dir / L"res"));
    EXPECT_EQ("b", Read(L"b.txt"));
}

TEST_F(ArchiveLiveTest, DirectoriesAndUnknownTypesOwnNoData) {
    Entry odd = File(L"odd.bin", "");
    odd.type = 7;
    odd.size = 100;
    ASSERT_TRUE(Extract(Build({Dir(L"\\"), Dir(L"folder", 500), odd, File(L"after.txt", "after")})));
    EXPECT_EQ("after", Read(L"after.txt"));
    EXPECT_TRUE(::GetFileAttributesW((dir / L"res\\folder").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(Has(L"odd.bin"));
}

TEST_F(ArchiveLiveTest, ShortDataFailsAtTheFileThatRunsShort) {
    std::string bytes = Build({File(L"one.txt", "first"), File(L"two.txt", std::string(10000, 't')),
                               File(L"three.txt", "third")});
    bytes.resize(bytes.size() - 5 - 4000);
    EXPECT_FALSE(Extract(bytes));
    EXPECT_EQ("first", Read(L"one.txt"));
    EXPECT_EQ(std::string(4096, 't'), Read(L"two.txt"));  // the whole chunks that could be copied
    EXPECT_FALSE(Has(L"three.txt"));
}

TEST_F(ArchiveLiveTest, RejectsBrokenHeadersAndTablesBeforeWriting) {
    const std::string good = Build({Dir(L"\\"), File(L"a.txt", "a")});
    std::string wrongMagic = good;
    wrongMagic[0] = 'Z';
    std::string zeroCount = good;
    zeroCount[3] = zeroCount[4] = zeroCount[5] = zeroCount[6] = 0;
    std::string wrapping = good;  // 0x20000000 x 568 is 0 in 32 bits
    wrapping[3] = 0; wrapping[4] = 0; wrapping[5] = 0; wrapping[6] = 0x20;
    std::string huge = good;
    huge[3] = huge[4] = huge[5] = huge[6] = static_cast<char>(0xFF);
    std::string moreEntries = good;  // says 3 entries, holds 2
    moreEntries[3] = 3;
    const struct {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"empty file", ""},
        {"short header", good.substr(0, 6)},
        {"wrong magic", wrongMagic},
        {"zero count", zeroCount},
        {"table cut short", good.substr(0, kHeaderSize + kEntrySize + 100)},
        {"count wraps", wrapping},
        {"count 0xFFFFFFFF", huge},
        {"count beyond the table", moreEntries},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(Extract(row.bytes));
        EXPECT_FALSE(Exists(dir / L"res"));
    }
    EXPECT_FALSE(archive.Extract(dir / L"res", dir / L"no-such-archive"));
}

TEST_F(ArchiveLiveTest, RefusesTheWholeArchiveForOneUnsafeName) {
    const wchar_t* bad[] = {L"..\\outside.txt", L"sub\\..\\..\\outside.txt", L"C:\\outside.txt", L"C:outside.txt",
                            L"\\\\?\\C:\\outside.txt", L"\\\\.\\C:\\outside.txt", L"a.txt:stream", L"NUL",
                            L"com1.txt", L"trailing.", L"trailing ", L"bad\x0001name", L"a<b"};
    for (const wchar_t* name : bad) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_FALSE(Extract(Build({Dir(L"\\"), File(L"first.txt", "first"), File(name, "evil")})));
        EXPECT_FALSE(Exists(dir / L"res"));  // not even the entries before it
        EXPECT_FALSE(Exists(dir / L"outside.txt"));
    }
    EXPECT_FALSE(Extract(Build({Dir(L"..\\up")})));
    EXPECT_FALSE(Exists(dir / L"up"));
}

TEST_F(ArchiveLiveTest, RemembersTheLastSwfFileInAnyCase) {
    ASSERT_TRUE(Extract(Build({File(L"intro.swf", "1"), File(L"MOVIE.SWF", "2"), File(L"swf.txt", "3")})));
    EXPECT_EQ(dir / L"res\\MOVIE.SWF", archive.SwfPath());
}

TEST_F(ArchiveLiveTest, CreateFileFlagsInAttributesAreDropped) {
    // FILE_FLAG_DELETE_ON_CLOSE would remove the file as soon as it is written.
    ASSERT_TRUE(Extract(Build({File(L"kept.txt", "kept", 0x04000020), File(L"also.txt", "also", 0x40000020)})));
    EXPECT_EQ("kept", Read(L"kept.txt"));
    EXPECT_EQ("also", Read(L"also.txt"));
    EXPECT_EQ(0x20u, ::GetFileAttributesW((dir / L"res\\kept.txt").c_str()));
}

TEST_F(ArchiveLiveTest, AFileThatCannotBeCreatedStopsExtraction) {
    ASSERT_TRUE(::CreateDirectoryW((dir / L"res").c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((dir / L"res\\taken").c_str(), NULL));  // a folder where a file goes,
    ASSERT_TRUE(WriteBytes(dir / L"res\\taken\\keep", "k"));              // and not empty: it stays
    EXPECT_FALSE(Extract(Build({File(L"a.txt", "a"), File(L"taken", "x"), File(L"c.txt", "c")})));
    EXPECT_EQ("k", Read(L"taken\\keep"));
    EXPECT_EQ("a", Read(L"a.txt"));
    EXPECT_FALSE(Has(L"c.txt"));
}

TEST_F(ArchiveLiveTest, ObjectsOfTheWrongKindMakeWay) {
    // res itself a file; a file where a folder goes, below it too; an empty
    // folder where a file goes.
    ASSERT_TRUE(WriteBytes(dir / L"res", "not a folder"));
    ASSERT_TRUE(Extract(Build({File(L"a.txt", "a")})));
    EXPECT_EQ("a", Read(L"a.txt"));
    ASSERT_TRUE(WriteBytes(dir / L"res\\ui", "not a folder"));
    ASSERT_TRUE(::CreateDirectoryW((dir / L"res\\b.txt").c_str(), NULL));
    ASSERT_TRUE(Extract(Build({Dir(L"ui"), File(L"ui\\deep\\x.png", "x"), File(L"b.txt", "b")})));
    EXPECT_EQ("x", Read(L"ui\\deep\\x.png"));
    EXPECT_EQ("b", Read(L"b.txt"));
    // A file where a file entry's parent goes, with no folder entry for it.
    ASSERT_TRUE(WriteBytes(dir / L"res\\up", "in the way"));
    ASSERT_TRUE(Extract(Build({File(L"up/slashed.txt", "s")})));
    EXPECT_EQ("s", Read(L"up\\slashed.txt"));
}

}  // namespace
