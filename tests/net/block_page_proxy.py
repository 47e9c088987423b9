#!/usr/bin/env python3
"""A filter as some company networks have: it answers CONNECT, then writes a block page into the
tunnel instead of the server's bytes. Prints the port it listens on."""
import socket
import threading

BLOCKED = (b"HTTP/1.1 200 Connection established\r\n\r\n"
           b"HTTP/1.1 403 Blocked\r\nContent-Type: text/html\r\n\r\n<html>Blocked</html>")


def serve(conn):
    with conn:
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = conn.recv(4096)
            if not chunk:
                return
            request += chunk
        conn.sendall(BLOCKED)


server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
while True:
    connection, _ = server.accept()
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
