// Reading an archive's entry table on the build machine, for the host tools:
// the header and the table only, however large the data behind them.
#ifndef QV_TOOLS_HOSTARCHIVE_H
#define QV_TOOLS_HOSTARCHIVE_H

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/Format.h"

struct QVHostTable {
    uint64_t archiveSize = 0;
    uint32_t count = 0;
    std::vector<unsigned char> table;  // count entries of kEntrySize bytes
};

// False with a message for a file that is not an archive or whose table
// does not fit in it.
inline bool ReadArchiveTable(const std::string& path, QVHostTable* out, std::string* error) {
    FILE* in = fopen(path.c_str(), "rb");
    if (in == NULL) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    unsigned char header[Quorvel::kHeaderSize];
    uint32_t tableLength = 0;
    bool ok = false;
    const uint32_t headerBytes = static_cast<uint32_t>(fread(header, 1, sizeof(header), in));
    out->archiveSize = fstat(fileno(in), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (!Quorvel::DecodeHeader(header, headerBytes, &out->count)) {
        *error = "not an archive (header shorter than 7 bytes or magic is not QVZ)";
    } else if (!Quorvel::TableLength(out->count, out->archiveSize, &tableLength)) {
        *error = out->count == 0 ? "archive has no entries" : "entry table does not fit in the archive";
    } else {
        out->table.resize(tableLength);
        ok = fread(out->table.data(), 1, tableLength, in) == tableLength;
        if (!ok) *error = "entry table is truncated";
    }
    fclose(in);
    return ok;
}

#endif
