#!/usr/bin/env python3
"""Writes the example page's files into a folder: a short uncompressed video with its
subtitles, an album folder with a sub-folder, and a press folder. usage: demo-media.py DIR"""
import os
import struct
import sys


def chunk(tag, data):
    pad = b"\0" if len(data) % 2 else b""
    return tag + struct.pack("<I", len(data)) + data + pad


def riff_list(kind, tag, data):
    return kind + struct.pack("<I", len(data) + 4) + tag + data


def bitmap_header(width, height):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, width * height * 3, 0, 0, 0, 0)


def frame(width, height, n):
    """Bottom-up BGR rows: a colour gradient with a white bar that moves along."""
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            if abs(x - (n * 5) % width) < 4:
                row += b"\xff\xff\xff"
            else:
                row += bytes(((x * 255) // width, (y * 255) // height, 128))
        rows.append(bytes(row))
    return b"".join(rows)


def avi(width, height, fps, count):
    size = width * height * 3
    frames = [frame(width, height, n) for n in range(count)]
    avih = struct.pack("<IIIIIIIIII4I", 1000000 // fps, size * fps, 0, 0x10, count, 0, 1, size, width, height,
                       0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0, 1, fps, 0, count, size, 0xFFFFFFFF,
                       0, 0, 0, width, height)
    strl = riff_list(b"LIST", b"strl", chunk(b"strh", strh) + chunk(b"strf", bitmap_header(width, height)))
    hdrl = riff_list(b"LIST", b"hdrl", chunk(b"avih", avih) + strl)
    movi_data = b"".join(chunk(b"00db", f) for f in frames)
    movi = riff_list(b"LIST", b"movi", movi_data)
    index, offset = b"", 4
    for f in frames:
        index += struct.pack("<4sIII", b"00db", 0x10, offset, len(f))
        offset += 8 + len(f)
    return riff_list(b"RIFF", b"AVI ", hdrl + movi + chunk(b"idx1", index))


def bmp(width, height):
    pixels = frame(width, height, 3)
    return struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54) + bitmap_header(width, height) + pixels


def main():
    root = sys.argv[1]
    for sub in ("album/inner", "press"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    files = {
        "video.avi": avi(160, 120, 10, 30),
        "video.srt": "1\r\n00:00:00,000 --> 00:00:03,000\r\n上传演示\r\n".encode("utf-8"),
        "album-cover.bmp": bmp(64, 48),
        "album/page1.txt": b"first page of the album\r\n",
        "album/inner/photo.bmp": bmp(120, 90),
        "album/inner/page2.txt": b"second page, one folder down\r\n",
        "press/release.txt": b"press release of the demo\r\n",
    }
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)


main()
