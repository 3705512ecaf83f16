"""A TCP proxy on 127.0.0.1 that delays every chunk by a fixed time each way.

    proxy = DelayProxy(upstream_port=1143, one_way_ms=5).start()   # RTT 10 ms
    ... connect to proxy.port ...
    proxy.stop()

Each chunk read from one side is written to the other side once its delay has
passed, in the order read, so the stream is unchanged and only late: a round
trip costs twice the delay, however many bytes are in flight. Loopback only,
and bounded in time: the proxy stops by itself after `lifetime` seconds.
"""
import asyncio
import threading
import time

CHUNK = 256 * 1024


class DelayProxy:
    def __init__(self, upstream_port, one_way_ms, lifetime=3600):
        self.upstream_port = upstream_port
        self.delay = one_way_ms / 1000.0
        self.lifetime = lifetime
        self.port = None
        self._loop = None
        self._thread = None
        self._ready = threading.Event()
        self._stopped = None

    def start(self):
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("the delaying proxy did not start")
        return self

    def stop(self):
        if self._loop and self._stopped:
            self._loop.call_soon_threadsafe(self._stopped.set)
        if self._thread:
            self._thread.join(10)

    def _run(self):
        asyncio.run(self._serve())

    async def _serve(self):
        self._loop = asyncio.get_running_loop()
        self._stopped = asyncio.Event()
        server = await asyncio.start_server(self._connection, "127.0.0.1", 0)
        self.port = server.sockets[0].getsockname()[1]
        self._ready.set()
        try:
            await asyncio.wait_for(self._stopped.wait(), self.lifetime)
        except asyncio.TimeoutError:
            pass
        server.close()
        await server.wait_closed()

    async def _connection(self, client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(self._pipe(client_reader, server_writer), self._pipe(server_reader, client_writer),
                             return_exceptions=True)

    async def _pipe(self, reader, writer):
        """Reads as fast as the peer sends; a second task writes each chunk when it is due."""
        queue = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await queue.get()
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    break
                writer.write(data)
                await writer.drain()
            try:
                writer.write_eof()
            except (OSError, RuntimeError):
                writer.close()

        delivering = asyncio.ensure_future(deliver())
        try:
            while True:
                data = await reader.read(CHUNK)
                queue.put_nowait((time.monotonic() + self.delay, data or None))
                if not data:
                    break
            await delivering
        except (OSError, asyncio.CancelledError):
            delivering.cancel()
            writer.close()
