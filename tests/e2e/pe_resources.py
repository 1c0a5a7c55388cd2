#!/usr/bin/env python3
"""Lists the resources of a PE file, one per line: type, name, language, size.

  pe_resources.py FILE.exe            all resources, tab-separated
  pe_resources.py FILE.exe TYPE NAME  the bytes of that resource to stdout
Integer types and names are printed as numbers, string ones as text.
"""
import struct
import sys


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    count, opt_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    rsrc_rva = struct.unpack_from("<I", data, dirs + 2 * 8)[0]
    table = opt + opt_size
    out = []
    for i in range(count):
        s = table + 40 * i
        vsize, va, rsize, raw = struct.unpack_from("<IIII", data, s + 8)
        out.append((va, max(vsize, rsize), raw))
    return rsrc_rva, out


def resources(data):
    rsrc_rva, secs = sections(data)
    def offset(rva):
        for va, size, raw in secs:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("rva %#x outside every section" % rva)
    base = offset(rsrc_rva)

    def name_of(entry_name):
        if entry_name & 0x80000000:
            p = base + (entry_name & 0x7FFFFFFF)
            n = struct.unpack_from("<H", data, p)[0]
            return data[p + 2:p + 2 + 2 * n].decode("utf-16-le")
        return entry_name

    def entries(p):
        named, ids = struct.unpack_from("<HH", data, p + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, p + 16 + 8 * i)

    for t_name, t_off in entries(base):
        for n_name, n_off in entries(base + (t_off & 0x7FFFFFFF)):
            for l_name, l_off in entries(base + (n_off & 0x7FFFFFFF)):
                rva, size = struct.unpack_from("<II", data, base + l_off)
                yield name_of(t_name), name_of(n_name), l_name, data[offset(rva):offset(rva) + size]


def main():
    data = open(sys.argv[1], "rb").read()
    if len(sys.argv) == 4:
        for t, n, _, blob in resources(data):
            if str(t) == sys.argv[2] and str(n) == sys.argv[3]:
                sys.stdout.buffer.write(blob)
                return 0
        return 1
    for t, n, lang, blob in resources(data):
        print("%s\t%s\t%#06x\t%d" % (t, n, lang, len(blob)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
