#!/usr/bin/env python3
"""Prints the file version of a Windows binary (from its version resource) as "a.b.c.d".

usage: pe_version.py FILE
Exit status 0 with the version printed; 2 when the file has no version resource;
1 when the file cannot be read or is not a PE image.
"""
import struct
import sys

FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


def rva_to_offset(sections, rva):
    for virtual_address, virtual_size, raw_offset, raw_size in sections:
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            return raw_offset + (rva - virtual_address)
    return None


def file_version(data):
    """The FILEVERSION of the image's version resource, or None when it has none."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise ValueError("not a PE image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    section_count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    if resource_rva == 0 or resource_size == 0:
        return None
    sections = []
    table = optional + optional_size
    for i in range(section_count):
        entry = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
        sections.append((virtual_address, virtual_size, raw_offset, raw_size))
    base = rva_to_offset(sections, resource_rva)
    if base is None:
        return None

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, directory + 12)
        for i in range(named + numbered):
            yield struct.unpack_from("<II", data, directory + 16 + 8 * i)

    # Resource tree: type (16 = RT_VERSION) -> name -> language -> data entry.
    for type_id, type_target in entries(base):
        if type_id != 16 or not type_target & 0x80000000:
            continue
        node = base + (type_target & 0x7FFFFFFF)
        while True:
            children = list(entries(node))
            if not children:
                return None
            target = children[0][1]
            if not target & 0x80000000:
                break
            node = base + (target & 0x7FFFFFFF)
        data_rva, data_size = struct.unpack_from("<II", data, base + target)
        start = rva_to_offset(sections, data_rva)
        if start is None:
            return None
        block = data[start:start + data_size]
        at = block.find(struct.pack("<I", FIXED_FILE_INFO_SIGNATURE))
        if at < 0:
            return None
        ms, ls = struct.unpack_from("<II", block, at + 8)
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return None


def main():
    if len(sys.argv) != 2:
        print("usage: pe_version.py FILE", file=sys.stderr)
        return 1
    try:
        with open(sys.argv[1], "rb") as f:
            version = file_version(f.read())
    except (OSError, ValueError, struct.error) as e:
        print("%s: %s" % (sys.argv[1], e), file=sys.stderr)
        return 1
    if version is None:
        return 2
    print(version)
    return 0


if __name__ == "__main__":
    sys.exit(main())
