"""Base of the scripted servers: a loopback listener serving one connection at a
time on its own thread, recording the commands of each connection."""
import socket
import threading
import time


class ScriptServer:
    def __init__(self, port=0):
        self.connections = []
        # time.monotonic() of each accepted connection, in order: a test reads
        # from it how long a client waited before it came back.
        self.accepted_at = []
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", port))
        self._listener.listen(4)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._stopping = threading.Event()

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stopping.set()
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
        except OSError:
            pass
        self._thread.join(5)
        self._listener.close()

    def _serve(self):
        while not self._stopping.is_set():
            conn, _ = self._listener.accept()
            if self._stopping.is_set():
                conn.close()
                return
            commands = []
            self.accepted_at.append(time.monotonic())
            self.connections.append(commands)
            try:
                self._session(conn, commands)
            except OSError:
                pass
            finally:
                conn.close()

    def _session(self, conn, commands):
        """One connection's dialogue; appends each command received to `commands`."""
        raise NotImplementedError

    @staticmethod
    def _commands(conn, commands, greeting):
        """Sends the greeting, then yields each command line (without its line
        end) as it arrives, after recording it, until the client closes."""
        reader = conn.makefile("rb")
        conn.sendall(greeting)
        while True:
            raw = reader.readline()
            if not raw:
                return
            command = raw.rstrip(b"\r\n").decode("latin-1")
            commands.append(command)
            yield command
