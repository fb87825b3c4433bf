#!/usr/bin/env python3
"""Holds many TLS connections open to a server, for bench/service/run.

  hold_connections.py PORT CA_FILE COUNT MODE READY_FILE
    MODE idle: each connection makes a small keep-alive request (HEAD /) every 20 s and waits in
               between, idle in keep-alive; connections the server closes are reopened.
    MODE slow: each connection sends a request line and then one header byte every 2 s,
               never finishing its headers; connections the server closes are reopened.
Writes READY_FILE once COUNT connections are open; runs until SIGTERM, then prints
"held COUNT, reopened N".
"""
import asyncio
import resource
import signal
import ssl
import sys


async def one(port, context, mode, stats, ready):
    first = True
    while True:
        if not first:
            stats["reopened"] += 1
        first = False
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port, ssl=context,
                                                           server_hostname="localhost")
            if mode == "idle":
                writer.write(b"HEAD / HTTP/1.1\r\nHost: localhost\r\n\r\n")
                await writer.drain()
                await reader.readuntil(b"\r\n\r\n")
            else:
                writer.write(b"GET /admin/files/download HTTP/1.1\r\n")
                await writer.drain()
            stats["open"] += 1
            try:
                ready()
                while True:
                    # A keep-alive connection stays open by asking again before the server's
                    # idle time-out; a slow one adds a header byte every 2 s.
                    try:
                        if await asyncio.wait_for(reader.read(1), timeout=20.0 if mode == "idle" else 2.0) == b"":
                            break
                    except asyncio.TimeoutError:
                        pass
                    if mode == "idle":
                        writer.write(b"HEAD / HTTP/1.1\r\nHost: localhost\r\n\r\n")
                        await writer.drain()
                        await reader.readuntil(b"\r\n\r\n")
                    else:
                        writer.write(b"X")
                        await writer.drain()
            finally:
                stats["open"] -= 1
                writer.close()
        except (OSError, asyncio.IncompleteReadError, ssl.SSLError, ConnectionError):
            await asyncio.sleep(0.2)


async def main():
    port, ca, count, mode, ready_file = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count + 256)), hard))
    context = ssl.create_default_context(cafile=ca)
    stats = {"open": 0, "reopened": 0}
    done = asyncio.Event()
    written = [False]

    def ready():
        if not written[0] and stats["open"] >= count:
            written[0] = True
            with open(ready_file, "w") as out:
                out.write("ready\n")

    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, done.set)
    tasks = []
    for _ in range(count):
        tasks.append(asyncio.create_task(one(port, context, mode, stats, ready)))
        await asyncio.sleep(0.001)  # a steady stream of handshakes, not one burst
    await done.wait()
    print(f"held {stats['open']}, reopened {stats['reopened']}", flush=True)
    for task in tasks:
        task.cancel()


if __name__ == "__main__":
    asyncio.run(main())
