#!/usr/bin/python3
"""Moves a known number of bytes over TCP for the attribution tests.

  send HOST PORT BYTES       connect, say "connected"; on a line: send, say "sent";
                             on the next line: close
  send-once HOST PORT BYTES  connect, send, close
  receive PORT               listen on [::] (IPv4 too), say "ready"; read one
                             connection to its end, close it, say "received N";
                             exit on a line
"""
import socket
import sys


def say(text):
    print(text, flush=True)


def send_all(sock, count):
    chunk = b"x" * 65536
    while count > 0:
        count -= sock.send(chunk[: min(count, len(chunk))])


def send(host, port, count):
    sock = socket.create_connection((host, int(port)))
    say("connected")
    sys.stdin.readline()
    send_all(sock, int(count))
    say("sent")
    sys.stdin.readline()
    sock.close()


def send_once(host, port, count):
    with socket.create_connection((host, int(port))) as sock:
        send_all(sock, int(count))


def receive(port):
    listener = socket.create_server(
        ("::", int(port)), family=socket.AF_INET6, dualstack_ipv6=True)
    say("ready")
    connection, _ = listener.accept()
    received = 0
    while data := connection.recv(65536):
        received += len(data)
    connection.close()
    say(f"received {received}")
    sys.stdin.readline()


if __name__ == "__main__":
    {"send": send, "send-once": send_once, "receive": receive}[sys.argv[1]](*sys.argv[2:])
