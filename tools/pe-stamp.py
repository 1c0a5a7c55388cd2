#!/usr/bin/env python3
"""Sets a PE file's link time stamp and recomputes its checksum:
  pe-stamp.py FILE SECONDS
so that a reproducible build carries SOURCE_DATE_EPOCH, not 0 or now."""
import struct
import sys


def checksum(data, field):
    total = 0
    for i in range(0, len(data) - len(data) % 2, 2):
        if field <= i < field + 4:
            continue
        total += data[i] | data[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    if len(data) % 2:
        total += data[-1]
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    path, seconds = sys.argv[1], int(sys.argv[2])
    data = bytearray(open(path, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("%s: not a PE file" % path)
    struct.pack_into("<I", data, pe + 8, seconds & 0xFFFFFFFF)
    field = pe + 24 + 64  # OptionalHeader.CheckSum
    struct.pack_into("<I", data, field, checksum(data, field))
    open(path, "wb").write(data)


if __name__ == "__main__":
    main()
