"""A memcached of the test's own on loopback, and clients for it."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time

from pymemcache import serde
from pymemcache.client.base import Client

from idp import free_port

MEMCACHED = shutil.which("memcached") or "/usr/bin/memcached"


def client_for(port, cls=Client):
    # pickle: the stored value is a dict. Replies on: otherwise `add` reports
    # success without waiting for the server, and every process takes the lock.
    return cls(("127.0.0.1", port), serde=serde.pickle_serde, default_noreply=False,
               connect_timeout=1, timeout=1)


class Memcached:
    """A memcached of our own on loopback: 64 MiB, the default 1 MiB item size,
    evicting; `flags` adds to or overrides that ("-I", "1k", "-m", "4", "-M",
    "-e", path)."""

    def __init__(self, *flags):
        self.port, self.proc, self.flags, self.started = free_port(), None, list(flags), False

    def start(self):
        # The first start may lose its port to another program between the
        # pick and memcached's bind: it moves to another. A restart keeps the
        # port, as the clients the test made know only that one.
        for attempt in range(1 if self.started else 3):
            if attempt:
                self.port = free_port()
            if self._run():
                self.started = True
                return
        raise RuntimeError(f"memcached did not start on port {self.port}")

    def _run(self):
        memory = [] if "-m" in self.flags else ["-m", "64"]
        cmd = [MEMCACHED, "-l", "127.0.0.1", "-p", str(self.port), "-U", "0", *memory, *self.flags]
        cmd += ["-u", "root"] if os.geteuid() == 0 else []  # it refuses root otherwise
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return True
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    return False
                time.sleep(0.02)

    def stop(self):
        """At once, as a crash: nothing a test's memcached holds outlives the test."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)

    def client(self):
        return client_for(self.port)

    def stats(self):
        return {key.decode(): value for key, value in self.client().stats().items()}
