#!/usr/bin/env python3
"""A company filter: it answers CONNECT, then writes a block page into the tunnel. Prints its port."""
import socket
import threading


def serve(conn):
    with conn:
        while (chunk := conn.recv(4096)) and b"\r\n\r\n" not in chunk:
            pass
        conn.sendall(b"HTTP/1.1 200 OK\r\n\r\nHTTP/1.1 403 Blocked\r\n\r\n<html>Blocked</html>")


server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
while True:
    threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()
