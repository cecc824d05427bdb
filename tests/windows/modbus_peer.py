#!/usr/bin/env python3
# The Linux-side Modbus TCP client of the Windows listener check: starts the command
# given (modbus_check.exe under Wine), reads its port, then reads holding registers as
# a plant client would and misbehaves as a hostile one would. Prints one line per failed
# check; exit code 0 when all passed and the program ended by the stop request.
#   modbus_peer.py <command...>
import socket, struct, subprocess, sys, time

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what, flush=True)


# MBAP header: transaction id, protocol 0, length (unit id + PDU), unit id.
def request(tid, pdu, unit=1):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def read_holding(tid, start, count):
    return request(tid, struct.pack(">BHH", 3, start, count))


def expected_read(tid, start, count):
    # Wire address + 1 is the register number; register N reads as N * 3.
    values = [((start + 1 + i) * 3) & 0xFFFF for i in range(count)]
    pdu = struct.pack(">BB", 3, 2 * count) + struct.pack(">%dH" % count, *values)
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, 1) + pdu


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    s.settimeout(20)
    return s


def recv_exact(s, n):
    out = b""
    while len(out) < n:
        try:
            part = s.recv(n - len(out))
        except (ConnectionResetError, socket.timeout):
            break
        if not part:
            break
        out += part
    return out


def closed_by_server(s):
    """True once the server ends the connection (end of stream or reset)."""
    try:
        return s.recv(64) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def ask(s, tid):
    """A read of one register on `s`; True when it was answered rightly."""
    try:
        s.sendall(read_holding(tid, 9, 1))
    except OSError:
        return False
    return recv_exact(s, len(expected_read(tid, 9, 1))) == expected_read(tid, 9, 1)


def connect_when_free(port):
    """A served connection: the server sees the end of earlier ones in its own time, and
    until then it refuses new ones over its bound."""
    for attempt in range(200):
        s = connect(port)
        if ask(s, 100 + attempt % 100):
            return s
        s.close()
        time.sleep(0.1)
    raise RuntimeError("no free connection slot")


def main():
    proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline().strip()
    if not line.startswith("port "):
        print("FAILED: no port line, got %r" % line)
        proc.kill()
        return 1
    port = int(line.split()[1])

    # Reads: one request, then two pipelined in one send.
    a = connect(port)
    a.sendall(read_holding(1, 99, 4))
    got = recv_exact(a, len(expected_read(1, 99, 4)))
    check(got == expected_read(1, 99, 4), "read of registers 100..103: %r" % got)
    both = expected_read(2, 0, 1) + expected_read(3, 1000, 10)
    a.sendall(read_holding(2, 0, 1) + read_holding(3, 1000, 10))
    got = recv_exact(a, len(both))
    check(got == both, "two pipelined reads: %r" % got)

    # The bound of 2 connections: with a and b served, a third is closed at once (a asks
    # again first, so that its idle time cannot have closed it meanwhile).
    b = connect(port)
    check(ask(b, 4), "second connection served")
    check(ask(a, 5), "first connection served again")
    c = connect(port)
    check(closed_by_server(c), "third connection closed at once")
    for s in (a, b, c):
        s.close()

    # A request followed by the client's half-close is answered, then the server ends too.
    h = connect_when_free(port)
    h.sendall(read_holding(5, 7, 3))
    h.shutdown(socket.SHUT_WR)
    check(recv_exact(h, len(expected_read(5, 7, 3))) == expected_read(5, 7, 3), "answer after a half-close")
    check(closed_by_server(h), "connection ended after the half-close")
    h.close()

    # Framing lost (a length field no request has): the connection ends.
    bad = connect_when_free(port)
    bad.sendall(struct.pack(">HHH", 6, 0, 60000) + b"\x01\x03")
    check(closed_by_server(bad), "broken length field closes the connection")
    bad.close()

    # Half a request and then silence: closed after the idle time.
    slow = connect_when_free(port)
    slow.sendall(read_holding(7, 0, 1)[:5])
    check(closed_by_server(slow), "trickling client closed after the idle time")
    slow.close()

    a = connect_when_free(port)
    # Stop: a write of register 9999 (wire address 9998).
    a.sendall(request(9, struct.pack(">BHH", 6, 9998, 1)))
    try:
        code = proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        code = None
    a.close()
    rest = proc.stdout.read()
    check(code == 0, "program ended by the stop request (exit code %r) %s" % (code, rest.strip()))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
