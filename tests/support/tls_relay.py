"""A relay on loopback between the engine and the receiver, for the TLS tests.

usage: tls_relay.py TARGET_PORT RECORD [CERT KEY [tls-upstream]]

Without CERT it passes bytes through untouched (what a listener on the path sees). With
CERT it ends TLS with that certificate, as a relay in the middle would, and talks to the
receiver in clear, or over TLS with tls-upstream (checking nothing). Every byte the client
sent, as the relay could read it, is appended to RECORD; a failed handshake adds a line
"handshake failed: ..." to RECORD.events. Prints "relay ready port=N" once it listens.
"""
import socket
import ssl
import sys
import threading

target = int(sys.argv[1])
record = sys.argv[2]
cert = sys.argv[3] if len(sys.argv) > 4 else None
key = sys.argv[4] if len(sys.argv) > 4 else None
tls_upstream = len(sys.argv) > 5 and sys.argv[5] == "tls-upstream"
lock = threading.Lock()


def note(path, data):
    with lock, open(path, "ab") as f:
        f.write(data)


def pump(source, sink, path):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            if path:
                note(path, data)
            sink.sendall(data)
    except (OSError, ssl.SSLError):
        pass
    finally:
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(client):
    try:
        client.settimeout(30)
        if cert:
            server_side = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            server_side.load_cert_chain(cert, key)
            try:
                client = server_side.wrap_socket(client, server_side=True)
            except (OSError, ssl.SSLError) as e:
                note(record + ".events", b"handshake failed: %s\n" % str(e).encode())
                client.close()
                return
        client.settimeout(None)
        upstream = socket.create_connection(("127.0.0.1", target))
        if tls_upstream:
            client_side = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            client_side.check_hostname = False
            client_side.verify_mode = ssl.CERT_NONE
            upstream = client_side.wrap_socket(upstream)
        back = threading.Thread(target=pump, args=(upstream, client, None), daemon=True)
        back.start()
        pump(client, upstream, record)
        back.join()
    except (OSError, ssl.SSLError) as e:
        note(record + ".events", b"relay failed: %s\n" % str(e).encode())
    finally:
        client.close()


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(16)
open(record, "ab").close()
print("relay ready port=%d" % listener.getsockname()[1], flush=True)
while True:
    connection, _ = listener.accept()
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
