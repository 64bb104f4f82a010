"""A held tracker lock that is dropped without leaving its `with` statement
gives the lock back, and a release that fails is reported as unraisable, as a
Python generator's would be. Each case runs in a process of its own, so that
a crash fails its test instead of ending the suite (the sanitizer build's
environment passes through to it)."""

import subprocess
import sys
import textwrap

import pytest

LOCK = "k_saml_responses_tracker_lock"

PRELUDE = f"""
import gc, sys, threading
sys.path[:0] = {sys.path!r}
from pymemcache.client.base import Client
from pymemcache.exceptions import MemcacheServerError
import tavrel_saml.saml as saml
from memcached import client_for

class DeleteFails(Client):
    def delete(self, key, noreply=None):
        raise MemcacheServerError("server is going away")

port = int(sys.argv[1])
"""

CASES = {
    "memcache release fails": ("""
        cm = saml.SamlDuplicateResponsesTrackerInMemcache(client_for(port, DeleteFails), "k").lock()
        cm.__enter__()
        del cm
    """, "MemcacheServerError: server is going away"),
    "in-memory lock dropped in another thread": ("""
        cm = saml.SamlDuplicateResponsesTrackerInMemory().lock()
        entering = threading.Thread(target=cm.__enter__)
        entering.start(); entering.join()
        del cm
    """, "RuntimeError: cannot release un-acquired lock"),
    "held lock in a cycle with its tracker": ("""
        t = saml.SamlDuplicateResponsesTrackerInMemcache(client_for(port), "k")
        t.pending = t.lock(); t.pending.__enter__()
        del t
        gc.collect()
    """, None),
    "held lock in a cycle, release fails": ("""
        t = saml.SamlDuplicateResponsesTrackerInMemcache(client_for(port, DeleteFails), "k")
        t.pending = t.lock(); t.pending.__enter__()
        del t
        gc.collect()
    """, "MemcacheServerError: server is going away"),
}


@pytest.mark.parametrize("case", CASES)
def test_dropped_lock(memcached, case):
    body, unraisable = CASES[case]
    script = PRELUDE + textwrap.dedent(body) + "print('went on')\n"
    run = subprocess.run([sys.executable, "-c", script, str(memcached.port)],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, "went on\n"), run.stderr
    if unraisable:
        assert "Exception ignored in: <tavrel_saml.saml._lock_generator" in run.stderr
        assert unraisable in run.stderr
    else:
        assert run.stderr == ""
        # Collected with its tracker intact, the lock was given back.
        assert memcached.client().get(LOCK) is None
