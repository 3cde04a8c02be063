#!/usr/bin/python3
"""DIR/tcp-dump.bin: the kernel's reply to the meter's dump request (TCPDIAG_GETSOCK,
tcp_info, all states but TIME_WAIT) where the only TCP socket listens on [::1]:40002.
    unshare -n sh -c 'ip link set lo up && /usr/bin/python3 record_diag.py DIR'"""
import socket
import struct
import sys

listener = socket.create_server(("::1", 40002), family=socket.AF_INET6)
diag = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 4)  # NETLINK_SOCK_DIAG
request = struct.pack("=BBBB48xII", socket.AF_INET, 0, 0, 1 << 1, 0xFFE & ~(1 << 6), 0)
diag.send(struct.pack("=IHHII", 16 + len(request), 18, 0x301, 1, 0) + request)
reply = diag.recv(65536)
while struct.unpack_from("=H", reply, len(reply) - 16)[0] != 3:  # the last one: NLMSG_DONE
    reply += diag.recv(65536)
with open(f"{sys.argv[1]}/tcp-dump.bin", "wb") as file:
    file.write(reply)
