#!/usr/bin/python3
"""Records the sock_diag messages the parser tests read.

Run as root inside a fresh network namespace:
    unshare -n /usr/bin/python3 record_diag.py DIR
It sets up, over loopback, an IPv4 connection to port 40001 (1000 bytes one
way, 250 back) and an IPv6 one to port 40002 (2000 bytes), then writes
DIR/tcp-dump.bin: the reply to a dump of both families with tcp_info, and
DIR/tcp-destroy.bin: the destroy messages of the IPv4 connection's two ends.
"""
import socket
import struct
import subprocess
import sys
import time

NETLINK_SOCK_DIAG, TCPDIAG_GETSOCK, NLM_F_REQUEST, NLM_F_DUMP = 4, 18, 1, 0x300
SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, NLMSG_DONE = 270, 1, 3
INET_TCP_DESTROY, INET6_TCP_DESTROY, INET_DIAG_INFO = 1, 3, 2
ALL_BUT_TIME_WAIT = 0xFFE & ~(1 << 6)


def connection(family, host, port, forth, back):
    listener = socket.create_server((host, port), family=family)
    client = socket.create_connection((host, port))
    server, _ = listener.accept()
    client.sendall(b"f" * forth)
    server.sendall(b"b" * back)
    for end, count in ((server, forth), (client, back)):
        while count:
            count -= len(end.recv(count))
    return listener, client, server


# The request the meter sends: inet_diag_req, both families in one reply.
def dump():
    diag = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_SOCK_DIAG)
    request = struct.pack("=BBBB", socket.AF_INET, 0, 0, 1 << (INET_DIAG_INFO - 1)) + bytes(48)
    request += struct.pack("=II", ALL_BUT_TIME_WAIT, 0)
    diag.send(struct.pack("=IHHII", 16 + len(request), TCPDIAG_GETSOCK,
                          NLM_F_REQUEST | NLM_F_DUMP, 1, 0) + request)
    reply = b""
    while True:
        datagram = diag.recv(65536)
        reply += datagram
        if struct.unpack_from("=H", datagram, 4)[0] == NLMSG_DONE:
            return reply


def main(out):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    destroyed = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_NONBLOCK,
                              NETLINK_SOCK_DIAG)
    destroyed.bind((0, 0))
    for group in (INET_TCP_DESTROY, INET6_TCP_DESTROY):
        destroyed.setsockopt(SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, group)
    v4 = connection(socket.AF_INET, "127.0.0.1", 40001, 1000, 250)
    v6 = connection(socket.AF_INET6, "::1", 40002, 2000, 0)
    with open(f"{out}/tcp-dump.bin", "wb") as file:
        file.write(dump())
    v4[1].close()
    v4[2].close()
    time.sleep(0.5)
    with open(f"{out}/tcp-destroy.bin", "wb") as file:
        while True:
            try:
                file.write(destroyed.recv(65536))
            except BlockingIOError:
                break
    del v6


if __name__ == "__main__":
    main(sys.argv[1])
