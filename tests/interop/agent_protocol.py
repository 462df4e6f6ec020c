"""Drives ofagentd --listen with raw OpenFlow 1.3 bytes and checks each answer: what the codec
cannot decode is answered with an OFPT_ERROR carrying the start of the offending message, the
raw answers (echo of any length, barrier, get-config) mirror the request, and the vendor tunnel
table answers in address order. Usage: agent_protocol.py PORT"""
import socket
import struct
import sys

FAILED = 0
XID = 100


def check(what, cond):
    global FAILED
    print(("ok   - " if cond else "FAIL - ") + what, flush=True)
    if not cond:
        FAILED = 1


def msg(type_, body=b"", xid=None, length=None):
    global XID
    if xid is None:
        XID += 1
        xid = XID
    n = 8 + len(body) if length is None else length
    return struct.pack("!BBHI", 4, type_, n, xid) + body


class Conn:
    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=5)
        hello = self.recv()
        check("the agent opens with HELLO", hello[1] == 0)
        self.s.sendall(msg(0))

    def recv(self):
        hdr = self._exact(8)
        return hdr + self._exact(struct.unpack("!H", hdr[2:4])[0] - 8)

    def _exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.s.recv(n - len(data))
            if not chunk:
                raise EOFError("connection closed")
            data += chunk
        return data

    def ask(self, m):
        self.s.sendall(m)
        return self.recv()


def error_of(reply):
    if reply[1] != 1 or len(reply) < 12:
        return None
    etype, code = struct.unpack("!HH", reply[8:12])
    return etype, code, reply[12:]


def expect_error(c, what, request, etype, code, data_len=None):
    reply = c.ask(request)
    err = error_of(reply)
    ok = err is not None and err[0] == etype and err[1] == code
    want = request[: data_len if data_len is not None else len(request)]
    check("%s -> OFPT_ERROR %d/%d with the request's bytes" % (what, etype, code),
          ok and err[2] == want and reply[4:8] == request[4:8])


def main(port):
    c = Conn(port)

    # Echo of every length: 8 and 40 bytes raw, 24 bytes through the codec.
    for n in (8, 24, 40):
        payload = bytes(range(n - 8))
        req = msg(2, payload)
        reply = c.ask(req)
        check("echo request of %d bytes -> echo reply with the same xid and payload" % n,
              reply[1] == 3 and reply[2:] == req[2:])

    req = msg(20)
    reply = c.ask(req)
    check("barrier -> barrier reply with the same xid", reply[:2] == b"\x04\x15" and reply[4:8] == req[4:8])

    c.s.sendall(msg(9, struct.pack("!HH", 1, 200)))
    reply = c.ask(msg(7))
    check("set-config, then get-config -> flags 1, miss_send_len 200",
          reply[1] == 8 and struct.unpack("!HH", reply[8:12]) == (1, 200))

    expect_error(c, "hello whose version bitmap lacks 1.3",
                 msg(0, struct.pack("!HHI", 1, 8, 0x02)), 0, 0)
    expect_error(c, "packet-out (no receive step)", msg(13, bytes(16)), 1, 1)
    long_po = msg(13, bytes(292))
    expect_error(c, "a 300-byte packet-out: the error carries its first 256 bytes",
                 long_po, 1, 1, data_len=256)
    expect_error(c, "table-features multipart request",
                 msg(18, struct.pack("!HH4x", 12, 0)), 1, 2)
    expect_error(c, "error message of 10 bytes (short)", msg(1, b"\x00\x01"), 1, 6)
    expect_error(c, "set-config of 8 bytes", msg(9), 1, 6)
    expect_error(c, "experimenter with a foreign id",
                 msg(4, struct.pack("!II", 0x2320, 0)), 1, 3)
    expect_error(c, "packet-in sent to a switch",
                 msg(10, struct.pack("!IHBBQ", 0xffffffff, 0, 0, 0, 0) + struct.pack("!HH4x", 1, 4) + bytes(2)),
                 1, 1)

    def flow_mod(table_id, insts):
        fixed = struct.pack("!QQBBHHHIIIH2x", 0, 0, table_id, 0, 0, 0, 10,
                            0xffffffff, 0xffffffff, 0xffffffff, 0)
        return msg(14, fixed + struct.pack("!HH4x", 1, 4) + insts)

    output = struct.pack("!HHIH6x", 0, 16, 2, 0)
    expect_error(c, "flow-mod for table 5 (the agent has one table)",
                 flow_mod(5, struct.pack("!HH4x", 4, 24) + output), 5, 9)
    bad = c.ask(flow_mod(0, struct.pack("!HHB3x", 1, 8, 1)))  # goto-table: not supported
    err = error_of(bad)
    check("flow-mod with a goto-table instruction -> an OFPT_ERROR", err is not None and err[0] != 0)

    # Vendor tunnel table: add two, list them (address order), remove one.
    def tunnel(opcode, index=None, ip=None):
        body = struct.pack("!IIB7x", 0x004D2A91, 0, opcode)
        if index is not None:
            body += struct.pack("!II", index, ip)
        return msg(4, body)

    c.ask(tunnel(1, 9, 0x0a000009))
    reply = c.ask(tunnel(1, 3, 0x0a000003))
    entries = [struct.unpack("!II", reply[16 + 8 * i: 24 + 8 * i]) for i in range((len(reply) - 16) // 8)]
    check("tunnel requests -> a tunnel reply listing both tunnels in address order",
          reply[1] == 4 and struct.unpack("!II", reply[8:16]) == (0x004D2A91, 1)
          and entries == [(3, 0x0a000003), (9, 0x0a000009)])
    reply = c.ask(tunnel(2, 9, 0x0a000009))
    check("removing a tunnel -> the list without it", len(reply) == 24 and reply[16:24] == struct.pack("!II", 3, 0x0a000003))
    reply = c.ask(tunnel(1, 0, 0x0a000003))
    err = error_of(reply)
    check("a tunnel with index 0 is refused", err is not None and err[:2] == (1, 5))
    reply = c.ask(tunnel(0))
    check("  ... and the tunnel it named is kept", reply[16:24] == struct.pack("!II", 3, 0x0a000003))

    check("the connection is still up after all of it", c.ask(msg(2))[1] == 3)
    return FAILED


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1])))
