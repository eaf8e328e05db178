#!/usr/bin/python3
"""A TLS echo server for transport tests.

Usage: tls_echo_server.py PORT CERT KEY

Listens on 127.0.0.1:PORT. Each connection, after the handshake, first gets the line
"220 sni=NAME\r\n" (NAME is the server name the client sent, "-" for none) in one TLS
record, then every chunk it sends comes back as it is, one record per chunk, until it
closes. Three chunks are commands instead: "CLOSE\r\n" makes the server close TLS
(close_notify) and the connection; "DROP\r\n" makes it close the connection without
closing TLS; "HOLD\r\n" makes it stop reading and hold the connection open, answering
nothing, for 30 seconds. No session tickets are sent, so nothing but these records is ever
in flight.
"""
import socket
import ssl
import sys
import threading
import time


def make_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.num_tickets = 0

    def remember_name(sock, name, _context):
        sock.sent_name = name

    context.sni_callback = remember_name
    return context


def serve(context, raw):
    try:
        conn = context.wrap_socket(raw, server_side=True)
    except (ssl.SSLError, OSError):
        raw.close()
        return
    with conn:
        try:
            name = getattr(conn, "sent_name", None) or "-"
            conn.sendall(("220 sni=%s\r\n" % name).encode())
            while True:
                data = conn.recv(65536)
                if not data or data == b"CLOSE\r\n":
                    break
                if data == b"DROP\r\n":
                    return
                if data == b"HOLD\r\n":
                    time.sleep(30)
                    return
                conn.sendall(data)
            conn.unwrap()
        except (ssl.SSLError, OSError):
            pass


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = make_context(cert, key)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=serve, args=(context, raw), daemon=True).start()


if __name__ == "__main__":
    main()
