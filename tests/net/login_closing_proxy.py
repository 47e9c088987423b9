#!/usr/bin/env python3
"""A proxy asking for Basic "ana:pa55-w" that closes the connection after each 407 without saying
"Connection: close"; with the login it tunnels CONNECT. Prints its port."""
import base64
import socket
import threading

LOGIN = b"Proxy-Authorization: Basic " + base64.b64encode(b"ana:pa55-w")


def pipe(source, sink):
    try:
        while chunk := source.recv(65536):
            sink.sendall(chunk)
    except OSError:
        pass
    finally:
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(conn):
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = conn.recv(4096)
        if not chunk:
            conn.close()
            return
        head += chunk
    lines = head.split(b"\r\n")
    if LOGIN not in lines:
        conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                     b"Proxy-Authenticate: Basic realm=\"firma\"\r\nContent-Length: 0\r\n\r\n")
        conn.close()
        return
    host, port = lines[0].split()[1].rsplit(b":", 1)
    far = socket.create_connection((host.decode(), int(port)))
    conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    threading.Thread(target=pipe, args=(far, conn), daemon=True).start()
    pipe(conn, far)


server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
while True:
    threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()
