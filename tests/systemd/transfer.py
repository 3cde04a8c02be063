"""One TCP transfer of known size between this network namespace and another.

    transfer.py serve ADDRESS NAMESPACE RECEIVED SENT [HOLD]
        listens on ADDRESS here and connects to it from NAMESPACE (ip netns
        exec); the peer sends RECEIVED bytes, which this side reads after HOLD
        seconds (default 0), then this side sends SENT bytes back
"""
import socket
import subprocess
import sys
import time


def receive_all(conn, expected, who):
    total = 0
    while chunk := conn.recv(65536):
        total += len(chunk)
    if total != expected:
        sys.exit(f"{who}: received {total} bytes, expected {expected}")


def serve(address, namespace, received, sent, hold):
    with socket.create_server((address, 0)) as server:
        server.settimeout(20)
        peer = subprocess.Popen(["ip", "netns", "exec", namespace, sys.executable, __file__,
                                 "connect", address, str(server.getsockname()[1]),
                                 str(received), str(sent)])
        conn, _ = server.accept()
        with conn:
            time.sleep(hold)
            receive_all(conn, received, "server")
            conn.sendall(b"x" * sent)
    if peer.wait(timeout=20) != 0:
        sys.exit("the peer failed")


def connect(address, port, sent, received):
    with socket.create_connection((address, port), timeout=20) as conn:
        conn.sendall(b"x" * sent)
        conn.shutdown(socket.SHUT_WR)
        receive_all(conn, received, "peer")


if __name__ == "__main__":
    role, address = sys.argv[1:3]
    if role == "serve":
        hold = float(sys.argv[6]) if len(sys.argv) > 6 else 0
        serve(address, sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), hold)
    else:
        connect(address, int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
