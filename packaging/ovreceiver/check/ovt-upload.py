#!/usr/bin/env python3
"""Uploads one file to an ovreceiver as the transfer engine does (OVT/1, see docs/protocol.md).

ovt-upload.py [--tls CA_FILE] HOST PORT USER PASSWORD FILE REMOTE_NAME
Exits 0 when the receiver confirmed the file with its size and checksum.
"""
import ctypes
import ctypes.util
import socket
import ssl
import sys
import urllib.parse


def xxh64(data):
    lib = ctypes.CDLL(ctypes.util.find_library("xxhash") or "libxxhash.so.0")
    lib.XXH64.restype = ctypes.c_uint64
    lib.XXH64.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint64]
    return lib.XXH64(data, len(data), 0)


def main(argv):
    ca = None
    if len(argv) > 1 and argv[1] == "--tls":
        ca = argv[2]
        argv = argv[:1] + argv[3:]
    if len(argv) != 7:
        sys.exit(__doc__)
    host, port, user, password, path, remote = argv[1:]
    data = open(path, "rb").read()
    sock = socket.create_connection((host, int(port)), timeout=10)
    if ca:
        context = ssl.create_default_context(cafile=ca)
        context.check_hostname = False  # the check's certificate names no host
        sock = context.wrap_socket(sock)
    stream = sock.makefile("rwb")

    def command(line, expect):
        stream.write(line.encode() + b"\n")
        stream.flush()
        reply = stream.readline().decode().rstrip("\n")
        if not reply.startswith(expect):
            sys.exit(f"{line.split()[0]}: {reply!r}, expected {expect!r}")
        return reply

    quote = lambda text: urllib.parse.quote(text, safe="/")
    command("HELLO OVT/1", "OK OVT/1")
    command(f"LOGIN {quote(user)} {quote(password)}", "OK")
    command(f"PUT {quote(remote)} {len(data)}", "OK")
    command("FROM 0", "OK 0")
    stream.write(data)
    checksum = f"{xxh64(data):016x}"
    command(f"END {checksum}", f"OK {len(data)} {checksum}")
    command("BYE", "OK")
    print(f"uploaded {len(data)} bytes as {remote} ({checksum})")


if __name__ == "__main__":
    main(sys.argv)
