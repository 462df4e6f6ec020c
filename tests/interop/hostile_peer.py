"""A controller that misbehaves, for ofagentd --controller over plain TCP or TLS. It accepts the
agent's connections one after another and plays one scenario on each; every scenario first
completes the session (HELLO, FEATURES_REQUEST answered), then:
  normal     echo requests of 16 and 24 bytes (answered raw and through the codec), then a
             clean close (close_notify under TLS)
  hold       prints "holding N" and keeps the session a second (time to look at the agent),
             then closes it cleanly
  garbage    bytes that are no TLS record, or no OpenFlow header: the agent must close
  truncated  half a TLS record, or half an OpenFlow message, then silence: the agent must drop
             the connection once its echo timeout (--echo-interval) has passed
  midclose   half a record or message, then close: the agent must come back
  oversize   an OpenFlow length above the agent's receive buffer: the agent must close
  undersize  an OpenFlow length below the header's: the agent must close
  burst      1200 OpenFlow messages in one write: two TLS records, or one TCP segment; every
             one answered, in order (under TLS they wait inside wolfSSL, unseen by the socket)
Prints one line per connection and exits 1 if the agent ever answered wrongly or not in time.

Usage: hostile_peer.py PORT SCENARIO[,SCENARIO...] [--tls CERT KEY CA] [--echo-interval S]
One connection per scenario, in the order given."""
import argparse
import socket
import ssl
import struct
import sys
import time

SCENARIOS = ("normal", "hold", "garbage", "truncated", "midclose", "oversize", "undersize",
             "burst")
HELLO_13 = struct.pack("!BBHI", 4, 0, 16, 1) + struct.pack("!HHI", 1, 8, 0x10)


def msg(type_, xid, body=b"", length=None):
    return struct.pack("!BBHI", 4, type_, 8 + len(body) if length is None else length, xid) + body


class Stream:
    """One accepted connection; under TLS the records are made in memory, so a scenario can
    send a part of one, or bytes that are no record at all, on the raw socket."""

    def __init__(self, sock, ctx):
        self.sock = sock
        self.buf = b""
        self.tls = None
        if ctx is not None:
            self.inc, self.out = ssl.MemoryBIO(), ssl.MemoryBIO()
            self.tls = ctx.wrap_bio(self.inc, self.out, server_side=True)
            while True:
                try:
                    self.tls.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    self._pump()
            self._flush()

    def _flush(self):
        data = self.out.read()
        if data:
            self.sock.sendall(data)

    def _pump(self):
        self._flush()
        data = self.sock.recv(65536)
        if not data:
            raise EOFError("the agent closed the connection")
        self.inc.write(data)

    def wire(self, plain):
        """The bytes that carry plain on the wire: one TLS record (plain < 16 KiB) or itself."""
        if self.tls is None:
            return plain
        self.tls.write(plain)
        return self.out.read()

    def send(self, plain):
        self.sock.sendall(self.wire(plain))

    def recv_msg(self):
        while len(self.buf) < 8 or len(self.buf) < struct.unpack("!H", self.buf[2:4])[0]:
            if self.tls is None:
                data = self.sock.recv(65536)
                if not data:
                    raise EOFError("the agent closed the connection")
            else:
                try:
                    data = self.tls.read(65536)
                except ssl.SSLWantReadError:
                    self._pump()
                    continue
                except ssl.SSLZeroReturnError:
                    raise EOFError("the agent closed the session")
            self.buf += data
        n = struct.unpack("!H", self.buf[2:4])[0]
        m, self.buf = self.buf[:n], self.buf[n:]
        return m

    def expect(self, type_):
        """The next message of type_, skipping the agent's own echo requests."""
        while True:
            m = self.recv_msg()
            if m[1] == type_:
                return m
            if m[1] != 2:
                raise ValueError("expected type %d, got type %d" % (type_, m[1]))

    def closed_within(self, seconds):
        """True when the agent closes the connection within seconds (raw bytes are discarded:
        after garbage the TLS stream cannot be read)."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.sock.settimeout(left)
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                return False
            except ConnectionResetError:
                return True

    def close(self, clean=True):
        if clean and self.tls is not None:
            try:
                self.tls.unwrap()
            except ssl.SSLError:
                pass
            self._flush()
        self.sock.close()


def session(s):
    hello = s.recv_msg()
    if hello[:2] != b"\x04\x00":
        raise ValueError("the agent did not open with a 1.3 HELLO")
    s.send(HELLO_13 + msg(5, 2))
    s.expect(6)


def burst(s):
    # Echo requests with a payload (answered from the raw bytes), in the codec's 24-byte form,
    # and header-only barriers: 19 KiB, so that a message straddles the two records.
    kinds = ((2, b"12345678", 3), (2, bytes(16), 3), (20, b"", 21))
    sent = [(kinds[i % 3], 1000 + i) for i in range(1200)]
    s.send(b"".join(msg(k[0], xid, k[1]) for k, xid in sent))
    for k, xid in sent:
        m = s.expect(k[2])
        if m[4:8] != struct.pack("!I", xid) or m[8:] != k[1]:
            return "reply to xid %d is wrong" % xid
    return None


def play(name, s, echo_interval, serial):
    """None when the agent behaved, else what went wrong."""
    def half():  # of a 100-byte message, or of its record (which takes a TLS sequence number)
        whole = s.wire(msg(2, 7, bytes(92)))
        return whole[: len(whole) // 2]

    if name == "normal":
        for payload in (b"ping-pon", b"ping-pong-ping-p"):
            m = msg(2, 3, payload)
            s.send(m)
            if s.expect(3)[2:] != m[2:]:
                return "the echo reply of %d bytes differs" % len(m)
        s.close()
        return None
    if name == "hold":
        print("holding %d" % serial, flush=True)
        time.sleep(1)
        s.close()
        return None
    if name == "burst":
        why = burst(s)
        s.close()
        return why
    if name == "midclose":
        s.sock.sendall(half())
        s.close(clean=False)
        return None
    if name == "garbage":
        s.sock.sendall(bytes(range(7, 71)) if s.tls else b"\xff" * 64)
        limit = 5
    elif name == "truncated":
        s.sock.sendall(half())
        limit = 3 * echo_interval + 3
    elif name == "oversize":
        s.send(msg(2, 8, bytes(100), length=65535))
        limit = 5
    else:  # undersize
        s.send(msg(2, 9, length=4))
        limit = 5
    ok = s.closed_within(limit)
    s.close(clean=False)
    return None if ok else "the agent kept the connection %d s" % limit


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("scenarios")
    ap.add_argument("--tls", nargs=3, metavar=("CERT", "KEY", "CA"))
    ap.add_argument("--echo-interval", type=int, default=1)
    a = ap.parse_args()
    ctx = None
    if a.tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(a.tls[0], a.tls[1])
        ctx.load_verify_locations(a.tls[2])
        ctx.verify_mode = ssl.CERT_REQUIRED
    names = a.scenarios.split(",")
    for name in names:
        if name not in SCENARIOS:
            ap.error("%s: not a scenario" % name)
    lsock = socket.socket()
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind(("127.0.0.1", a.port))
    lsock.listen(4)
    lsock.settimeout(15)
    print("listening", flush=True)
    failed = 0
    for i, name in enumerate(names):
        try:
            conn, _ = lsock.accept()
        except socket.timeout:
            print("FAIL - connection %d (%s): the agent did not come back" % (i + 1, name))
            return 1
        conn.settimeout(10)
        try:
            s = Stream(conn, ctx)
            session(s)
            why = play(name, s, a.echo_interval, i + 1)
        except (OSError, EOFError, ValueError, ssl.SSLError) as e:
            why = "%s: %s" % (type(e).__name__, e)
            conn.close()
        print("%s - connection %d (%s)%s" % ("FAIL" if why else "ok  ", i + 1, name,
                                              ": " + why if why else ""), flush=True)
        failed |= why is not None
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
