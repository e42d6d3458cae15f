"""What a hospital network throws at a provider besides honest senders, in turns until the
given number of seconds is over: connections that stay silent, a truncated association
request, a P-DATA-TF announcing more than any maximum PDU, a store aborted in the middle of its
data set, and a flood of association requests beyond what the provider serves at once. Prints
how many of each it did. Standard library only.

usage: soak_hostile.py HOST PORT SECONDS [FLOOD=40]
"""
import socket
import struct
import sys
import time

VERIFICATION = b"1.2.840.10008.1.1"
CT_IMAGE = b"1.2.840.10008.5.1.4.1.1.2"
IMPLICIT = b"1.2.840.10008.1.2"
APPLICATION_CONTEXT = b"1.2.840.10008.3.1.1.1"


def item(kind, body):
    return struct.pack(">BBH", kind, 0, len(body)) + body


def even(uid):
    return uid + b"\0" if len(uid) % 2 else uid


def associate_rq(abstract):
    context = item(0x20, bytes([1, 0, 0, 0]) + item(0x30, abstract) + item(0x40, IMPLICIT))
    user = item(0x50, item(0x51, struct.pack(">I", 16384)) + item(0x52, b"1.2.3.4"))
    body = (struct.pack(">HH", 1, 0) + b"STORESCP".ljust(16) + b"HOSTILE".ljust(16) + bytes(32)
            + item(0x10, APPLICATION_CONTEXT) + context + user)
    return struct.pack(">BBI", 0x01, 0, len(body)) + body


def element(group, elem, value):
    return struct.pack("<HHI", group, elem, len(value)) + value


def store_command():
    elements = (element(0, 0x0002, even(CT_IMAGE)) + element(0, 0x0100, struct.pack("<H", 1))
                + element(0, 0x0110, struct.pack("<H", 1)) + element(0, 0x0700, bytes(2))
                + element(0, 0x0800, struct.pack("<H", 0x0000))
                + element(0, 0x1000, even(b"1.2.3.4.5.6.7")))
    return element(0, 0x0000, struct.pack("<I", len(elements))) + elements


def pdata(context, header, data):
    pdv = struct.pack(">IBB", len(data) + 2, context, header) + data
    return struct.pack(">BBI", 0x04, 0, len(pdv)) + pdv


def connect(host, port):
    s = socket.create_connection((host, port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def associated(host, port, abstract):
    s = connect(host, port)
    s.sendall(associate_rq(abstract))
    answer = s.recv(6)
    if len(answer) < 6 or answer[0] != 0x02:
        s.close()
        return None
    length = struct.unpack(">I", answer[2:6])[0]
    while length > 0:
        chunk = s.recv(min(length, 65536))
        if not chunk:
            break
        length -= len(chunk)
    return s


def main():
    host, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    flood = int(sys.argv[4]) if len(sys.argv) > 4 else 40
    done = {"idle": 0, "truncated": 0, "oversized": 0, "aborted": 0, "flood": 0}
    idle = []
    end = time.time() + seconds
    turn = 0
    while time.time() < end:
        kind = turn % 5
        turn += 1
        try:
            if kind == 0:
                # Silent connections, kept until the next turn of their kind.
                for s in idle:
                    s.close()
                idle = [connect(host, port) for _ in range(3)]
                done["idle"] += 3
            elif kind == 1:
                s = connect(host, port)
                rq = associate_rq(VERIFICATION)
                s.sendall(rq[: len(rq) // 2])
                s.close()
                done["truncated"] += 1
            elif kind == 2:
                s = associated(host, port, VERIFICATION)
                if s:
                    s.sendall(struct.pack(">BBI", 0x04, 0, 0xFFFFFFF0) + bytes(64))
                    s.settimeout(5)
                    try:
                        s.recv(16)
                    except OSError:
                        pass
                    s.close()
                    done["oversized"] += 1
            elif kind == 3:
                s = associated(host, port, CT_IMAGE)
                if s:
                    s.sendall(pdata(1, 0x03, store_command()))
                    s.sendall(pdata(1, 0x00, element(0x0008, 0x0016, even(CT_IMAGE)) + bytes(1000)))
                    s.sendall(struct.pack(">BBIBBBB", 0x07, 0, 4, 0, 0, 0, 0))
                    s.close()
                    done["aborted"] += 1
            else:
                # Beyond the backlog the kernel drops the connections: each counts once made.
                waiting = []
                try:
                    for _ in range(flood):
                        s = connect(host, port)
                        s.sendall(associate_rq(VERIFICATION))
                        waiting.append(s)
                        done["flood"] += 1
                    time.sleep(0.5)
                finally:
                    for s in waiting:
                        s.close()
        except OSError as e:
            print("hostile: turn %d (%s): %s" % (turn, kind, e), file=sys.stderr)
        time.sleep(0.2)
    for s in idle:
        s.close()
    print(" ".join("%s %d" % kv for kv in done.items()))


if __name__ == "__main__":
    main()
