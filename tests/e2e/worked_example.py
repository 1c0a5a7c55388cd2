#!/usr/bin/env python3
"""Writes the archive format's worked example: a folder entry and three
files of 45,490, 17,542 and 15,677 bytes, 80,988 bytes in all, and prints
the table it must decode to, in "qvpack list --tsv" form.

  worked_example.py OUT.qvz > expected.tsv
"""
import random
import struct
import sys

STAMP = 130741377553794617  # 2015-04-22 00:55:55.3794617 UTC
ENTRIES = [  # type, name, size, attributes, last write
    (1, "\\", 0, 0x10, STAMP),
    (0, "bk.png", 45490, 0x20, 130735641009394926),
    (0, "game.ico", 17542, 0x20, 130740834983154126),
    (0, "title.png", 15677, 0x20, 130740835341654631),
]


def main():
    rng = random.Random(4)
    table, data, rows = b"", b"", []
    offset = 7 + 568 * len(ENTRIES)
    for i, (kind, name, size, attributes, written) in enumerate(ENTRIES):
        encoded = name.encode("utf-16-le")
        table += struct.pack("<I", kind) + encoded + b"\0" * (520 - len(encoded))
        table += struct.pack("<QQI", offset, size, attributes) + struct.pack("<QQQ", STAMP, STAMP, written)
        rows.append("%d\t%d\t%s\t%d\t%d\t0x%X\t%d\t%d\t%d" % (i, kind, name, offset, size, attributes, STAMP, STAMP, written))
        data += bytes(rng.getrandbits(8) for _ in range(size))
        offset += size
    archive = b"QVZ" + struct.pack("<I", len(ENTRIES)) + table + data
    assert len(archive) == 80988
    assert [int(r.split("\t")[3]) for r in rows] == [2279, 2279, 47769, 65311]
    open(sys.argv[1], "wb").write(archive)
    print("\n".join(rows))


if __name__ == "__main__":
    main()
