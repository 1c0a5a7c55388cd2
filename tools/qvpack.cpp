// qvpack: writes a folder as a QVZ archive, and lists and checks one.
//   qvpack create ARCHIVE DIR
//   qvpack list [--tsv] ARCHIVE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <ctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/EntryName.h"
#include "archive/Format.h"
#include "tools/HostArchive.h"
#include "tools/HostUtf8.h"

using namespace Quorvel;

namespace {

const uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;  // 1970-01-01 in 100 ns since 1601

int Fail(const std::string& message) {
    fprintf(stderr, "qvpack: %s\n", message.c_str());
    return 1;
}

uint64_t ToFileTime(int64_t seconds, long nanoseconds) {
    if (seconds < -11644473600LL) return 0;
    return static_cast<uint64_t>(seconds) * 10000000ULL + kUnixEpochAsFileTime + static_cast<uint64_t>(nanoseconds / 100);
}

std::string FormatFileTime(uint64_t value) {
    const time_t seconds = static_cast<time_t>((value / 10000000ULL)) - static_cast<time_t>(11644473600LL);
    struct tm utc;
    char text[64];
    if (gmtime_r(&seconds, &utc) == 0) return "?";
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    char fraction[16];
    snprintf(fraction, sizeof(fraction), ".%07u UTC", static_cast<unsigned>(value % 10000000ULL));
    return std::string(text) + fraction;
}

struct Source {
    std::string path;      // on this machine
    QVFileItem item;
};

void TimesOf(const std::string& path, const struct stat& st, QVFileItem& item) {
    item.lastAccessTime = MakeFileTime(ToFileTime(st.st_atim.tv_sec, st.st_atim.tv_nsec));
    item.lastWriteTime = MakeFileTime(ToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    item.creationTime = item.lastWriteTime;  // the birth time where the file system keeps one
#ifdef STATX_BTIME
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
        item.creationTime = MakeFileTime(ToFileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec));
    }
#endif
    // A reproducible build gives SOURCE_DATE_EPOCH: no time after it goes
    // into the archive, so that when the files were checked out does not.
    const char* epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch != NULL && epoch[0] != 0 && strspn(epoch, "0123456789") == strlen(epoch)) {
        const uint64_t latest = ToFileTime(strtoll(epoch, NULL, 10), 0);
        QVFileTime* times[] = {&item.creationTime, &item.lastAccessTime, &item.lastWriteTime};
        for (QVFileTime* t : times) {
            if (FileTimeValue(*t) > latest) *t = MakeFileTime(latest);
        }
    }
}

// Depth first, names in byte order within each folder: the same folder
// always gives the same archive.
bool Collect(const std::string& dir, const std::wstring& prefix, std::vector<Source>& out, std::string* error) {
#if defined(O_NOATIME) && defined(O_DIRECTORY)
    // Listing a folder must not move the access time that the next pack records.
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOATIME);
    if (fd < 0) fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    DIR* handle = fd < 0 ? 0 : fdopendir(fd);
    if (handle == 0 && fd >= 0) close(fd);
#else
    DIR* handle = opendir(dir.c_str());
#endif
    if (handle == 0) {
        *error = "cannot read folder " + dir + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(handle)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(handle);
    std::sort(names.begin(), names.end());
    // Windows names ignore letter case: two such files would overwrite
    // each other when the archive is extracted.
    std::vector<std::string> folded(names);
    for (size_t i = 0; i < folded.size(); ++i) {
        for (size_t k = 0; k < folded[i].size(); ++k) folded[i][k] = static_cast<char>(tolower(static_cast<unsigned char>(folded[i][k])));
    }
    std::sort(folded.begin(), folded.end());
    for (size_t i = 1; i < folded.size(); ++i) {
        if (folded[i] == folded[i - 1]) {
            *error = "names that differ only in letter case in " + dir + ": " + folded[i];
            return false;
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string path = dir + "/" + names[i];
        std::wstring units;
        if (!Utf8ToUnits(names[i], &units)) {
            *error = "name is not UTF-8: " + path;
            return false;
        }
        if (!IsPlainNameComponent(units)) {
            *error = "name the installer would refuse (reserved, trailing dot or space, or forbidden character): " + path;
            return false;
        }
        const std::wstring name = prefix.empty() ? units : prefix + L"\\" + units;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            *error = "cannot stat " + path + ": " + strerror(errno);
            return false;
        }
        Source source;
        source.path = path;
        if (!SetItemName(source.item, name)) {
            *error = "name longer than 259 UTF-16 units: " + path;
            return false;
        }
        TimesOf(path, st, source.item);
        if (S_ISDIR(st.st_mode)) {
            source.item.type = kEntryDirectory;
            source.item.attributes = 0x10;
            out.push_back(source);
            if (!Collect(path, name, out, error)) return false;
        } else if (S_ISREG(st.st_mode)) {
            source.item.type = kEntryFile;
            source.item.size = static_cast<uint64_t>(st.st_size);
            source.item.attributes = 0x20 | ((st.st_mode & S_IWUSR) ? 0 : 0x1);
            out.push_back(source);
        } else {
            *error = "not a regular file or folder: " + path;
            return false;
        }
    }
    return true;
}

FILE* OpenForReading(const std::string& path) {
#if defined(O_NOATIME)
    // Reading must not move the access times that the next pack records.
    int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
    if (fd < 0) fd = open(path.c_str(), O_RDONLY);
    return fd < 0 ? 0 : fdopen(fd, "rb");
#else
    return fopen(path.c_str(), "rb");
#endif
}

int Create(const std::string& archive, const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Fail("not a folder: " + dir);
    std::vector<Source> sources;
    Source root;
    root.path = dir;
    SetItemName(root.item, L"\\");
    root.item.type = kEntryDirectory;
    root.item.attributes = 0x10;
    TimesOf(dir, st, root.item);
    sources.push_back(root);
    std::string error;
    if (!Collect(dir, std::wstring(), sources, &error)) return Fail(error);
    if (sources.size() > 0xFFFFFFFFu / kEntrySize) return Fail("too many entries");

    uint64_t position = kHeaderSize + static_cast<uint64_t>(sources.size()) * kEntrySize;
    for (size_t i = 0; i < sources.size(); ++i) {
        sources[i].item.offset = position;
        if (sources[i].item.type == kEntryFile) position += sources[i].item.size;
    }

    const std::string temp = archive + ".part";
    FILE* out = fopen(temp.c_str(), "wb");
    if (out == 0) return Fail("cannot write " + temp + ": " + strerror(errno));
    unsigned char header[kHeaderSize];
    EncodeHeader(static_cast<uint32_t>(sources.size()), header);
    bool ok = fwrite(header, 1, sizeof(header), out) == sizeof(header);
    for (size_t i = 0; ok && i < sources.size(); ++i) {
        unsigned char record[kEntrySize];
        EncodeItem(sources[i].item, record);
        ok = fwrite(record, 1, sizeof(record), out) == sizeof(record);
    }
    std::vector<char> chunk(1 << 16);
    for (size_t i = 0; ok && i < sources.size(); ++i) {
        if (sources[i].item.type != kEntryFile) continue;
        FILE* in = OpenForReading(sources[i].path);
        if (in == 0) {
            error = "cannot read " + sources[i].path + ": " + strerror(errno);
            ok = false;
            break;
        }
        uint64_t remaining = sources[i].item.size;
        while (ok && remaining > 0) {
            const size_t want = remaining > chunk.size() ? chunk.size() : static_cast<size_t>(remaining);
            const size_t got = fread(&chunk[0], 1, want, in);
            if (got != want) {
                error = "file changed while packing: " + sources[i].path;
                ok = false;
            } else {
                ok = fwrite(&chunk[0], 1, got, out) == got;
                remaining -= got;
            }
        }
        fclose(in);
    }
    if (fclose(out) != 0) ok = false;
    if (!ok) {
        remove(temp.c_str());
        return Fail(error.empty() ? "cannot write " + archive : error);
    }
    if (rename(temp.c_str(), archive.c_str()) != 0) {
        remove(temp.c_str());
        return Fail("cannot write " + archive + ": " + strerror(errno));
    }
    return 0;
}

int List(const std::string& archive, bool tsv) {
    QVHostTable read;
    std::string error;
    if (!ReadArchiveTable(archive, &read, &error)) return Fail(error);
    const uint64_t archiveSize = read.archiveSize;
    const uint32_t count = read.count;
    const std::vector<unsigned char>& table = read.table;
    const uint32_t tableLength = static_cast<uint32_t>(table.size());
    const uint64_t dataStart = kHeaderSize + static_cast<uint64_t>(tableLength);
    bool valid = true;
    uint64_t dataLength = 0;
    if (!tsv) {
        printf("%s: %llu bytes, %u entries, table at 7..%llu, data from %llu\n", archive.c_str(),
               static_cast<unsigned long long>(archiveSize), count, static_cast<unsigned long long>(dataStart - 1),
               static_cast<unsigned long long>(dataStart));
        printf("%4s %4s %-32s %12s %12s %10s  %s\n", "#", "type", "name", "offset", "size", "attributes",
               "creation / last access / last write (100 ns since 1601, UTC)");
    }
    for (uint32_t i = 0; i < count; ++i) {
        QVFileItem item;
        DecodeItem(&table[static_cast<size_t>(i) * kEntrySize], item);
        const std::string name = UnitsToUtf8(ItemName(item));
        const bool safe = IsSafeEntry(item);
        if (!safe) valid = false;
        if (item.type == kEntryFile) dataLength += item.size;
        const uint64_t c = FileTimeValue(item.creationTime);
        const uint64_t a = FileTimeValue(item.lastAccessTime);
        const uint64_t w = FileTimeValue(item.lastWriteTime);
        if (tsv) {
            printf("%u\t%u\t%s\t%llu\t%llu\t0x%X\t%llu\t%llu\t%llu\n", i, item.type, name.c_str(),
                   static_cast<unsigned long long>(item.offset), static_cast<unsigned long long>(item.size),
                   item.attributes, static_cast<unsigned long long>(c), static_cast<unsigned long long>(a),
                   static_cast<unsigned long long>(w));
        } else {
            printf("%4u %4u %-32s %12llu %12llu %#10x  %llu %llu %llu (%s)%s\n", i, item.type,
                   ("\"" + name + "\"").c_str(), static_cast<unsigned long long>(item.offset),
                   static_cast<unsigned long long>(item.size), item.attributes, static_cast<unsigned long long>(c),
                   static_cast<unsigned long long>(a), static_cast<unsigned long long>(w), FormatFileTime(w).c_str(),
                   safe ? "" : "  <- refused: unsafe name");
        }
    }
    if (dataStart + dataLength > archiveSize) {
        fprintf(stderr, "qvpack: data area is %llu bytes short\n",
                static_cast<unsigned long long>(dataStart + dataLength - archiveSize));
        valid = false;
    } else if (dataStart + dataLength < archiveSize && !tsv) {
        printf("note: %llu bytes after the data area are never read\n",
               static_cast<unsigned long long>(archiveSize - dataStart - dataLength));
    }
    if (!valid) return Fail("archive is not valid");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "create") == 0) return Create(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "list") == 0) return List(argv[2], false);
    if (argc == 4 && strcmp(argv[1], "list") == 0 && strcmp(argv[2], "--tsv") == 0) return List(argv[3], true);
    fprintf(stderr, "usage: qvpack create ARCHIVE DIR\n       qvpack list [--tsv] ARCHIVE\n");
    return 2;
}
