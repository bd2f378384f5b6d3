#!/usr/bin/env python3
"""A second, independent peer of the reliable datagram protocol, written from the wire layout.

send PORT SIZE: links to 127.0.0.1:PORT, sends SIZE bytes ((i * 7 + 3) & 255) as one stream
message (one packet at a time, resending until acknowledged) and prints "sent N" once the
peer answers complete.
receive: binds 127.0.0.1 on a free port, prints "port P", accepts one link, acknowledges every
data packet, and prints "received SIZE CRC32" once the message is whole.
hostile PORT ADDRESS: from ADDRESS (another loopback address), asks 127.0.0.1:PORT for 64
channels and prints "accepted N", then on each channel it got sends what a careless or hostile
peer would: truncated and malformed packets, out-of-range indexes and counts, a message
announcing 64 MiB filled at scattered places, repeats, a flood of small complete messages and
messages it never finishes (the last one stays); it reads no answer and prints "flooded N" with
the datagrams sent.
load PORT [HOST]: asks HOST:PORT (default 127.0.0.1) for its load, up to 10 times, and prints
"load N" from the first answer that echoes the query's two free fields, or "no answer".
"""
import socket
import struct
import sys
import time
import zlib

HEADER = struct.Struct("<BBII")            # kind, sub, sender's channel, receiver's channel
DATA = struct.Struct("<BBIIBIIIH")         # + message number, ticket, count, index, length
ACK = struct.Struct("<BBIIBBI10I")         # + message number, complete, ticket, history


def send(port, size):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.5)
    peer = ("127.0.0.1", port)
    own = 0x5151
    for _ in range(10):
        s.sendto(HEADER.pack(1, 0, own, 0) + b"python peer", peer)
        try:
            reply = s.recv(2048)
            break
        except socket.timeout:
            continue
    kind, result, channel, echoed = HEADER.unpack_from(reply)
    code, = struct.unpack_from("<i", reply, 10)
    assert (kind, result, echoed, code, len(reply)) == (2, 1, own, 0, 14), reply
    message = bytes((i * 7 + 3) & 255 for i in range(size))
    count = max(1, (size + 1023) // 1024)
    ticket = 0
    complete = 0
    for index in range(1, count + 1):
        payload = message[(index - 1) * 1024:index * 1024]
        while True:
            ticket += 1
            s.sendto(DATA.pack(5, 1, own, channel, 9, ticket, count, index, len(payload)) + payload,
                     peer)
            try:
                ack = s.recv(2048)
            except socket.timeout:
                continue
            fields = ACK.unpack_from(ack)
            assert len(ack) == 56 and fields[0] == 6 and fields[2] == channel and fields[3] == own
            if fields[4] == 9 and fields[6] == ticket:
                complete = fields[5]
                break
    assert complete == 1
    print("sent", size, flush=True)


def load(port, host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.settimeout(0.3)
    for attempt in range(10):
        tag = 0x10203040 + attempt
        s.sendto(HEADER.pack(9, 0, tag, ~tag & 0xFFFFFFFF) + struct.pack("<i", 0), (host, port))
        try:
            reply = s.recv(2048)
        except (socket.timeout, ConnectionRefusedError):
            continue
        kind, sub, first, second = HEADER.unpack_from(reply)
        if (len(reply), kind, sub, first, second) == (14, 9, 1, tag, ~tag & 0xFFFFFFFF):
            print("load", struct.unpack_from("<i", reply, 10)[0], flush=True)
            return
    print("no answer", flush=True)


def receive():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(20)
    print("port", s.getsockname()[1], flush=True)
    own = 99
    peer_channel = 0
    parts = {}
    count = None
    history = [0] * 10
    while count is None or len(parts) < count:
        datagram, peer = s.recvfrom(8192)
        kind, sub, sender, receiver = HEADER.unpack_from(datagram)
        if kind == 1:
            peer_channel = sender
            s.sendto(HEADER.pack(2, 1, own, sender) + struct.pack("<i", 0), peer)
        elif kind == 5 and receiver == own:
            _, _, _, _, msg_no, ticket, total, index, length = DATA.unpack_from(datagram)
            count = total
            parts[index] = datagram[25:25 + length]
            done = 1 if len(parts) == count else 0
            s.sendto(ACK.pack(6, 0, own, sender, msg_no, done, ticket, *history), peer)
            history = history[1:] + [ticket]
        elif kind == 7 and receiver == own:
            s.sendto(HEADER.pack(8, 0, own, sender), peer)
    message = b"".join(parts[i] for i in range(1, count + 1))
    print("received", len(message), zlib.crc32(message), flush=True)


def hostile(port, address):
    peer = ("127.0.0.1", port)
    channels = []
    for i in range(64):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address, 0))
        s.settimeout(0.5)
        own = 0x7000 + i
        s.sendto(HEADER.pack(1, 0, own, 0) + b"hostile", peer)
        try:
            reply = s.recv(2048)
        except socket.timeout:
            s.close()
            continue
        kind, result, channel, _ = HEADER.unpack_from(reply)
        if kind == 2 and result == 1:
            channels.append((s, own, channel))
        else:
            s.close()
    print("accepted", len(channels), flush=True)

    sent = 0

    def raw(s, datagram):
        nonlocal sent
        try:
            s.sendto(datagram, peer)
            sent += 1
        except BlockingIOError:
            pass
        if sent % 32 == 0:
            time.sleep(0.0002)  # paced, so that the endpoint's socket buffer does not overflow

    def data(s, own, channel, kind, msg_no, ticket, count, index, payload, length=None):
        length = len(payload) if length is None else length
        raw(s, DATA.pack(5, kind, own, channel, msg_no, ticket, count, index, length) + payload)

    page = bytes(range(256)) * 4
    for s, own, channel in channels:
        s.setblocking(False)
        ticket = 1
        # Truncated packets, zero and out-of-range counts and indexes, a lying length field.
        whole = DATA.pack(5, 1, own, channel, 1, 1, 4, 1, 1024) + page
        for cut in (1, 9, 10, 11, 15, 19, 23, 24, 25, 100):
            raw(s, whole[:cut])
        for count, index in ((0, 1), (4, 0), (4, 5), (0xFFFFFFFF, 1), (65537, 1), (1, 0xFFFFFFFF)):
            data(s, own, channel, 1, 1, ticket, count, index, page)
            ticket += 1
        data(s, own, channel, 1, 1, ticket, 2, 1, b"short", length=65535)
        ticket += 1
        # A 64 MiB message filled every fourth packet, far beyond the start first, then
        # repeated.
        for index in list(range(65536, 60000, -97)) + list(range(1, 4096, 4)) * 2:
            data(s, own, channel, 1, 2, ticket, 65536, index, page)
            ticket += 1
        # A flood of small complete messages, of a kind nobody takes and of streams.
        for n in range(300):
            data(s, own, channel, 7 if n % 2 else 1, 6 + n % 200, ticket, 1, 1, page[:100])
            ticket += 1
        # Messages begun and never finished, in order, each dropping the one before; the last
        # one stays.
        for msg_no in (206, 207):
            for index in range(1, 2000):
                data(s, own, channel, 1, msg_no, ticket, 65536, index, page)
                ticket += 1
    print("flooded", sent, flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "send":
        send(int(sys.argv[2]), int(sys.argv[3]))
    elif sys.argv[1] == "load":
        load(int(sys.argv[2]), *sys.argv[3:4])
    elif sys.argv[1] == "hostile":
        hostile(int(sys.argv[2]), sys.argv[3])
    else:
        receive()
