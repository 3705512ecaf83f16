"""A TCP proxy on loopback that delays every chunk by a fixed time in each direction.

    proxy = DelayProxy(target_port, delay_ms=5).start()   # round trip 10 ms
    ... connect to 127.0.0.1:proxy.port ...
    proxy.stop()

It listens and connects on 127.0.0.1 only. Each chunk is forwarded `delay_ms`
after it arrived, in order, so a request and its answer cost one round trip of
2 x delay_ms whatever their sizes (the bandwidth of loopback is left as it is).
Every connection ends when either side closes, when stop() is called, or
after `lifetime` seconds at the latest."""
import collections
import socket
import threading
import time


class DelayProxy:
    def __init__(self, target_port, delay_ms, lifetime=1800):
        self.target_port = target_port
        self.delay = delay_ms / 1000.0
        self.deadline = time.monotonic() + lifetime
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self._listener.settimeout(0.5)
        self.port = self._listener.getsockname()[1]
        self._stopping = threading.Event()
        self._threads = []

    def start(self):
        thread = threading.Thread(target=self._accept, daemon=True)
        thread.start()
        self._threads.append(thread)
        return self

    def stop(self):
        self._stopping.set()
        for thread in self._threads:
            thread.join(5)
        self._listener.close()

    def _over(self):
        return self._stopping.is_set() or time.monotonic() > self.deadline

    def _accept(self):
        while not self._over():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.target_port), timeout=10)
            except OSError:
                client.close()
                continue
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                s.settimeout(0.5)
            done = threading.Event()
            for source, sink in ((client, server), (server, client)):
                thread = threading.Thread(target=self._direction, args=(source, sink, done), daemon=True)
                thread.start()
                self._threads.append(thread)

    def _direction(self, source, sink, done):
        """Reads from `source`; a second thread writes each chunk to `sink` when it is due."""
        queue = collections.deque()
        ready = threading.Condition()

        def writer():
            while True:
                with ready:
                    while not queue and not done.is_set() and not self._over():
                        ready.wait(0.5)
                    if not queue:
                        return
                    due, data = queue.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if data is None:
                    try:
                        sink.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                try:
                    sink.sendall(data)
                except OSError:
                    done.set()
                    return

        thread = threading.Thread(target=writer, daemon=True)
        thread.start()
        while not done.is_set() and not self._over():
            try:
                data = source.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                data = b""
            with ready:
                queue.append((time.monotonic() + self.delay, data or None))
                ready.notify()
            if not data:
                break
        thread.join(self.delay + 30)
        done.set()
        for s in (source, sink):
            try:
                s.close()
            except OSError:
                pass
