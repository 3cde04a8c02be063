"""traffic.py ROLE ...: the traffic of the end-to-end tests, each role over a
veth pair of its own. NAME in the environment renames the process. In the
meter's namespace (each says "done" when its traffic is over and stays until
killed, so that its process is seen):

  long ADDRESS BYTES            one TCP connection sends BYTES over several seconds
  short ADDRESS COUNT           COUNT connections in turn, each downloads 100 kB
  udp ADDRESS BYTES             BYTES of UDP datagrams of 1,000 bytes
  halfclose ADDRESS BYTES HOLD  sends BYTES, shuts its sending side, reads to
                                the end and closes HOLD seconds later
  server ADDRESS BYTES          says "listening", accepts one connection, reads
                                BYTES, answers BYTES
  unread ADDRESS COUNT BYTES    COUNT connections that each read BYTES of a longer
                                stream and close with the rest unread, every
                                other one with SO_LINGER {1, 0}: resets
  idle ADDRESS COUNT HOLD       COUNT connections held HOLD seconds, then closed
                                (first, so their ends are in time-wait)

In the peer's namespace: peer LONG SHORT UDP HALFCLOSE SERVER BYTES, the other
ends at the roles' addresses ("-": not run), connecting to the server role;
streams ADDRESS BYTES, the other end of unread (a stream of BYTES to each
connection) or of idle (BYTES 0), each connection kept until the client closes.

  steady ADDRESS PEER_NETNS   one connection to a copy of itself in PEER_NETNS,
      driven by standard input: "rate BYTES_PER_S" (0 stops), "burst BYTES",
      "quiet" (stop, wait for the answers, print "quiet SENT RECEIVED" in
      payload bytes). The peer answers each byte with a quarter byte.
"""
import ctypes
import os
import resource
import socket
import struct
import subprocess
import sys
import threading
import time

PORT = 5000
CHUNK = 1 << 20


def read_to_end(conn):
    return sum(iter(lambda: len(conn.recv(1 << 16)), 0))


def send_paced(conn, total, seconds):
    chunks = max(1, total // CHUNK)
    for i in range(chunks):
        size = CHUNK if i < chunks - 1 else total - CHUNK * (chunks - 1)
        conn.sendall(b"x" * size)
        time.sleep(seconds / chunks)


def done_and_stay():
    print("done", flush=True)
    while True:
        time.sleep(60)


def long_transfer(address, total):
    with socket.create_connection((address, PORT), timeout=30) as conn:
        send_paced(conn, int(total), 6)
        conn.shutdown(socket.SHUT_WR)
        read_to_end(conn)


SHORT_DOWNLOAD = 100_000


def short_downloads(address, count):
    for _ in range(int(count)):
        with socket.create_connection((address, PORT), timeout=30) as conn:
            if read_to_end(conn) != SHORT_DOWNLOAD:
                sys.exit("a short download came short")
        time.sleep(0.02)


def udp_datagrams(address, total):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        for i in range(int(total) // 1000):
            udp.sendto(b"u" * 1000, (address, PORT))
            if i % 100 == 99:
                time.sleep(0.04)


def half_close(address, total, hold):
    conn = socket.create_connection((address, PORT), timeout=30)
    send_paced(conn, int(total), 4)
    conn.shutdown(socket.SHUT_WR)
    read_to_end(conn)
    time.sleep(float(hold))
    conn.close()


def accepting_server(address, total):
    with socket.create_server((address, PORT)) as server:
        server.settimeout(30)
        print("listening", flush=True)
        conn, _ = server.accept()
        with conn:
            received = 0
            while received < int(total):
                received += len(conn.recv(1 << 16))
            conn.sendall(b"s" * int(total))


def unread_downloads(address, count, wanted):
    for i in range(int(count)):
        with socket.create_connection((address, PORT), timeout=30) as conn:
            if i % 2:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            received = 0
            while received < int(wanted):
                received += len(conn.recv(min(1 << 16, int(wanted) - received)))


def idle_connections(address, count, hold):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, int(count) + 100)), hard))
    held = [socket.create_connection((address, PORT), timeout=30) for _ in range(int(count))]
    time.sleep(float(hold))
    for conn in held:
        conn.close()


def streams(address, total):
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    threading.stack_size(1 << 16)

    def stream(conn):
        with conn:
            try:
                conn.sendall(b"s" * int(total))
                read_to_end(conn)
            except OSError:  # reset by the client
                pass

    serve(address, stream)
    print("listening", flush=True)


def serve(address, handle):
    if address == "-":
        return
    server = socket.create_server((address, PORT), backlog=4096)

    def loop():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=handle, args=(conn,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()


def peer(long_address, short_address, udp_address, half_address, server_address, total):
    def sink(conn):  # reads everything, answers with a little
        with conn:
            read_to_end(conn)
            conn.sendall(b"ok" * 500)

    def download(conn):
        with conn:
            conn.sendall(b"d" * SHORT_DOWNLOAD)

    serve(long_address, sink)
    serve(short_address, download)
    serve(half_address, sink)
    if udp_address != "-":
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((udp_address, PORT))
        threading.Thread(target=lambda: [udp.recv(2048) for _ in iter(int, 1)],
                         daemon=True).start()
    print("listening", flush=True)
    if server_address != "-":
        connect_and_send(server_address, total)


def connect_and_send(address, total):
    for _ in range(300):  # the server role listens once it started
        try:
            conn = socket.create_connection((address, PORT), timeout=30)
            break
        except OSError:
            time.sleep(0.1)
    with conn:
        send_paced(conn, int(total), 3)
        conn.shutdown(socket.SHUT_WR)
        read_to_end(conn)


STEADY_CHUNK = 16384


def steady_peer(address, port):
    conn = socket.create_connection((address, int(port)), timeout=20)
    conn.settimeout(None)
    received = answered = 0
    while data := conn.recv(65536):
        received += len(data)
        owed = received // 4 - answered
        if owed:
            conn.sendall(b"y" * owed)
            answered += owed
    sys.exit()


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
                size, self.burst = (self.burst, 0) if self.burst else (STEADY_CHUNK, 0)
                rate = self.rate
                self.sending = True
            self.conn.sendall(b"x" * size)
            with self.changed:
                self.sent += size
                self.sending = False
                self.changed.notify_all()
            if size == STEADY_CHUNK and rate:
                due = max(due, time.monotonic() - 1) + STEADY_CHUNK / rate
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


def steady(address, netns):
    with socket.create_server((address, 0)) as server:
        helper = subprocess.Popen(["ip", "netns", "exec", netns, sys.executable, __file__,
                                   "steady-peer", address, str(server.getsockname()[1])])
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
    sys.exit()


ROLES = {"long": long_transfer, "short": short_downloads, "udp": udp_datagrams,
         "halfclose": half_close, "server": accepting_server, "peer": peer, "steady": steady,
         "steady-peer": steady_peer, "unread": unread_downloads, "idle": idle_connections,
         "streams": streams}
if __name__ == "__main__":
    if os.environ.get("NAME"):
        ctypes.CDLL(None).prctl(15, os.environ["NAME"].encode())  # PR_SET_NAME
    ROLES[sys.argv[1]](*sys.argv[2:])
    done_and_stay()
