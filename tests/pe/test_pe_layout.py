#!/usr/bin/env python3
"""The installer's executable as Windows and Wine load it, read without
running it: ASLR and DEP, no section both writable and executable, every
section on whole pages of the file (Wine maps them, the payload among them,
straight from it), the import and TLS directories where the loader and the
runtime look for them, and in the stub room for the resource section that
each installer adds.
  test_pe_layout.py STUB.exe INSTALLER.exe
The checks are first shown to refuse copies of the stub broken on purpose."""
import struct
import sys

import pefile

PAGE = 4096
SCN = pefile.SECTION_CHARACTERISTICS
WRITE, EXECUTE, CODE = SCN["IMAGE_SCN_MEM_WRITE"], SCN["IMAGE_SCN_MEM_EXECUTE"], SCN["IMAGE_SCN_CNT_CODE"]
DYNAMIC_BASE = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]
NX_COMPAT = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]
RELOCS_STRIPPED = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
DIRS = pefile.DIRECTORY_ENTRY
SECTION_HEADER = 40


def load(data):
    pe = pefile.PE(data=bytes(data), fast_load=True)
    pe.parse_data_directories(directories=[DIRS[d] for d in (
        "IMAGE_DIRECTORY_ENTRY_BASERELOC", "IMAGE_DIRECTORY_ENTRY_TLS")])
    return pe


def name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace") if section else None


def problems(data, stub):
    """What is wrong with the file, as a list of sentences; empty when nothing."""
    pe = load(data)
    oh, fh = pe.OPTIONAL_HEADER, pe.FILE_HEADER
    base = oh.ImageBase
    out = []

    def where(rva):
        return name(pe.get_section_by_rva(rva))

    def directory(entry):
        return oh.DATA_DIRECTORY[DIRS[entry]]

    if oh.FileAlignment != PAGE or oh.SectionAlignment != PAGE:
        out.append("file alignment %d, section alignment %d: not a page" % (oh.FileAlignment, oh.SectionAlignment))
    for s in pe.sections:
        flags = s.Characteristics
        if flags & WRITE and flags & (EXECUTE | CODE):
            out.append("%s is writable and holds code" % name(s))
        if s.PointerToRawData % PAGE or s.SizeOfRawData % PAGE:
            out.append("%s is not on whole pages of the file (at %#x, %#x bytes)"
                       % (name(s), s.PointerToRawData, s.SizeOfRawData))
    if not oh.DllCharacteristics & DYNAMIC_BASE:
        out.append("no DYNAMIC_BASE: loaded at a fixed address")
    if not oh.DllCharacteristics & NX_COMPAT:
        out.append("no NX_COMPAT: data pages executable")
    if fh.Characteristics & RELOCS_STRIPPED:
        out.append("relocations stripped")
    relocs = directory("IMAGE_DIRECTORY_ENTRY_BASERELOC")
    if not relocs.Size or where(relocs.VirtualAddress) != ".reloc" or not getattr(pe, "DIRECTORY_ENTRY_BASERELOC", None):
        out.append("no base relocations in .reloc")
    if where(oh.AddressOfEntryPoint) != ".text":
        out.append("the entry point is in %s, not .text" % where(oh.AddressOfEntryPoint))

    # GNU ld points the import directory at the start of .idata; the
    # descriptors must be there, and the tables they point to beside them.
    imports = directory("IMAGE_DIRECTORY_ENTRY_IMPORT")
    idata = next((s for s in pe.sections if name(s) == ".idata"), None)
    if idata is None or imports.VirtualAddress != idata.VirtualAddress:
        out.append("the import directory (%#x) does not open .idata" % imports.VirtualAddress)
    # Walked as the loader walks them, up to the first without a name or a
    # thunk: pefile's own reading passes over a bad descriptor.
    dlls, at = [], imports.VirtualAddress
    while True:
        lookup, _, _, dll, thunks = struct.unpack("<5I", pe.get_data(at, 20))
        if not dll or not thunks:
            break
        text = pe.get_string_at_rva(dll) if where(dll) == ".idata" else b""
        if {where(lookup), where(dll), where(thunks)} != {".idata"} or not text.lower().endswith(b".dll"):
            out.append("import descriptor %d at %#x is no descriptor (name %r)" % (len(dlls), at, text[:20]))
            break
        dlls.append(text.lower())
        at += 20
    if b"kernel32.dll" not in dlls:
        out.append("the imports lack KERNEL32.dll")
    iat = directory("IMAGE_DIRECTORY_ENTRY_IAT")
    if iat.Size and where(iat.VirtualAddress) != ".idata":
        out.append("the import address table is in %s" % where(iat.VirtualAddress))

    # The TLS directory and its callbacks are read-only; the template, the
    # index and what the callbacks run are where the runtime's code expects.
    tls = getattr(pe, "DIRECTORY_ENTRY_TLS", None)
    if tls is None:
        out.append("no TLS directory")
    else:
        t = tls.struct
        writable = lambda rva: bool(pe.get_section_by_rva(rva) and pe.get_section_by_rva(rva).Characteristics & WRITE)
        if where(directory("IMAGE_DIRECTORY_ENTRY_TLS").VirtualAddress) != ".rdata":
            out.append("the TLS directory is not in .rdata")
        start, end = t.StartAddressOfRawData - base, t.EndAddressOfRawData - base
        if not (start < end and where(start) == where(end - 1) and writable(start)):
            out.append("the TLS template %#x-%#x is not inside one writable section" % (start, end))
        if not writable(t.AddressOfIndex - base):
            out.append("the TLS index is not writable")
        callbacks = t.AddressOfCallBacks - base
        if where(callbacks) != ".rdata":
            out.append("the TLS callbacks are listed in %s, not .rdata" % where(callbacks))
        else:
            at, count = callbacks, 0
            while pe.get_dword_at_rva(at):
                if where(pe.get_dword_at_rva(at) - base) != ".text":
                    out.append("TLS callback %d is outside .text" % count)
                at, count = at + 4, count + 1
            if count == 0:
                out.append("no TLS callbacks: the runtime's thread set-up would not run")

    # tools/pe-add-resources.py appends .rsrc: a header for it, nothing after
    # the last section for it to overwrite.
    table_end = pe.sections[-1].get_file_offset() + SECTION_HEADER
    end_of_sections = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    if stub:
        if table_end + SECTION_HEADER > min(oh.SizeOfHeaders, min(s.PointerToRawData for s in pe.sections if s.SizeOfRawData)):
            out.append("no room for one more section header")
        if len(data) != end_of_sections:
            out.append("%d bytes after the last section" % (len(data) - end_of_sections))
        if directory("IMAGE_DIRECTORY_ENTRY_RESOURCE").Size:
            out.append("the stub has resources already")
    else:
        resources = directory("IMAGE_DIRECTORY_ENTRY_RESOURCE")
        if name(pe.sections[-1]) != ".rsrc" or resources.VirtualAddress != pe.sections[-1].VirtualAddress:
            out.append("the resources are not the last section")
    return out


def broken_stubs(data):
    """Copies of the stub, each broken in one way, and a word of what the
    checks must say about it."""
    pe = load(data)
    section = {name(s): s for s in pe.sections}

    def patched(field_offset, fmt, value):
        copy = bytearray(data)
        struct.pack_into(fmt, copy, field_offset, value)
        return copy

    oh = pe.OPTIONAL_HEADER
    dll = oh.get_field_absolute_offset("DllCharacteristics")
    yield "without DYNAMIC_BASE", "DYNAMIC_BASE", patched(dll, "<H", oh.DllCharacteristics & ~DYNAMIC_BASE)
    yield "without NX_COMPAT", "NX_COMPAT", patched(dll, "<H", oh.DllCharacteristics & ~NX_COMPAT)
    text = section[".text"]
    yield "with writable code", "writable and holds code", patched(
        text.get_field_absolute_offset("Characteristics"), "<I", text.Characteristics | WRITE)
    yield "with a 512-byte file alignment", "alignment", patched(
        oh.get_field_absolute_offset("FileAlignment"), "<I", 512)
    reloc = section[".reloc"]
    yield "with a section off its page", "whole pages", patched(
        reloc.get_field_absolute_offset("PointerToRawData"), "<I", reloc.PointerToRawData + 512)
    yield "without relocations", "relocations stripped", patched(
        pe.FILE_HEADER.get_field_absolute_offset("Characteristics"), "<H",
        pe.FILE_HEADER.Characteristics | RELOCS_STRIPPED)
    imports = oh.DATA_DIRECTORY[DIRS["IMAGE_DIRECTORY_ENTRY_IMPORT"]]
    yield "with the import directory past the first descriptor", "import directory", patched(
        imports.get_field_absolute_offset("VirtualAddress"), "<I", imports.VirtualAddress + 20)
    tls = pe.DIRECTORY_ENTRY_TLS.struct
    yield "with the TLS template in .rdata", "TLS template", patched(
        tls.get_field_absolute_offset("StartAddressOfRawData"), "<I", oh.ImageBase + section[".rdata"].VirtualAddress)
    yield "with no TLS callbacks", "no TLS callbacks", patched(
        pe.get_offset_from_rva(tls.AddressOfCallBacks - oh.ImageBase), "<I", 0)
    yield "with data after the last section", "after the last section", bytearray(data) + b"\0" * PAGE


def main():
    stub_path, installer_path = sys.argv[1:3]
    stub = open(stub_path, "rb").read()
    failed = 0

    def check(label, ok, detail=""):
        nonlocal failed
        print("%s  %s%s" % ("ok  " if ok else "FAIL", label, ("\n      " + detail) if detail and not ok else ""))
        failed += not ok

    for label, word, copy in broken_stubs(stub):
        found = problems(copy, stub=True)
        check("the checks refuse the stub " + label, any(word in p for p in found), "; ".join(found) or "nothing found")
    for path, is_stub in ((stub_path, True), (installer_path, False)):
        found = problems(open(path, "rb").read(), stub=is_stub)
        check(path, not found, "\n      ".join(found))
    print("%d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
