#!/usr/bin/env python3
"""A small HTTP server for tests: answers every request with the Host header it received, followed by
a few bytes that are not text, in one write, and closes. Prints its port on the first line."""
import socket
import sys

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(8)
print(listener.getsockname()[1], flush=True)
listener.settimeout(30)
for _ in range(int(sys.argv[1]) if len(sys.argv) > 1 else 1):
    conn, _ = listener.accept()
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    host = b""
    for line in data.split(b"\r\n"):
        if line.startswith(b"Host: "):
            host = line[6:]
    body = b"Host seen: " + host + b"\n" + bytes([0, 1, 2, 0xFF]) * 8
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                 + str(len(body)).encode() + b"\r\n\r\n" + body)
    conn.close()
