"""A wide-area link for the peer comparison: a TCP relay on 127.0.0.1 that forwards each
connection to a server and delays each direction by a fixed one-way time.

    /usr/bin/python3 bench/peers/relay.py LISTEN_PORT SERVER_PORT [--delay-ms MS] [--trace FILE]

Every chunk read from one side leaves for the other at its own arrival time plus the
delay (not after the chunk before it has waited), so chunks keep their order and, as far
as one read returns one segment, their boundaries. The end of a side's data (its FIN)
and its close travel the same way. The TCP handshake with the client is the kernel's
and takes no time; the connection to the server is opened one delay after it, so a
server's greeting reaches the client one round trip after its connect, as when the SYN
had travelled. Nothing is bounded: the bench sends small, lock-step dialogues.

--trace writes a line for each chunk as it arrives: milliseconds since the connection
was accepted, ">" from the client or "<" from the server, its size and its first 60
bytes; the round trips a client spends can be counted there.
"""

import argparse
import asyncio
import collections
import socket
import time

HOST = "127.0.0.1"
# The loop's timers wake in whole milliseconds (rounded up): each forward is woken this
# much early and sleeps the rest, so a chunk leaves at its time, not up to 1 ms later.
TIMER_GRAIN = 0.0015
EOF, CLOSE = object(), object()


class End(asyncio.Protocol):
    """One end of a relayed connection: what it reads leaves the other end one delay
    later; what the other end reads is written here, in order."""

    def __init__(self, delay, trace=None):
        self.delay, self.transport, self.other, self.trace = delay, None, None, trace
        self.due = collections.deque()  # (time, chunk, EOF or CLOSE), oldest first
        self.held = []  # what came due before this end was connected

    def connection_made(self, transport):
        self.transport = transport
        for item in self.held:
            self.put(item)
        self.held.clear()

    def data_received(self, data):
        if self.trace:
            self.trace(self, data)
        self.other.later(data)

    def eof_received(self):
        self.other.later(EOF)
        return True  # the other direction stays open until its own end

    def connection_lost(self, exc):
        self.other.later(CLOSE)

    def later(self, item):
        loop = asyncio.get_running_loop()
        when = loop.time() + self.delay
        self.due.append((when, item))
        loop.call_at(when - TIMER_GRAIN, self.send_next)

    def send_next(self):
        when, item = self.due.popleft()
        rest = when - asyncio.get_running_loop().time()
        if rest > 0:
            time.sleep(rest)
        if self.transport is None:
            self.held.append(item)
        else:
            self.put(item)

    def put(self, item):
        if self.transport.is_closing():
            return
        if item is CLOSE:
            self.transport.close()  # after what is still buffered
        elif item is EOF:
            if self.transport.can_write_eof():
                self.transport.write_eof()
        else:
            self.transport.write(item)


class ClientEnd(End):
    """The accepted end: opens the server's end one delay after the handshake."""

    def __init__(self, delay, server_port, trace_file):
        super().__init__(delay, trace_file and self.write_trace)
        self.server_port, self.trace_file = server_port, trace_file
        self.accepted = time.monotonic()

    def write_trace(self, end, data):
        shown = data[:60].decode("ascii", "backslashreplace").replace("\r", "\\r").replace("\n", "\\n")
        print(f"{(time.monotonic() - self.accepted) * 1000:9.2f} {'>' if end is self else '<'} "
              f"{len(data):6} {shown}", file=self.trace_file, flush=True)

    def connection_made(self, transport):
        super().connection_made(transport)
        self.other = End(self.delay, self.trace)
        self.other.other = self
        asyncio.get_running_loop().call_later(self.delay, self.connect)

    def connect(self):
        async def opened():
            try:
                await asyncio.get_running_loop().create_connection(lambda: self.other, HOST, self.server_port)
            except OSError:
                self.transport.abort()

        asyncio.ensure_future(opened())


async def relay(listen_port, server_port, delay, trace_file):
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: ClientEnd(delay, server_port, trace_file), HOST, listen_port,
                                      family=socket.AF_INET, reuse_address=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("listen_port", type=int)
    parser.add_argument("server_port", type=int)
    parser.add_argument("--delay-ms", type=float, default=25.0, help="one-way delay (default 25 ms)")
    parser.add_argument("--trace", type=argparse.FileType("a"), help="a line per chunk to this file")
    args = parser.parse_args()
    try:
        asyncio.run(relay(args.listen_port, args.server_port, args.delay_ms / 1000, args.trace))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
