"""Serving a WSGI application with waitress from a background thread."""

from __future__ import annotations

import threading
from typing import Any

import waitress


class ServerThread:
    """A waitress server on 127.0.0.1 in a daemon thread.

    The socket listens from the moment the object exists, so a client that
    connects before the thread runs is answered as soon as it does.
    """

    def __init__(self, app: Any, port: int, name: str = "waitress") -> None:
        self.server = waitress.create_server(app, host="127.0.0.1", port=port, threads=4)
        self.port: int = self.server.effective_port
        self.thread = threading.Thread(target=self.server.run, name=name, daemon=True)

    def start(self) -> ServerThread:
        self.thread.start()
        return self

    def stop(self, timeout: float = 5) -> None:
        # Closing the listener (and the loop's wake-up pipe) empties the
        # loop's map once the open connections end; the loop then returns.
        self.server.close()
        self.server.task_dispatcher.shutdown(timeout=timeout)
        self.thread.join(timeout)
