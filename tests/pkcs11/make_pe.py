#!/usr/bin/env python3
"""Writes a small but complete 32-bit Windows DLL (PE32): a DOS stub header,
the PE headers with all sixteen data directories, and one code section whose
entry point returns TRUE. Enough for code-signing tools, which hash the
headers and sections and append their signature through the certificate-table
directory; nothing here depends on a Windows toolchain.

usage: make_pe.py OUT_FILE
"""
import struct
import sys

FILE_ALIGNMENT = 0x200
SECTION_ALIGNMENT = 0x1000
IMAGE_BASE = 0x10000000
DATA_DIRECTORIES = 16


def align(value, to):
    return (value + to - 1) // to * to


def build():
    # DllMain: mov eax, 1; ret 12 (stdcall, three arguments).
    code = bytes([0xB8, 0x01, 0x00, 0x00, 0x00, 0xC2, 0x0C, 0x00])
    pe_offset = 0x80
    optional_size = 96 + 8 * DATA_DIRECTORIES
    headers_end = pe_offset + 4 + 20 + optional_size + 40
    headers_size = align(headers_end, FILE_ALIGNMENT)
    text_rva = SECTION_ALIGNMENT
    text_raw = align(len(code), FILE_ALIGNMENT)
    image_size = text_rva + align(len(code), SECTION_ALIGNMENT)

    dos = bytearray(pe_offset)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, pe_offset)

    # Machine i386; one section; characteristics: executable, 32-bit, DLL.
    coff = struct.pack("<HHIIIHH", 0x014C, 1, 0, 0, 0, optional_size, 0x0102 | 0x2000)
    optional = struct.pack(
        "<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
        0x010B,            # PE32
        14, 0,             # linker version
        text_raw,          # size of code
        0, 0,              # initialised, uninitialised data
        text_rva,          # entry point
        text_rva,          # base of code
        text_rva,          # base of data
        IMAGE_BASE,
        SECTION_ALIGNMENT,
        FILE_ALIGNMENT,
        6, 0, 0, 0, 6, 0,  # OS, image, subsystem versions
        0,                 # Win32 version value
        image_size,
        headers_size,
        0,                 # checksum (the signing tool sets it)
        2,                 # subsystem: Windows GUI
        0x0140,            # DLL characteristics: dynamic base, NX compatible
        0x100000, 0x1000, 0x100000, 0x1000,
        0,                 # loader flags
        DATA_DIRECTORIES,
    )
    optional += bytes(8 * DATA_DIRECTORIES)
    section = struct.pack(
        "<8sIIIIIIHHI", b".text", len(code), text_rva, text_raw, headers_size, 0, 0, 0, 0,
        0x60000020,  # code, executable, readable
    )
    headers = bytes(dos) + b"PE\0\0" + coff + optional + section
    headers += bytes(headers_size - len(headers))
    return headers + code + bytes(text_raw - len(code))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as out:
        out.write(build())


if __name__ == "__main__":
    main()
