#!/usr/bin/env python3
"""Writes the library id into a type library made by widl 7, whose writer spoils the last
byte of that id; fails when the id cannot be found in its place."""
import sys
import uuid

path, libid = sys.argv[1], uuid.UUID(sys.argv[2]).bytes_le
data = bytearray(open(path, "rb").read())
# A GUID table entry: the id, then the type reference -2 that marks the library's own.
at = data.find(libid[:15])
if at < 0 or data[at + 16:at + 20] != b"\xfe\xff\xff\xff":
    sys.exit(f"{path}: library id {sys.argv[2]} not found")
data[at:at + 16] = libid
open(path, "wb").write(data)
