#!/usr/bin/python3
"""A loopback TCP proxy that delays everything it forwards, in both directions.

Usage: delay_proxy.py --target PORT --delay-ms MS

Listens on a free loopback port and prints "PORT <n>" once it does. Every chunk read
from one side is written to the other side MS milliseconds later, in order; an end of
stream is passed on after the same delay. With an FTP server as the target this makes
the control connection as far away as a real server; active-mode data connections go
from the server to the client directly and are not delayed.

Ends on SIGTERM, or by itself when the process that started it is gone.
"""

import argparse
import asyncio
import os
import socket
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            loop.call_later(delay, _write, writer, data)
    except (ConnectionError, OSError):
        pass
    loop.call_later(delay, _close, writer)


def _write(writer, data):
    if not writer.is_closing():
        writer.write(data)


def _close(writer):
    try:
        if writer.can_write_eof() and not writer.is_closing():
            writer.write_eof()
    except OSError:
        writer.close()


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, required=True)
    args = parser.parse_args()
    delay = args.delay_ms / 1000.0

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target)
        except OSError:
            client_writer.close()
            return
        no_delay(client_writer)
        no_delay(server_writer)
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay))
        await asyncio.sleep(delay)
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    parent = os.getppid()
    while os.getppid() == parent:
        await asyncio.sleep(0.5)


if __name__ == "__main__":
    asyncio.run(main())
