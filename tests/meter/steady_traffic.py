"""steady_traffic.py ADDRESS PEER_NETNS: listens on ADDRESS, has a copy of
itself in PEER_NETNS connect, and sends to it over that one connection as its
standard input says, a command a line:

    rate BYTES_PER_S   send at that pace from now on (0 stops)
    burst BYTES        send that many at once
    quiet              stop sending, wait for the last answers, print
                       "quiet SENT RECEIVED" (payload bytes in all)

The peer answers each byte with a quarter byte: it has sent floor(received / 4)
bytes back after every read. End of input closes the connection."""
import socket
import subprocess
import sys
import threading
import time

CHUNK = 16384


def peer(address, port):
    conn = socket.create_connection((address, int(port)), timeout=20)
    conn.settimeout(None)
    received = answered = 0
    while data := conn.recv(65536):
        received += len(data)
        owed = received // 4 - answered
        if owed:
            conn.sendall(b"y" * owed)
            answered += owed


class Sender:
    def __init__(self, conn):
        self.conn = conn
        self.changed = threading.Condition()
        self.sent = self.received = self.rate = self.burst = 0
        self.sending = False
        self.closing = False
        threading.Thread(target=self.receive, daemon=True).start()
        self.thread = threading.Thread(target=self.send)
        self.thread.start()

    def receive(self):
        while data := self.conn.recv(65536):
            with self.changed:
                self.received += len(data)
                self.changed.notify_all()

    def send(self):
        due = time.monotonic()
        while True:
            with self.changed:
                self.changed.wait_for(lambda: self.closing or self.burst or self.rate)
                if self.closing:
                    return
                size, self.burst = (self.burst, 0) if self.burst else (CHUNK, 0)
                rate = self.rate
                self.sending = True
            self.conn.sendall(b"x" * size)
            with self.changed:
                self.sent += size
                self.sending = False
                self.changed.notify_all()
            if size == CHUNK and rate:
                due = max(due, time.monotonic() - 1) + CHUNK / rate
                time.sleep(max(0.0, due - time.monotonic()))

    def command(self, line):
        word, _, number = line.partition(" ")
        with self.changed:
            if word == "rate":
                self.rate = int(number)
            elif word == "burst":
                self.burst += int(number)
            elif word == "quiet":
                self.rate = 0
                self.changed.wait_for(lambda: not self.burst and not self.sending)
                self.changed.wait_for(lambda: self.received == self.sent // 4, timeout=30)
                print(f"quiet {self.sent} {self.received}", flush=True)
            self.changed.notify_all()

    def close(self):
        with self.changed:
            self.closing = True
            self.changed.notify_all()
        self.thread.join()
        self.conn.shutdown(socket.SHUT_WR)


def main():
    if sys.argv[1] == "--peer":
        peer(*sys.argv[2:4])
        return
    address, netns = sys.argv[1:3]
    with socket.create_server((address, 0)) as server:
        helper = subprocess.Popen(["ip", "netns", "exec", netns, sys.executable, __file__,
                                   "--peer", address, str(server.getsockname()[1])])
        server.settimeout(20)
        conn, _ = server.accept()
    conn.settimeout(None)
    sender = Sender(conn)
    print("connected", flush=True)
    for line in sys.stdin:
        sender.command(line.strip())
    sender.close()
    if helper.wait(timeout=20) != 0:
        sys.exit("the peer failed")


if __name__ == "__main__":
    main()
