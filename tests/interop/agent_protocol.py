"""Drives ofagentd --listen with raw OpenFlow bytes and checks each answer: version negotiation
(a hello of another version, with or without a version bitmap), what the codec cannot decode
answered with an OFPT_ERROR carrying the start of the offending message, the raw answers (echo
of any length, barrier, get-config) mirroring the request, packet-out read from the raw bytes,
and the vendor tunnel table answering in address order. Usage: agent_protocol.py PORT"""
import socket
import struct
import sys

from hostile_peer import Stream

FAILED = 0
XID = 100


def check(what, cond):
    global FAILED
    print(("ok   - " if cond else "FAIL - ") + what, flush=True)
    if not cond:
        FAILED = 1


def msg(type_, body=b"", xid=None, length=None, version=4):
    global XID
    if xid is None:
        XID += 1
        xid = XID
    n = 8 + len(body) if length is None else length
    return struct.pack("!BBHI", version, type_, n, xid) + body


def bitmap(word):
    return struct.pack("!HHI", 1, 8, word)


class Conn(Stream):
    """A connection to the agent, its HELLO read and ours sent."""

    def __init__(self, port, hello=None):
        super().__init__(socket.create_connection(("127.0.0.1", port), timeout=5), None)
        self.hello = self.recv_msg()
        self.sock.sendall(msg(0) if hello is None else hello)

    def ask(self, m):
        self.sock.sendall(m)
        return self.recv_msg()

    def closed(self):
        try:
            return self.sock.recv(1) == b""
        except OSError:
            return True


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


def negotiation(port):
    c = Conn(port, hello=msg(0, bitmap(0x30), version=5))
    check("the agent opens with a 1.3 HELLO offering 1.3 in a version bitmap",
          c.hello[:4] == b"\x04\x00\x00\x10" and c.hello[8:] == bitmap(0x10))
    check("a peer offering 1.3 and 1.4 (hello version 5, bitmap 0x30) gets a session",
          c.ask(msg(5))[1] == 6)
    c = Conn(port, hello=msg(0, version=6))
    check("a hello of version 6 without a bitmap means 1.3 too", c.ask(msg(5))[1] == 6)

    # What leaves no common version: HELLO_FAILED/INCOMPATIBLE with a readable reason, then
    # the agent closes the connection. The error is in the peer's version when that is lower.
    for what, hello, version, reason in (
            ("a 1.3 hello whose bitmap lacks 1.3", msg(0, bitmap(0x02)), 4, b"bitmap 0x00000002 lacks it"),
            ("a 1.4-only peer (version 5, bitmap 0x20)", msg(0, bitmap(0x20), version=5), 4, b"lacks it"),
            ("an OpenFlow 1.0 hello", msg(0, version=1), 1, b"the peer supports version 0x01")):
        c = Conn(port, hello=hello)
        reply = c.recv_msg()
        err = error_of(reply)
        check("%s -> OFPT_ERROR HELLO_FAILED/INCOMPATIBLE (version %d) saying why" % (what, version),
              reply[0] == version and err is not None and err[:2] == (0, 0) and reason in err[2]
              and err[2].startswith(b"we support version 0x04") and reply[4:8] == hello[4:8])
        check("  ... and the agent closes the connection", c.closed())


def packet_out(c):
    def po(actions, in_port=1, buffer_id=0xffffffff, data=bytes(60)):
        return msg(13, struct.pack("!IIH6x", buffer_id, in_port, len(actions)) + actions + data)

    def output(port, max_len=0xffff):
        return struct.pack("!HHIH6x", 0, 16, port, max_len)

    # Accepted ones are answered by nothing: the echo right after gets the next reply.
    for what, m in (("output to port 2", po(output(2))),
                    ("flood", po(output(0xfffffffb))),
                    ("out of the ingress port", po(output(0xfffffff8))),
                    ("from the controller (in_port CONTROLLER) to ports 1 and 3",
                     po(output(1) + output(3), in_port=0xfffffffd))):
        c.sock.sendall(m)
        check("packet-out %s is done without an error" % what, c.ask(msg(2))[1] == 3)
    expect_error(c, "packet-out naming a buffer (the agent keeps none)", po(output(2), buffer_id=7), 1, 8)
    expect_error(c, "packet-out from a port that does not exist", po(output(2), in_port=9), 1, 11)
    expect_error(c, "packet-out to a port that does not exist", po(output(9)), 2, 4)
    expect_error(c, "packet-out to the flow table (OFPP_TABLE)", po(output(0xfffffff9)), 2, 4)
    expect_error(c, "packet-out with a set-field action", po(struct.pack("!HH4x", 25, 8)), 2, 0)
    expect_error(c, "packet-out with an action of length 12", po(struct.pack("!HHI4x", 0, 12, 2)), 2, 1)
    expect_error(c, "packet-out whose actions run past the message",
                 msg(13, struct.pack("!IIH6x", 0xffffffff, 1, 64) + output(2)), 1, 6)


def main(port):
    negotiation(port)
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

    c.sock.sendall(msg(9, struct.pack("!HH", 1, 200)))
    reply = c.ask(msg(7))
    check("set-config, then get-config -> flags 1, miss_send_len 200",
          reply[1] == 8 and struct.unpack("!HH", reply[8:12]) == (1, 200))

    packet_out(c)
    expect_error(c, "group-mod (no receive step)", msg(15, bytes(8)), 1, 1)
    expect_error(c, "a 300-byte group-mod: the error carries its first 256 bytes",
                 msg(15, bytes(292)), 1, 1, data_len=256)
    expect_error(c, "table-features multipart request",
                 msg(18, struct.pack("!HH4x", 12, 0)), 1, 2)
    # A truncated error is not answered: an error never answers an error.
    c.sock.sendall(msg(1, b"\x00\x01"))
    check("an error message of 10 bytes gets no answer", c.ask(msg(2))[1] == 3)
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
