"""A small HTTPS server for the snapshot posts' TLS test.

Serves two ports: one with the certificate the test trusts, one with a certificate nobody
trusts. A POST whose target starts with /tls?$dur$= gets an empty answer (success for the
client); anything else gets a longer one. The ports go to DIR/ports once both listen.
"""
import os
import socket
import ssl
import sys
import threading

folder = sys.argv[1]


def serve(connection):
    try:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(65536)
            if not chunk:
                return
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        while len(body) < length:
            chunk = connection.recv(65536)
            if not chunk:
                return
            body += chunk
        request_line = head.split(b"\r\n")[0].split(b" ")
        good = request_line[0] == b"POST" and request_line[1].startswith(b"/tls?$dur$=")
        reply = b"" if good else b"WRONG " + request_line[1]
        connection.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s"
                           % (len(reply), reply))
    except (OSError, ssl.SSLError):
        pass
    finally:
        connection.close()


def listen(name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(f"{folder}/{name}.pem", f"{folder}/{name}.key")
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def accept_loop():
        while True:
            raw, _ = listener.accept()
            try:
                raw.settimeout(20)
                connection = context.wrap_socket(raw, server_side=True)
            except (OSError, ssl.SSLError):
                raw.close()
                continue
            threading.Thread(target=serve, args=(connection,), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    return listener.getsockname()[1]


ports = [listen("trusted"), listen("untrusted")]
with open(f"{folder}/ports.tmp", "w") as f:
    f.write(" ".join(map(str, ports)))
os.replace(f"{folder}/ports.tmp", f"{folder}/ports")
threading.Event().wait()
