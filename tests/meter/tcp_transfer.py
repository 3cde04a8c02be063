"""tcp_transfer.py ADDRESS PEER_NETNS RECEIVE SEND [HOLD [LINGER]]: listens on
ADDRESS, has a copy of itself in PEER_NETNS connect and send RECEIVE bytes,
reads them after HOLD seconds (the connection lives across samples), sends
SEND bytes back, says "done" and stays LINGER seconds (its process is seen)."""
import socket
import subprocess
import sys
import time


def read_to_end(conn, expected):
    received = sum(iter(lambda: len(conn.recv(65536)), 0))
    if received != int(expected):
        sys.exit(f"received {received} bytes, expected {expected}")


if sys.argv[1] == "--peer":  # sends first, then reads what comes back
    conn = socket.create_connection((sys.argv[2], int(sys.argv[3])), timeout=20)
    conn.sendall(b"x" * int(sys.argv[4]))
    conn.shutdown(socket.SHUT_WR)
    read_to_end(conn, sys.argv[5])
    sys.exit()
address, netns, receive, send, hold, linger = (sys.argv[1:] + ["0", "0"])[:6]
with socket.create_server((address, 0)) as server:
    peer = subprocess.Popen(["ip", "netns", "exec", netns, sys.executable, __file__, "--peer",
                             address, str(server.getsockname()[1]), receive, send])
    server.settimeout(20)
    conn, _ = server.accept()
    time.sleep(float(hold))
    read_to_end(conn, receive)
    conn.sendall(b"x" * int(send))
    conn.close()
if peer.wait(timeout=20) != 0:
    sys.exit("the peer failed")
print("done", flush=True)
time.sleep(float(linger))
