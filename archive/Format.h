#ifndef QV_ARCHIVE_FORMAT_H
#define QV_ARCHIVE_FORMAT_H

#include <stdint.h>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Quorvel {

// The archive: a 7-byte header ("QVZ", uint32 count), count entries of 568
// bytes, then the file entries' data back to back in table order. All
// integers little-endian, names UTF-16LE.
const uint32_t kHeaderSize = 7;
const uint32_t kEntrySize = 568;
const uint32_t kNameUnits = 260;
const char kMagic[3] = {'Q', 'V', 'Z'};

enum QVEntryType { kEntryFile = 0, kEntryDirectory = 1 };

struct QVFileTime {
    uint32_t lowDateTime;
    uint32_t highDateTime;
};

#pragma pack(push, 4)
struct QVFileItem {
    uint32_t type;
    uint16_t name[kNameUnits];  // NUL-terminated unless all 260 units are used
    uint64_t offset;            // never trusted: data is read in sequence
    uint64_t size;
    uint32_t attributes;
    QVFileTime creationTime;
    QVFileTime lastAccessTime;
    QVFileTime lastWriteTime;

    QVFileItem();
};
#pragma pack(pop)
static_assert(sizeof(QVFileItem) == 568, "entry record must match the table layout");

uint64_t FileTimeValue(const QVFileTime& t);
QVFileTime MakeFileTime(uint64_t value);

// Names are kept as strings of UTF-16 code units, one unit per wchar_t on
// every platform, cut at the first NUL or after 260 units.
std::wstring ItemName(const QVFileItem& item);
// False when the name needs more than 259 units or has a unit above 0xFFFF.
bool SetItemName(QVFileItem& item, const std::wstring& name);

// False with fewer than 7 bytes or a wrong magic.
bool DecodeHeader(const unsigned char* bytes, uint32_t length, uint32_t* count);
void EncodeHeader(uint32_t count, unsigned char out[kHeaderSize]);
void DecodeItem(const unsigned char* bytes, QVFileItem& item);
void EncodeItem(const QVFileItem& item, unsigned char out[kEntrySize]);

// The table length for count entries if an archive of archiveSize bytes can
// hold it; false when count is 0 or the table cannot fit (no 32-bit wrap).
bool TableLength(uint32_t count, uint64_t archiveSize, uint32_t* length);

// Attribute bits that may reach CreateFileW from an archive; anything else
// (directory, device, reparse point, FILE_FLAG_*) is dropped.
uint32_t FileAttributesForCreate(uint32_t attributes);

// True for entries that extraction skips (neither file nor directory) and
// for entries whose name stays inside the destination and names a plain
// file or folder there.
bool IsSafeEntry(const QVFileItem& item);

// Decodes count table records (568 bytes each) in table order; false, and
// out untouched, when any entry is not safe.
bool DecodeTable(const unsigned char* table, uint32_t count, std::vector<boost::shared_ptr<QVFileItem> >& out);

}  // namespace Quorvel

#endif
