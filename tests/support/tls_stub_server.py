#!/usr/bin/python3
"""A TLS server for tests of slow and broken servers, which decides how the bytes of its
records leave.

Usage: tls_stub_server.py PORT CERT KEY MODE

Listens on 127.0.0.1:PORT. TLS runs through memory buffers, and MODE says what goes out:

  trickle  every byte, of the handshake and of the dialogue, goes out alone, shortly
           after the one before; the dialogue is SMTP's shortest: "220 hi", then
           "250 ok" to each command line, "354 go ahead" to DATA and "250 queued" to
           the message's end, and "221 bye" to QUIT, after which the server closes
           the connection.
  partial  the handshake goes out as usual, then only the first half of the record
           that carries "220 hi"; the server then says nothing more, reading whatever
           comes until the client closes.

No session tickets are sent, so nothing but these records is ever in flight.
"""
import socket
import ssl
import sys
import threading
import time

TRICKLE_PAUSE = 0.0005  # seconds between two bytes: each arrives in a read of its own


class Channel:
    """TLS over a raw socket through memory buffers."""

    def __init__(self, raw, context, trickle):
        self.raw = raw
        self.trickle = trickle
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def send_raw(self, data):
        if not self.trickle:
            self.raw.sendall(data)
            return
        for i in range(len(data)):
            self.raw.sendall(data[i:i + 1])
            time.sleep(TRICKLE_PAUSE)

    def flush(self):
        self.send_raw(self.outgoing.read())

    def receive_raw(self):
        data = self.raw.recv(65536)
        if not data:
            raise EOFError
        self.incoming.write(data)

    def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                self.flush()
                return
            except ssl.SSLWantReadError:
                self.flush()
                self.receive_raw()

    def read_line(self):
        line = b""
        while not line.endswith(b"\n"):
            try:
                line += self.tls.read(1)
            except ssl.SSLWantReadError:
                self.receive_raw()
        return line

    def write(self, text):
        self.tls.write(text)
        self.flush()


def trickle(channel):
    channel.write(b"220 hi\r\n")
    while True:
        command = channel.read_line().upper()
        if command.startswith(b"QUIT"):
            channel.write(b"221 bye\r\n")
            return
        if command.startswith(b"DATA"):
            channel.write(b"354 go ahead\r\n")
            while channel.read_line() != b".\r\n":
                pass
            channel.write(b"250 queued\r\n")
        else:
            channel.write(b"250 ok\r\n")


def partial(channel):
    channel.tls.write(b"220 hi\r\n")
    record = channel.outgoing.read()
    channel.raw.sendall(record[:len(record) // 2])
    while channel.raw.recv(65536):
        pass


def serve(context, raw, mode):
    raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    channel = Channel(raw, context, mode == "trickle")
    try:
        channel.handshake()
        (trickle if mode == "trickle" else partial)(channel)
    except (ssl.SSLError, OSError, EOFError):
        pass
    finally:
        raw.close()


def main():
    port, cert, key, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.num_tickets = 0
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=serve, args=(context, raw, mode), daemon=True).start()


if __name__ == "__main__":
    main()
