"""N peers connect at once to an OpenFlow listener (ofagentd --listen) on loopback. Each, like a
real OpenFlow peer, sends its HELLO and an echo request as soon as its connect completes, and
waits for the listener's HELLO and echo reply. Prints the median and worst time from connect
to the listener's HELLO, how many peers waited 1 s or more (a dropped handshake is retried
after 1 s), how many were served (echo answered) and how many refused (closed or reset);
then closes every connection. Exits 1 if a peer had neither answer within --within seconds.

Usage: listen_burst.py PORT N [--within SECONDS]"""
import argparse
import errno
import selectors
import socket
import struct
import sys
import time

HELLO_ECHO = struct.pack("!BBHI", 4, 0, 8, 1) + struct.pack("!BBHI", 4, 2, 16, 2) + b"burst-ok"


class Peer:
    def __init__(self, port):
        self.sock = socket.socket()
        self.sock.setblocking(False)
        self.buf = b""
        self.hello = None  # seconds from connect to the listener's HELLO
        self.served = self.refused = False
        self.t0 = time.monotonic()
        self.sock.connect_ex(("127.0.0.1", port))

    def writable(self):
        """The connect completed: HELLO and echo request (both fit any socket buffer)."""
        try:
            self.sock.send(HELLO_ECHO)
        except OSError:
            self.refused = True

    def readable(self):
        try:
            data = self.sock.recv(4096)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            data = b"" if e.errno in (errno.ECONNRESET, errno.EPIPE) else None
            if data is None:
                raise
        if not data:
            self.refused = True
            return
        self.buf += data
        if self.hello is None and len(self.buf) >= 8:
            self.hello = time.monotonic() - self.t0
            self.buf = self.buf[struct.unpack("!H", self.buf[2:4])[0]:]
        if self.hello is not None and len(self.buf) >= 16:
            self.served = self.buf[1] == 3 and self.buf[8:16] == b"burst-ok"
            self.refused = not self.served

    def done(self):
        return self.served or self.refused


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("n", type=int)
    ap.add_argument("--within", type=float, default=60)
    a = ap.parse_args()
    sel = selectors.DefaultSelector()
    peers = [Peer(a.port) for _ in range(a.n)]
    for p in peers:
        sel.register(p.sock, selectors.EVENT_WRITE, p)
    deadline = time.monotonic() + a.within
    waiting = a.n
    while waiting and time.monotonic() < deadline:
        for key, events in sel.select(timeout=0.5):
            p = key.data
            if events & selectors.EVENT_WRITE:
                p.writable()
                if not p.done():
                    sel.modify(p.sock, selectors.EVENT_READ, p)
            else:
                p.readable()
            if p.done():
                sel.unregister(p.sock)
                waiting -= 1
    for p in peers:
        p.sock.close()
    times = sorted(p.hello for p in peers if p.hello is not None)
    mid = len(times) // 2
    median = (times[mid] if len(times) % 2 else (times[mid - 1] + times[mid]) / 2) if times else 0
    print("%d peers: %d served, %d refused, %d without an answer; time to HELLO median %.1f ms, "
          "worst %.1f ms; %d waited 1 s or more"
          % (a.n, sum(p.served for p in peers), sum(p.refused for p in peers), waiting,
             median * 1000, (times[-1] if times else 0) * 1000, sum(t >= 1 for t in times)),
          flush=True)
    return 1 if waiting else 0


if __name__ == "__main__":
    sys.exit(main())
