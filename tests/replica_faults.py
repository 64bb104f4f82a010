"""Replay records kept on several memcached servers, and one server's fault
at a time: a restart that empties it, a kill, a hang (SIGSTOP), a kill
followed by a return with nothing. Shared by the tests and the benchmark
(bench/replay.py) that measures what each fault lets through."""

from __future__ import annotations

import dataclasses
import os
import signal
import uuid

from pymemcache.client.base import Client
from pymemcache.client.hash import HashClient

import tavrel_saml.saml as saml

Tracker = saml.SamlDuplicateResponsesTrackerInMemcachePerId
FAULTS = ("restart", "kill", "hang", "back empty")
# Short, so that a hung server costs a test little; the tracker waits for a
# hung server no longer than this, once per sign-on.
TIMEOUT = 0.5


class CountingClient(Client):
    """Counts the requests that timed out: the failures that cost a
    sign-on time (a refused connection fails at once)."""

    failures = 0

    def _fetch_cmd(self, *args, **kwargs):
        return self._counted(super()._fetch_cmd, *args, **kwargs)

    def _store_cmd(self, *args, **kwargs):
        return self._counted(super()._store_cmd, *args, **kwargs)

    def _counted(self, fn, *args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except TimeoutError:
            CountingClient.failures += 1
            raise


class CountingHashClient(HashClient):
    client_class = CountingClient


def cluster_client(ports, timeout=TIMEOUT):
    return CountingHashClient([("127.0.0.1", port) for port in ports], default_noreply=False,
                              connect_timeout=timeout, timeout=timeout, retry_attempts=1, retry_timeout=0)


def renamed(response):
    """The captured response posted again under a Response ID of the
    attacker's (the signature covers the assertion only)."""
    return dataclasses.replace(response, xml=response.xml.replace(response.response_id, "_" + uuid.uuid4().hex))


class Fault:
    """One server's fault. `undo` always leaves the process running or gone,
    never stopped: call it in a `finally`."""

    def __init__(self, kind, server):
        self.kind, self.server, self.stopped = kind, server, False

    def apply(self):
        if self.kind == "hang":
            os.kill(self.server.proc.pid, signal.SIGSTOP)
            self.stopped = True
        else:
            self.server.stop()
            if self.kind == "restart":
                self.server.start()

    def recover(self):
        """The end of a hang, the return of a killed server (empty)."""
        if self.kind == "hang":
            self.undo()
        elif self.kind == "back empty":
            self.server.start()

    def undo(self):
        if self.stopped:
            os.kill(self.server.proc.pid, signal.SIGCONT)
            self.stopped = False
