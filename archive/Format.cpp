#include "archive/Format.h"

#include <string.h>

#include "archive/EntryName.h"

namespace Quorvel {

namespace {

uint32_t Read32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Read64(const unsigned char* p) { return static_cast<uint64_t>(Read32(p)) | (static_cast<uint64_t>(Read32(p + 4)) << 32); }

void Write32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void Write64(unsigned char* p, uint64_t v) {
    Write32(p, static_cast<uint32_t>(v));
    Write32(p + 4, static_cast<uint32_t>(v >> 32));
}

enum {
    kOffType = 0, kOffName = 4, kOffOffset = 524, kOffSize = 532, kOffAttributes = 540,
    kOffCreation = 544, kOffAccess = 552, kOffWrite = 560
};

QVFileTime ReadTime(const unsigned char* p) {
    QVFileTime t;
    t.lowDateTime = Read32(p);
    t.highDateTime = Read32(p + 4);
    return t;
}

void WriteTime(unsigned char* p, const QVFileTime& t) {
    Write32(p, t.lowDateTime);
    Write32(p + 4, t.highDateTime);
}

}  // namespace

QVFileItem::QVFileItem() : type(kEntryFile), offset(0), size(0), attributes(0xFFFFFFFFu) {
    memset(name, 0, sizeof(name));
    creationTime = lastAccessTime = lastWriteTime = MakeFileTime(0);
}

uint64_t FileTimeValue(const QVFileTime& t) {
    return (static_cast<uint64_t>(t.highDateTime) << 32) | t.lowDateTime;
}

QVFileTime MakeFileTime(uint64_t value) {
    QVFileTime t;
    t.lowDateTime = static_cast<uint32_t>(value);
    t.highDateTime = static_cast<uint32_t>(value >> 32);
    return t;
}

std::wstring ItemName(const QVFileItem& item) {
    std::wstring name;
    for (uint32_t i = 0; i < kNameUnits && item.name[i] != 0; ++i) name += static_cast<wchar_t>(item.name[i]);
    return name;
}

bool SetItemName(QVFileItem& item, const std::wstring& name) {
    if (name.size() >= kNameUnits) return false;
    for (std::wstring::size_type i = 0; i < name.size(); ++i) {
        // Only where wchar_t is wider than a UTF-16 unit.
        if ((static_cast<uint32_t>(name[i]) >> 16) != 0) return false;
    }
    memset(item.name, 0, sizeof(item.name));
    for (std::wstring::size_type i = 0; i < name.size(); ++i) item.name[i] = static_cast<uint16_t>(name[i]);
    return true;
}

bool DecodeHeader(const unsigned char* bytes, uint32_t length, uint32_t* count) {
    if (bytes == 0 || length < kHeaderSize || memcmp(bytes, kMagic, sizeof(kMagic)) != 0) return false;
    *count = Read32(bytes + 3);
    return true;
}

void EncodeHeader(uint32_t count, unsigned char out[kHeaderSize]) {
    memcpy(out, kMagic, sizeof(kMagic));
    Write32(out + 3, count);
}

void DecodeItem(const unsigned char* p, QVFileItem& item) {
    item.type = Read32(p + kOffType);
    for (uint32_t i = 0; i < kNameUnits; ++i) {
        item.name[i] = static_cast<uint16_t>(p[kOffName + 2 * i] | (p[kOffName + 2 * i + 1] << 8));
    }
    item.offset = Read64(p + kOffOffset);
    item.size = Read64(p + kOffSize);
    item.attributes = Read32(p + kOffAttributes);
    item.creationTime = ReadTime(p + kOffCreation);
    item.lastAccessTime = ReadTime(p + kOffAccess);
    item.lastWriteTime = ReadTime(p + kOffWrite);
}

void EncodeItem(const QVFileItem& item, unsigned char out[kEntrySize]) {
    memset(out, 0, kEntrySize);
    Write32(out + kOffType, item.type);
    for (uint32_t i = 0; i < kNameUnits; ++i) {
        out[kOffName + 2 * i] = static_cast<unsigned char>(item.name[i]);
        out[kOffName + 2 * i + 1] = static_cast<unsigned char>(item.name[i] >> 8);
    }
    Write64(out + kOffOffset, item.offset);
    Write64(out + kOffSize, item.size);
    Write32(out + kOffAttributes, item.attributes);
    WriteTime(out + kOffCreation, item.creationTime);
    WriteTime(out + kOffAccess, item.lastAccessTime);
    WriteTime(out + kOffWrite, item.lastWriteTime);
}

bool TableLength(uint32_t count, uint64_t archiveSize, uint32_t* length) {
    if (count == 0 || archiveSize < kHeaderSize) return false;
    const uint64_t table = static_cast<uint64_t>(count) * kEntrySize;
    if (table > archiveSize - kHeaderSize || table > 0xFFFFFFFFu) return false;
    *length = static_cast<uint32_t>(table);
    return true;
}

uint32_t FileAttributesForCreate(uint32_t attributes) {
    const uint32_t kAllowed = 0x1u /*read-only*/ | 0x2u /*hidden*/ | 0x4u /*system*/ | 0x20u /*archive*/ |
                              0x80u /*normal*/ | 0x100u /*temporary*/ | 0x2000u /*not content indexed*/;
    return attributes & kAllowed;
}

bool IsSafeEntry(const QVFileItem& item) {
    if (item.type != kEntryFile && item.type != kEntryDirectory) return true;
    return IsSafeEntryName(ItemName(item), item.type == kEntryFile);
}

}  // namespace Quorvel

namespace Quorvel {

bool DecodeTable(const unsigned char* table, uint32_t count, std::vector<boost::shared_ptr<QVFileItem> >& out) {
    std::vector<boost::shared_ptr<QVFileItem> > items;
    items.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        boost::shared_ptr<QVFileItem> item(new QVFileItem());
        DecodeItem(table + static_cast<size_t>(i) * kEntrySize, *item);
        // Names become paths: the whole table is refused before anything is written.
        if (!IsSafeEntry(*item)) return false;
        items.push_back(item);
    }
    out.swap(items);
    return true;
}

}  // namespace Quorvel
