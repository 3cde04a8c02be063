#!/usr/bin/python3
"""Records the sock_diag messages the parser tests read. As root:

    unshare -n /usr/bin/python3 record_diag.py DIR

Over loopback: IPv4 to port 40001 (1000 bytes out, 250 back), IPv6 to 40002
(2000 out). DIR/tcp-dump.bin: the reply to the dump request the meter sends
(TCPDIAG_GETSOCK, tcp_info, all states but TIME_WAIT). DIR/tcp-destroy.bin:
the destroy messages of both ends of the IPv4 connection.
"""
import socket
import struct
import subprocess
import sys
import time


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


def dump():
    diag = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 4)  # NETLINK_SOCK_DIAG
    request = struct.pack("=BBBB48xII", socket.AF_INET, 0, 0, 1 << 1, 0xFFE & ~(1 << 6), 0)
    diag.send(struct.pack("=IHHII", 16 + len(request), 18, 0x301, 1, 0) + request)
    reply = diag.recv(65536)
    while struct.unpack_from("=H", reply, len(reply) - 16)[0] != 3:  # the last one: NLMSG_DONE
        reply += diag.recv(65536)
    return reply


def main(out):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    destroyed = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_NONBLOCK, 4)
    destroyed.bind((0, 0))
    for group in (1, 3):  # SKNLGRP_INET_TCP_DESTROY, SKNLGRP_INET6_TCP_DESTROY
        destroyed.setsockopt(270, 1, group)  # SOL_NETLINK, NETLINK_ADD_MEMBERSHIP
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
                return v6


if __name__ == "__main__":
    main(sys.argv[1])
