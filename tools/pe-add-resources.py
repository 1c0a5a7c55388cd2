#!/usr/bin/env python3
"""Gives a linked PE file that has no resources the resources of a .res file
(as windres -O res writes it), and RCDATA resources read from files, in a
section of their own after the others:
  pe-add-resources.py [--time SECONDS] [--data ID=FILE]... STUB.exe RESOURCES.res OUT.exe
--time sets the link time stamp (a reproducible build's SOURCE_DATE_EPOCH);
the checksum is made in the same pass. The installer's code is linked (with
link-time optimisation) once per build; each installer is then this copy,
not a new link. The payload goes from its files to OUT.exe in pieces, read
once and never held in memory whole: a resource compiler would copy it into
its .res first, and hold it all."""
import argparse
import os
import re
import struct
import sys

PIECE = 4 << 20
SLICE = 1 << 16  # even
RT_RCDATA = 10
RT_NAME_BIT = 0x80000000


def fail(message):
    sys.exit("pe-add-resources: " + message)


def align(value, to):
    return (value + to - 1) // to * to


def read_res(f, size, path):
    """The resources of a .res file: (type, name, language, data offset, data size,
    file), types and names as ints or str."""
    out = []
    at = 0

    def ident(p):
        if header[p:p + 2] == b"\xff\xff":
            return struct.unpack_from("<H", header, p + 2)[0], p + 4
        end = p
        while header[end:end + 2] != b"\0\0":
            end += 2
            if end + 2 > len(header):
                fail("a resource name without its end")
        return header[p:end].decode("utf-16-le"), end + 2

    while at < size:
        f.seek(at)
        head = f.read(8)
        if len(head) < 8:
            fail("the resource file ends inside an entry")
        data_size, header_size = struct.unpack("<II", head)
        if header_size < 32 or at + header_size + data_size > size:
            fail("a resource entry runs past the end of the file")
        header = head + f.read(header_size - 8)
        rtype, p = ident(8)
        name, p = ident(p)
        p = align(p, 4)
        if p + 16 > header_size:
            fail("a resource header is too short")
        language = struct.unpack_from("<H", header, p + 6)[0]
        # The file starts with an empty entry that only marks its format.
        if not (data_size == 0 and rtype == 0 and name == 0):
            out.append((rtype, name, language, at + header_size, data_size, path))
        at = align(at + header_size + data_size, 4)
    return out


def order(key):
    # Named entries first, by name; then numbered ones, by number.
    return (0, key.upper()) if isinstance(key, str) else (1, key)


def build_section(resources, rva):
    """The directory part of the section, and where each resource's data
    goes in it: (bytes, [(section offset, resource)])."""
    tree = {}
    for r in resources:
        leaf = tree.setdefault(r[0], {}).setdefault(r[1], {})
        if r[2] in leaf:
            fail("resource %r/%r/%#x is there twice" % (r[0], r[1], r[2]))
        leaf[r[2]] = r

    # Tables breadth first, as linkers lay them out: the root, every
    # name table, every language table; then the data entries and names.
    names_tables = [tree[t] for t in sorted(tree, key=order)]
    lang_tables = [n[k] for n in names_tables for k in sorted(n, key=order)]
    tables = [tree] + names_tables + lang_tables
    offsets, at = {}, 0
    for node in tables:
        offsets[id(node)] = at
        at += 16 + 8 * len(node)
    leaves = [leaf[lang] for leaf in lang_tables for lang in sorted(leaf)]
    data_entries = at
    at += 16 * len(leaves)
    strings, text = {}, bytearray()
    for node in tables:
        for key in node:
            if isinstance(key, str) and key not in strings:
                strings[key] = at + len(text)
                units = key.encode("utf-16-le")
                text += struct.pack("<H", len(units) // 2) + units
    at = align(at + len(text), 8)
    placed, data_rvas = [], []
    for r in leaves:
        placed.append((at, r))
        data_rvas.append(rva + at)
        at = align(at + r[4], 8)

    out = bytearray(data_entries)
    entry_of = {id(r): data_entries + 16 * i for i, r in enumerate(leaves)}
    for node in tables:
        p = offsets[id(node)]
        keys = sorted(node, key=order)
        named = sum(isinstance(k, str) for k in keys)
        struct.pack_into("<IIHHHH", out, p, 0, 0, 0, 0, named, len(keys) - named)
        for i, key in enumerate(keys):
            name = RT_NAME_BIT | strings[key] if isinstance(key, str) else key
            child = node[key]
            target = RT_NAME_BIT | offsets[id(child)] if isinstance(child, dict) else entry_of[id(child)]
            struct.pack_into("<II", out, p + 16 + 8 * i, name, target)
    for r, data_rva in zip(leaves, data_rvas):
        out += struct.pack("<IIII", data_rva, r[4], 0, 0)
    out += text
    return bytes(out), placed, at


def residue(data):
    """data read as one little-endian number, modulo 0xFFFF. As 2**16 is 1
    modulo 0xFFFF, so is every 2**(8 * offset) for an even offset: the
    slices' numbers add up to the same residue, at far less cost than
    dividing a number of millions of bits."""
    view, total = memoryview(data), 0
    for at in range(0, len(view), SLICE):
        total += int.from_bytes(view[at:at + SLICE], "little")
    return total % 0xFFFF


def data_resource(given):
    """--data ID=FILE: an RCDATA resource, language-neutral as the .rc's."""
    number, sep, path = given.partition("=")
    if not sep or not re.fullmatch("[0-9]{1,5}", number) or not 0 < int(number) < 0x10000:
        fail("--data takes ID=FILE with a number ID below 65536: %s" % given)
    try:
        size = os.stat(path).st_size
    except OSError as e:
        fail("cannot read %s: %s" % (path, e.strerror))
    return (RT_RCDATA, int(number), 0, 0, size, path)


def main():
    ap = argparse.ArgumentParser(usage=__doc__.split("\n")[3].strip())
    ap.add_argument("--time", type=int, help="link time stamp, in seconds since 1970")
    ap.add_argument("--data", action="append", default=[], metavar="ID=FILE")
    ap.add_argument("stub")
    ap.add_argument("res")
    ap.add_argument("out")
    a = ap.parse_args()
    if a.time is not None and not 0 <= a.time <= 0xFFFFFFFF:
        fail("a PE time stamp holds seconds from 1970 to 2106: %d" % a.time)
    stub_path, out_path = a.stub, a.out
    stub = bytearray(open(stub_path, "rb").read())
    pe = struct.unpack_from("<I", stub, 0x3C)[0]
    if stub[pe:pe + 4] != b"PE\0\0" or struct.unpack_from("<H", stub, pe + 24)[0] != 0x10B:
        fail("%s: not a 32-bit PE file" % stub_path)
    count, opt_size = struct.unpack_from("<H", stub, pe + 6)[0], struct.unpack_from("<H", stub, pe + 20)[0]
    opt = pe + 24
    section_align, file_align = struct.unpack_from("<II", stub, opt + 32)
    headers_size = struct.unpack_from("<I", stub, opt + 60)[0]
    resource_dir = opt + 96 + 2 * 8
    if struct.unpack_from("<II", stub, resource_dir) != (0, 0):
        fail("%s has resources already" % stub_path)
    table = opt + opt_size
    if table + 40 * (count + 1) > headers_size:
        fail("%s has no room for another section header" % stub_path)
    end_rva = end_file = 0
    for i in range(count):
        vsize, va, rsize, raw = struct.unpack_from("<IIII", stub, table + 40 * i + 8)
        end_rva, end_file = max(end_rva, va + max(vsize, rsize)), max(end_file, raw + rsize)
    if end_file != len(stub):
        fail("%s carries data after its sections (a signature?)" % stub_path)
    rva, raw = align(end_rva, section_align), align(end_file, file_align)

    with open(a.res, "rb") as res:
        resources = read_res(res, os.fstat(res.fileno()).st_size, a.res)
    resources += [data_resource(given) for given in a.data]
    directory, placed, size = build_section(resources, rva)
    raw_size = align(size, file_align)
    if raw + raw_size > 0xFFFFFFFF:
        fail("the resources do not fit in a PE file")

    section = struct.pack("<8sIIIIIIHHI", b".rsrc", size, rva, raw_size, raw, 0, 0, 0, 0, 0x40000040)
    stub[table + 40 * count:table + 40 * count + 40] = section
    struct.pack_into("<H", stub, pe + 6, count + 1)
    struct.pack_into("<I", stub, opt + 8, struct.unpack_from("<I", stub, opt + 8)[0] + raw_size)
    struct.pack_into("<I", stub, opt + 56, align(rva + size, section_align))
    struct.pack_into("<II", stub, resource_dir, rva, size)
    if a.time is not None:
        struct.pack_into("<I", stub, pe + 8, a.time)
    checksum_at = opt + 64
    struct.pack_into("<I", stub, checksum_at, 0)

    # The checksum: the file's 16-bit little-endian words summed with
    # end-around carry, plus its length. As 2**16 is 1 modulo 0xFFFF,
    # that sum is the file read as one number, modulo 0xFFFF.
    total = 0
    written = 0
    out = os.open(out_path + ".part", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    in_kernel = hasattr(os, "copy_file_range")

    def count(chunk):
        nonlocal total, written
        value = residue(chunk)
        total = (total + (value << 8 if written % 2 else value)) % 0xFFFF
        written += len(chunk)

    def put(chunk):
        view = memoryview(chunk)
        while view:
            view = view[os.write(out, view):]
        count(chunk)

    def put_from(source, at, chunk):
        """chunk, read from source at offset at: copied there by the
        kernel where it can (a reflink on file systems that share blocks)."""
        nonlocal in_kernel
        left = len(chunk)
        while in_kernel and left:
            try:
                n = os.copy_file_range(source, out, left, at + len(chunk) - left)
            except OSError:
                n = 0
            if not n:
                in_kernel = False  # and the rest goes through the buffer
                os.lseek(out, written, os.SEEK_SET)
                left = len(chunk)
            left -= n
        if left:
            put(chunk)
        else:
            count(chunk)

    try:
        put(bytes(stub) + b"\0" * (raw - len(stub)))
        put(directory)
        at = len(directory)
        buffer = memoryview(bytearray(PIECE))  # one buffer for every piece
        for offset, r in placed:
            put(b"\0" * (offset - at))
            with open(r[5], "rb", buffering=0) as source:
                source.seek(r[3])
                left = r[4]
                while left:
                    where = r[3] + r[4] - left
                    n = source.readinto(buffer[:min(PIECE, left)])
                    if not n:
                        fail("%s ends before its resource's data (changed while read?)" % r[5])
                    put_from(source.fileno(), where, buffer[:n])
                    left -= n
            at = offset + r[4]
        put(b"\0" * (raw_size - at))
        total = total or 0xFFFF  # a sum of words that are not all zero never folds to 0
        os.pwrite(out, struct.pack("<I", (total + written) & 0xFFFFFFFF), checksum_at)
    finally:
        os.close(out)
    os.replace(out_path + ".part", out_path)


if __name__ == "__main__":
    main()
