#!/usr/bin/python3
"""Reads an installer back with Debian's pefile, a reader that owes nothing
to ours, and checks what make-installer put into it:

  pe_check.py FILE.exe [--time N] [--host H] [--data ID=FILE]... [--version KEY=TEXT]...
              [--checksum pefile|osslsigncode]

Every section page-aligned in the file, .rsrc the last and nothing after it;
the link time stamp; the checksum (pefile's own sum, or osslsigncode's for
files too large for pefile's Python loop); each RCDATA resource equal to its
file, language-neutral; the statistics host as string 1003; the version
block's strings. Prints each failure; exits 1 if there was one.
"""
import argparse
import hashlib
import subprocess
import sys

import pefile

RT_STRING, RT_RCDATA = 6, 10
failures = []


def expect(ok, what):
    if not ok:
        failures.append(what)


def checksum(path, field):
    """The PE checksum: the file's 16-bit words added with each carry folded
    back in (the checksum field as zero), plus the file's length. A 64-bit
    word is its four 16-bit words over again modulo 0xFFFF, since 2^16 is 1."""
    total = length = 0
    with open(path, "rb") as f:
        while True:
            chunk = f.read(64 << 20)
            if not chunk:
                break
            if length <= field < length + len(chunk):
                at = field - length
                chunk = chunk[:at] + bytes(4) + chunk[at + 4:]
            length += len(chunk)
            chunk += bytes(-len(chunk) % 8)
            total += sum(memoryview(chunk).cast("Q"))
    folded = total % 0xFFFF or (0xFFFF if total else 0)
    return (folded + length) & 0xFFFFFFFF


def digest(path, offset=0, size=None):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        f.seek(offset)
        left = size
        while left is None or left:
            piece = f.read(1 << 20 if left is None else min(1 << 20, left))
            if not piece:
                break
            h.update(piece)
            if left is not None:
                left -= len(piece)
    return h.hexdigest()


def leaves(pe):
    """{(type, name): (language, rva, size)} of the resource tree."""
    out = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in root.entries if root else []:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                key = (t.id if t.name is None else str(t.name), n.id if n.name is None else str(n.name))
                out[key] = (lang.id, lang.data.struct.OffsetToData, lang.data.struct.Size)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("--time", type=int)
    ap.add_argument("--host")
    ap.add_argument("--data", action="append", default=[])
    ap.add_argument("--version", action="append", default=[])
    ap.add_argument("--checksum", choices=("pefile", "osslsigncode"), default="pefile")
    a = ap.parse_args()

    pe = pefile.PE(a.exe, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    size = pe.__data__.size() if hasattr(pe.__data__, "size") else len(pe.__data__)

    sections = pe.sections
    expect(pe.OPTIONAL_HEADER.FileAlignment == 4096, "file alignment %d, not 4096" % pe.OPTIONAL_HEADER.FileAlignment)
    for s in sections:
        name = s.Name.rstrip(b"\0").decode()
        expect(s.PointerToRawData % 4096 == 0, "section %s starts at %#x, not on a page" % (name, s.PointerToRawData))
    last = max(sections, key=lambda s: s.PointerToRawData)
    expect(last.Name.rstrip(b"\0") == b".rsrc", "the last section is %r, not .rsrc" % last.Name)
    expect(last.PointerToRawData + last.SizeOfRawData == size, "data after the last section")
    resource_dir = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    expect(resource_dir.VirtualAddress == last.VirtualAddress, "the resource directory is not .rsrc")

    if a.time is not None:
        expect(pe.FILE_HEADER.TimeDateStamp == a.time, "time stamp %d, not %d" % (pe.FILE_HEADER.TimeDateStamp, a.time))

    if a.checksum == "pefile":
        expect(pe.generate_checksum() == pe.OPTIONAL_HEADER.CheckSum, "checksum %#x, pefile sums %#x" %
               (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    else:
        # Unsigned, osslsigncode "fails", but says whether the sum is right;
        # Debian's own 2.5 says nothing of an unsigned file: the sum is then
        # done here, by the definition, in 64-bit words.
        said = subprocess.run(["osslsigncode", "verify", a.exe], capture_output=True, text=True).stdout
        if "PE checksum" in said:
            expect("PE checksum   : %08X" % pe.OPTIONAL_HEADER.CheckSum in said and "invalid PE checksum" not in said,
                   "osslsigncode: " + " / ".join(l for l in said.splitlines() if "checksum" in l))
        else:
            field = pe.OPTIONAL_HEADER.get_file_offset() + 64
            summed = checksum(a.exe, field)
            expect(summed == pe.OPTIONAL_HEADER.CheckSum, "checksum %#x, summed %#x" % (pe.OPTIONAL_HEADER.CheckSum, summed))

    tree = leaves(pe)
    for given in a.data:
        number, path = given.split("=", 1)
        leaf = tree.get((RT_RCDATA, int(number)))
        if leaf is None:
            expect(False, "no RCDATA %s" % number)
            continue
        language, rva, length = leaf
        expect(language == 0, "RCDATA %s has language %#x, not neutral" % (number, language))
        expect(digest(a.exe, pe.get_offset_from_rva(rva), length) == digest(path),
               "RCDATA %s differs from %s" % (number, path))

    if a.host is not None:
        # String 1003 is the fourth of block 63 (ids 1008..1023 are block 64).
        leaf = tree.get((RT_STRING, 1003 // 16 + 1))
        found = None
        if leaf is not None:
            block = pe.get_data(leaf[1], leaf[2])
            at = 0
            for i in range(16):
                n = int.from_bytes(block[at:at + 2], "little")
                text = block[at + 2:at + 2 + 2 * n].decode("utf-16-le")
                if i == 1003 % 16:
                    found = text
                at += 2 + 2 * n
        expect(found == a.host, "string 1003 is %r, not %r" % (found, a.host))

    if a.version:
        strings = {}
        for infos in getattr(pe, "FileInfo", []):
            for info in infos:
                for table in getattr(info, "StringTable", []):
                    strings.update({k.decode("utf-8"): v.decode("utf-8") for k, v in table.entries.items()})
        for given in a.version:
            key, text = given.split("=", 1)
            expect(strings.get(key) == text, "version %s is %r, not %r" % (key, strings.get(key), text))

    for f in failures:
        print("pe_check: " + f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
