"""A TCP proxy on 127.0.0.1 that delays every chunk by a fixed time each way.

    proxy = DelayProxy(upstream_port=1143, one_way_ms=5).start()   # RTT 10 ms
    ... connect to proxy.port ...
    proxy.stop()

Each chunk read from one side is written to the other side once its delay has
passed, in the order read, so the stream is unchanged and only late: a round
trip costs twice the delay, however many bytes are in flight. A delay of 0
passes chunks on at once (for counting commands on loopback). Loopback only,
and bounded in time: the proxy stops by itself after `lifetime` seconds.

Given a protocol ("imap" or "pop3"), the proxy also counts the commands the
clients send, so that a run's commands can be read without the server's help:

    proxy.reset_commands(); ... run a client ...; proxy.settle(); proxy.commands
"""
import asyncio
import re
import threading
import time

CHUNK = 256 * 1024
# A line ending in a literal's announcement, {n} or {n+} (LITERAL+): n bytes of data follow.
LITERAL = re.compile(rb"\{(\d+)\+?\}\r?$")
# Only a line's end is looked at; the rest of a long line need not be kept.
TAIL = 32


class CommandCounter:
    """Counts the client's commands in its byte stream, however it is cut into chunks.

    POP3: every line is a command. IMAP: every line that ends a command; a line
    announcing a literal is continued after the literal's bytes, which are data
    (a message being appended, a password), not lines."""

    def __init__(self, protocol):
        self.imap = protocol == "imap"
        self.count = 0
        self._tail = b""
        self._literal = 0

    def feed(self, data):
        if not self.imap:
            self.count += data.count(b"\n")
            return
        pos = 0
        while pos < len(data):
            if self._literal:
                taken = min(self._literal, len(data) - pos)
                self._literal -= taken
                pos += taken
                continue
            end = data.find(b"\n", pos)
            if end < 0:
                self._tail = (self._tail + data[pos:])[-TAIL:]
                return
            line = (self._tail + data[max(pos, end - TAIL):end])[-TAIL:]
            self._tail = b""
            pos = end + 1
            announced = LITERAL.search(line)
            if announced:
                self._literal = int(announced.group(1))
            else:
                self.count += 1


class DelayProxy:
    def __init__(self, upstream_port, one_way_ms, lifetime=3600, protocol=None):
        """protocol: "imap" or "pop3" to count the clients' commands (see CommandCounter)."""
        self.upstream_port = upstream_port
        self.delay = one_way_ms / 1000.0
        self.lifetime = lifetime
        self.protocol = protocol
        self.port = None
        self._counted = 0  # commands of the connections closed since the last reset
        self._counters = set()  # those of the open connections
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

    def reset_commands(self):
        """Starts a new count; call it while no client is connected."""
        self._counted = 0
        self._counters = {c for c in self._counters if c.open}

    @property
    def commands(self):
        """Commands sent by every client since the last reset (0 without a protocol)."""
        return self._counted + sum(c.count for c in list(self._counters))

    def settle(self, timeout=10):
        """Waits until every connection has closed, so that the count holds all a client sent
        before it exited. True when they did within timeout."""
        deadline = time.monotonic() + timeout
        while any(c.open for c in list(self._counters)):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def stop(self):
        """Stops the proxy; stopping it again does nothing."""
        if self._loop and self._stopped and self._thread and self._thread.is_alive():
            try:
                self._loop.call_soon_threadsafe(self._stopped.set)
            except RuntimeError:  # the loop ended meanwhile (lifetime over)
                pass
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
        counter = CommandCounter(self.protocol)
        counter.open = True
        self._counters.add(counter)
        try:
            try:
                server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
            except OSError:
                client_writer.close()
                return
            await asyncio.gather(self._pipe(client_reader, server_writer, counter),
                                 self._pipe(server_reader, client_writer), return_exceptions=True)
        finally:
            counter.open = False
            if counter in self._counters:
                self._counted += counter.count
                self._counters.discard(counter)

    async def _pipe(self, reader, writer, counter=None):
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
                if counter is not None and self.protocol and data:
                    counter.feed(data)
                queue.put_nowait((time.monotonic() + self.delay, data or None))
                if not data:
                    break
            await delivering
        except (OSError, asyncio.CancelledError):
            delivering.cancel()
            writer.close()
