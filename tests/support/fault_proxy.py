"""A TCP proxy on loopback that breaks the engine's connections to the receiver on purpose.

usage: fault_proxy.py TARGET_PORT STATE_DIR [--cut-every N] [--stall-at N SECONDS]
                      [--refuse SECONDS] [--vanish-at N] [--window BYTES] [--lifetime SECONDS]

--cut-every N    breaks a connection after it forwarded N bytes from the client: the client
                 is reset, the receiver's side closed after those bytes
--stall-at N S   once, when N bytes have been forwarded from clients in all, forwards
                 nothing from that client for S seconds, then goes on
--refuse S       after the first cut, refuses connections for S seconds (no listener)
--vanish-at N    once, when N bytes have been forwarded in all, stops forwarding both ways
                 on that connection and reads nothing more from either side, yet closes
                 neither for as long as the proxy runs: a path that vanished without a close
--window BYTES   the receive buffer of each client connection (SO_RCVBUF): what a client
                 can send into a stalled or vanished path, besides its own send buffer,
                 before its send waits (unset, the kernel grows it up to tcp_rmem's largest)
--lifetime S     ends the proxy after S seconds in any case (default 120)

A file named "cut" that appears in STATE_DIR cuts every open connection at once (the file is
removed). Each connection's end is appended to STATE_DIR/events as a line
"ended forwarded=B reason=R" (B: bytes forwarded from the client; R: close, cut or vanish;
a vanished connection ends there for the proxy, though both its sockets stay open).
Prints "proxy ready port=N" once it listens.
"""
import os
import socket
import struct
import sys
import threading
import time

args = sys.argv[1:]
target = int(args.pop(0))
state = args.pop(0)
cut_every = stall_at = vanish_at = None
stall_seconds = refuse_seconds = 0.0
window = None
lifetime = 120.0
while args:
    option = args.pop(0)
    if option == "--cut-every":
        cut_every = int(args.pop(0))
    elif option == "--stall-at":
        stall_at, stall_seconds = int(args.pop(0)), float(args.pop(0))
    elif option == "--refuse":
        refuse_seconds = float(args.pop(0))
    elif option == "--vanish-at":
        vanish_at = int(args.pop(0))
    elif option == "--window":
        window = int(args.pop(0))
    elif option == "--lifetime":
        lifetime = float(args.pop(0))
    else:
        sys.exit("unknown option " + option)

lock = threading.Lock()
total = 0  # bytes forwarded from clients, all connections
stalled = vanished = refused = False
refuse_now = threading.Event()
live = set()
silent = []  # vanished links: their sockets stay open while the proxy runs


def note(line):
    with lock, open(os.path.join(state, "events"), "a") as f:
        f.write(line + "\n")


class Link:
    def __init__(self, client, upstream):
        self.client, self.upstream = client, upstream
        # A path of the network passes each segment on as it comes: no coalescing of replies.
        for s in (client, upstream):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.forwarded = 0
        self.reason = "close"
        self.ended = threading.Event()

    def end(self, reason):
        """Marks the link ended; False when it already was."""
        with lock:
            if self.ended.is_set():
                return False
            self.reason = reason
            self.ended.set()
            return True

    def cut(self, reason):
        if not self.end(reason):
            return
        for s in (self.client, self.upstream):
            try:
                # The client is reset, as by a broken path; the receiver keeps every byte
                # that passed the break and then sees the connection end.
                if reason != "close" and s is self.client:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.shutdown(socket.SHUT_RDWR)  # wakes the other direction's blocked read
            except OSError:
                pass
            s.close()

    def upward(self):
        global total, stalled, vanished
        try:
            while not self.ended.is_set():
                data = self.client.recv(65536)
                if not data:
                    break
                if cut_every is not None and self.forwarded + len(data) >= cut_every:
                    data = data[: cut_every - self.forwarded]
                    self.upstream.sendall(data)
                    self.count(len(data))
                    self.cut("cut")
                    if refuse_seconds and not refused:
                        refuse_now.set()
                    return
                with lock:
                    stall = stall_at is not None and not stalled and total + len(data) >= stall_at
                    stalled = stalled or stall
                    vanish = vanish_at is not None and not vanished and total + len(data) >= vanish_at
                    vanished = vanished or vanish
                if vanish:
                    if self.end("vanish"):  # a cut on demand does not close it either
                        silent.append(self)
                    return
                if stall:
                    time.sleep(stall_seconds)
                self.upstream.sendall(data)
                self.count(len(data))
        except OSError:
            pass
        self.cut("close")

    def downward(self):
        try:
            while not self.ended.is_set():
                data = self.upstream.recv(65536)
                if not data or self.reason == "vanish":
                    break
                self.client.sendall(data)
        except OSError:
            pass
        self.cut("close")  # does nothing to a vanished link

    def count(self, n):
        global total
        with lock:
            total += n
            self.forwarded += n

    def run(self):
        back = threading.Thread(target=self.downward, daemon=True)
        back.start()
        self.upward()
        if self.reason != "vanish":  # nothing ends a vanished link's reader
            back.join(timeout=5)
        note("ended forwarded=%d reason=%s" % (self.forwarded, self.reason))
        with lock:
            live.discard(self)


def serve(client):
    try:
        upstream = socket.create_connection(("127.0.0.1", target), timeout=10)
        upstream.settimeout(None)
    except OSError as e:
        note("upstream failed: %s" % e)
        client.close()
        return
    link = Link(client, upstream)
    with lock:
        live.add(link)
    link.run()


def watch_cut_requests():
    request = os.path.join(state, "cut")
    while True:
        if os.path.exists(request):
            os.remove(request)
            with lock:
                links = list(live)
            for link in links:
                link.cut("cut")
        time.sleep(0.02)


def listen(port):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if window:  # accepted connections take it over, before their window is agreed
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    listener.settimeout(0.05)
    return listener


threading.Thread(target=watch_cut_requests, daemon=True).start()
listener = listen(0)
port = listener.getsockname()[1]
open(os.path.join(state, "events"), "a").close()
print("proxy ready port=%d" % port, flush=True)
deadline = time.time() + lifetime
while time.time() < deadline:
    if refuse_now.is_set() and not refused:
        refused = True
        listener.close()
        note("refusing for %.1f s" % refuse_seconds)
        time.sleep(refuse_seconds)
        listener = listen(port)
    try:
        connection, _ = listener.accept()
    except socket.timeout:
        continue
    connection.settimeout(None)
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
