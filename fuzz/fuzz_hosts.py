"""Host objects for the fuzzer: what a host passes in, well-behaved or not.

They live in a file of their own because the judge (fuzz_targets.py) tells the
host's exceptions from the module's by where they were raised: anything
raised in this file is the host's, and must come out of the module as the
very object raised.
"""

from __future__ import annotations

import copy

RAISED: list[BaseException] = []  # what host objects raised during the current input


class HostError(Exception):
    """What the host objects raise; it must come out unchanged."""


class HostHalt(BaseException):
    """A host's non-`Exception` error (an interrupt): nothing may absorb it."""


def host_raise(error: BaseException):
    RAISED.append(error)
    raise error


class FakeMemcache:
    """A memcache client in memory with memcached's answers (values copied,
    as a serde would); the calls named in `failing` raise `error` (one
    object, raised again at each call, as some clients keep a connection
    error) or a new HostError."""

    default_noreply = False
    ignore_exc = False
    server = ("127.0.0.1", 11211)

    def __init__(self, failing=(), error=None):
        self.items: dict = {}
        self.failing = set(failing)
        self.error = error

    def _maybe_fail(self, name):
        if name in self.failing:
            host_raise(self.error if self.error is not None else HostError(name))

    def lapse_locks(self):
        """Lock items lapse (memcached drops them after 5 seconds)."""
        for key in [k for k in self.items if isinstance(k, str) and k.endswith("_lock")]:
            del self.items[key]

    def get(self, key):
        self._maybe_fail("get")
        return copy.deepcopy(self.items.get(key))

    def set(self, key, value, *args, **kwargs):
        self._maybe_fail("set")
        self.items[key] = copy.deepcopy(value)
        return True

    def add(self, key, value, *args, **kwargs):
        self._maybe_fail("add")
        if key in self.items:
            return False
        self.items[key] = copy.deepcopy(value)
        return True

    def replace(self, key, value, *args, **kwargs):
        self._maybe_fail("replace")
        if key in self.items:
            self.items[key] = copy.deepcopy(value)
        return key in self.items

    def delete(self, key, *args, **kwargs):
        self._maybe_fail("delete")
        return self.items.pop(key, None) is not None

    def incr(self, key, value, *args, **kwargs):
        self._maybe_fail("incr")
        if key not in self.items:
            return None
        self.items[key] = int(self.items[key]) + int(value)
        return self.items[key]


class Recorder:
    """Stands in for the toolkit object or a module the host rebinds: each
    call answers from `answers` (an exception is raised, a callable called)."""

    def __init__(self, **answers):
        self._answers = answers

    def __getattr__(self, name):
        if name not in self._answers:
            host_raise(AttributeError(name))
        answer = self._answers[name]

        def method(*args, **kwargs):
            if isinstance(answer, BaseException):
                host_raise(answer)
            return answer(*args) if callable(answer) else answer
        return method


class ShortDigests:
    """A replaced hashlib whose sha256 digests are not 32 bytes (or not bytes)."""

    def __init__(self, digest):
        self.digest_value = digest

    def sha256(self, data=b""):
        digest_value = self.digest_value

        class Hash:
            def digest(self):
                if isinstance(digest_value, BaseException):
                    host_raise(digest_value)
                return digest_value

            def hexdigest(self):
                return "00"
        return Hash()


class Recursing:
    """A user whose attribute lookup calls back into the module."""

    def __init__(self, sso):
        self.sso = sso

    def __getattr__(self, name):
        return self.sso._get_mapped_user_id({"mail": ["alice@example.com"]})


class Odd(Exception):
    """An exception class of the host's."""


def returning(value):
    """An exception class whose construction returns `value`."""

    class Built(Exception):
        def __new__(cls, *args):
            return value

    return Built
