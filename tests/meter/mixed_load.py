"""mixed_load.py ROLE ...: one part of a mixed load between two network
namespaces, each role over its own veth pair, so that the veth's counters
are what the role's packets moved. In the meter's namespace:

  long ADDRESS BYTES            one TCP connection sends BYTES over several seconds
  short ADDRESS COUNT           COUNT connections in turn, each downloads 100 kB and closes
  udp ADDRESS BYTES             BYTES of UDP datagrams of 1,000 bytes
  halfclose ADDRESS BYTES HOLD  sends BYTES over a few seconds, shuts its sending
                                side, reads to the end and holds the socket HOLD
                                seconds before closing it
  server ADDRESS BYTES          says "listening", accepts one connection, reads
                                BYTES, answers BYTES

Each says "done" when its traffic is over and stays until it is killed, so
that its process is there to be seen. In the peer's namespace:

  peer LONG SHORT UDP HALFCLOSE SERVER BYTES   the other ends, at the roles'
      addresses ("-" for a role not run); connects to the server role and sends
      BYTES over a few seconds
"""
import socket
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


def serve(address, handle):
    if address == "-":
        return
    server = socket.create_server((address, PORT), backlog=256)

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
    while True:
        time.sleep(60)


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


ROLES = {"long": long_transfer, "short": short_downloads, "udp": udp_datagrams,
         "halfclose": half_close, "server": accepting_server}
if __name__ == "__main__":
    role, arguments = sys.argv[1], sys.argv[2:]
    if role == "peer":
        peer(*arguments)
    ROLES[role](*arguments)
    done_and_stay()
