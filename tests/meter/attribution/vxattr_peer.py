#!/usr/bin/python3
"""Moves a known number of bytes over TCP for the attribution tests.

send HOST PORT BYTES: connect, say "connected"; on a line send, say "sent"; on a line close.
send-once HOST PORT BYTES: connect, send, close.
receive PORT: listen on [::] and IPv4, say "ready", read one connection to its end,
say "received N", exit on a line.
"""
import socket
import sys


def send_all(sock, count):
    chunk = b"x" * 65536
    while count > 0:
        count -= sock.send(chunk[: min(count, len(chunk))])


def send(host, port, count):
    sock = socket.create_connection((host, int(port)))
    print("connected", flush=True)
    sys.stdin.readline()
    send_all(sock, int(count))
    print("sent", flush=True)
    sys.stdin.readline()
    sock.close()


def send_once(host, port, count):
    with socket.create_connection((host, int(port))) as sock:
        send_all(sock, int(count))


def receive(port):
    server = socket.create_server(("::", int(port)), family=socket.AF_INET6, dualstack_ipv6=True)
    print("ready", flush=True)
    connection, _ = server.accept()
    received = 0
    while data := connection.recv(65536):
        received += len(data)
    connection.close()
    print(f"received {received}", flush=True)
    sys.stdin.readline()


if __name__ == "__main__":
    {"send": send, "send-once": send_once, "receive": receive}[sys.argv[1]](*sys.argv[2:])
