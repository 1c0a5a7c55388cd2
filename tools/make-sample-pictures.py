#!/usr/bin/env python3
"""Draws the sample game's pictures and icons (deterministic output)."""
import struct, sys, zlib, os


def png(width, height, pixel):
    rows = b"".join(b"\0" + bytes(c for x in range(width) for c in pixel(x, y)) for y in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def ico(size, pixel):
    # One 32-bit image stored as a bottom-up DIB with an all-zero AND mask.
    xor = b"".join(bytes((b, g, r, 255)) for y in reversed(range(size)) for x in range(size)
                   for (r, g, b) in [pixel(x, y)])
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    dib = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0) + xor + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(dib), 22) + dib


def star(x, y, n):
    cx = cy = n / 2
    d = abs(x - cx) + abs(y - cy)
    return (250, 210, 60) if d < n / 3 else (20, 30, 90)


def main(root):
    files = {
        "samples/game/res/bk.png": png(160, 100, lambda x, y: (10 + x // 2, 20 + y, 80 + (x + y) % 100)),
        "samples/game/res/title.png": png(96, 32, lambda x, y: (200, 40 + 6 * y, 60) if (x // 8 + y // 8) % 2 else (30, 30, 30)),
        "samples/game/res/ui/button.png": png(48, 16, lambda x, y: (40, 160, 70) if 1 < y < 14 else (0, 0, 0)),
        "samples/game/res/game.ico": ico(32, lambda x, y: star(x, y, 32)),
        "samples/client/client.ico": ico(32, lambda x, y: star(x, y, 32)),
        "app/installer.ico": ico(16, lambda x, y: (30, 120, 200) if (x + y) % 4 else (255, 255, 255)),
    }
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)
    open(os.path.join(root, "samples/game/res/ui/empty.dat"), "wb").close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
