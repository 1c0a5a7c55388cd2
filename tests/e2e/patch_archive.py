#!/usr/bin/env python3
"""Makes damaged or unusual archives from a good one, for the tests.

  patch_archive.py IN OUT cut-in-file N       cut inside the data of file entry N (0-based among files)
  patch_archive.py IN OUT name INDEX TEXT     set the name of table entry INDEX
  patch_archive.py IN OUT attributes INDEX V  set the attributes of table entry INDEX
"""
import struct
import sys

HEADER, ENTRY = 7, 568


def main():
    src, dst, what = sys.argv[1:4]
    data = bytearray(open(src, "rb").read())
    count = struct.unpack_from("<I", data, 3)[0]
    entry = lambda i: HEADER + i * ENTRY
    if what == "cut-in-file":
        n = int(sys.argv[4])
        files = [i for i in range(count) if struct.unpack_from("<I", data, entry(i))[0] == 0]
        pos = HEADER + count * ENTRY
        for i in files[:n]:
            pos += struct.unpack_from("<Q", data, entry(i) + 532)[0]
        size = struct.unpack_from("<Q", data, entry(files[n]) + 532)[0]
        data = data[: pos + size // 2]
    elif what == "name":
        i, text = int(sys.argv[4]), sys.argv[5].encode("utf-16-le")
        assert len(text) < 520
        data[entry(i) + 4 : entry(i) + 524] = text + b"\0" * (520 - len(text))
    elif what == "attributes":
        i, value = int(sys.argv[4]), int(sys.argv[5], 0)
        struct.pack_into("<I", data, entry(i) + 540, value)
    else:
        sys.exit("unknown patch: " + what)
    open(dst, "wb").write(data)


if __name__ == "__main__":
    main()
