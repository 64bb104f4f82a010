"""Inputs that once killed the process or built what the interpreter never
builds: each ends in an ordinary exception. The crash cases run in a process
of their own, so that a crash fails its test instead of ending the suite."""

import subprocess
import sys
import textwrap

import pytest

import tavrel_saml.saml as saml

PRELUDE = f"""
import sys, threading
sys.path[:0] = {sys.path!r}
import tavrel_saml.saml as saml

def outcome(fn):
    try:
        fn()
    except BaseException as e:
        print(type(e).__name__, e)
    else:
        print("no error")
"""

# A users entry whose attribute lookup calls back into the module: the
# recursion ends at the interpreter's limit, in the main thread and in a
# thread with a small stack, as the same classes in plain Python do.
RECURSION = """
cfg = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
cfg.saml_auth_attribute, cfg.user_config_attribute = "mail", "email"
cfg.saml_auth_regex, cfg.idp_config = None, {"idp_name": "x"}

class Reentrant:
    def __getattr__(self, name):
        return cfg._get_mapped_user_id({"mail": ["a@b"]})

cfg.users = {"u": Reentrant()}
run = lambda: outcome(lambda: cfg._get_mapped_user_id({"mail": ["a@b"]}))
"""

THROW = """
class Made(Exception):
    def __new__(cls, *args):
        return RETURNED
tracker = saml.SamlDuplicateResponsesTrackerInMemory()
lock = tracker.lock()
def throw():
    lock.__enter__()
    lock.gen.throw(Made)
def released():
    # What a generator does with a class that makes no exception: that
    # TypeError is thrown in, the generator ends and gives the lock back.
    other = threading.Thread(target=lambda: print("released", tracker._lock.acquire(blocking=False)))
    other.start(); other.join()
    outcome(lambda: next(lock.gen))
"""

REBOUND_ERROR = """
from idp import TestIdentityProvider
from conftest import ACS_URL, SP_ENTITY_ID, acs_request, idp_config
idp = TestIdentityProvider()
response = idp.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID)
request = acs_request(response, relay_state="https://evil.example/x")
config = saml.SamlIDPConfig(idp_config(idp), request, {})
saml.OneLogin_Saml2_Error = lambda *args: "not an exception"
"""

CASES = {
    "recursion, main thread": (RECURSION + "run()", "RecursionError"),
    "recursion, 2 MiB thread": (RECURSION + """
threading.stack_size(2 * 1024 * 1024)
t = threading.Thread(target=run); t.start(); t.join()
""", "RecursionError"),
    # Past any limit the interpreter keeps, the stack itself is the bound.
    "recursion, no limit, 512 KiB thread": (RECURSION + """
sys.setrecursionlimit(1_000_000)
threading.stack_size(512 * 1024)
t = threading.Thread(target=run); t.start(); t.join()
""", "RecursionError"),
    "throw: class makes a str": (THROW.replace("RETURNED", "'text'") + "outcome(throw); released()",
                                 "TypeError calling <class '__main__.Made'> should have "
                                 "returned an instance of BaseException, not str"),
    "throw: class makes an int": (THROW.replace("RETURNED", "7") + "outcome(throw); released()",
                                  "TypeError calling"),
    "throw: class makes a list": (THROW.replace("RETURNED", "[]") + "outcome(throw); released()",
                                  "TypeError calling"),
    "rebound toolkit error class": (REBOUND_ERROR + "outcome(config.get_return_to_url)",
                                    "TypeError exceptions must derive from BaseException"),
}


@pytest.mark.parametrize("case", CASES)
def test_ends_in_an_exception(case):
    body, expected = CASES[case]
    run = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.startswith(expected), run.stdout + run.stderr[-2000:]
    if "released()" in body:
        assert run.stdout.splitlines()[1:] == ["released True", "StopIteration "], run.stdout


class StoredError(Exception):
    """One connection error that a client keeps and raises again."""


class FailingClient:
    """A memcache client that takes the lock, then fails every call with the
    same stored exception, the release included."""

    def __init__(self):
        self.error = StoredError("connection lost")

    def add(self, key, value, expire=0, noreply=None):
        return True

    def get(self, key):
        raise self.error

    delete = get


class Auth:
    def get_last_message_id(self):
        return "response-1"

    def get_last_assertion_id(self):
        return "assertion-1"


class SubclassedTracker(saml.SamlDuplicateResponsesTrackerInMemcache):
    """A subclass takes the contextlib road of `lock()`."""


@pytest.mark.parametrize("tracker_class", [saml.SamlDuplicateResponsesTrackerInMemcache,
                                           SubclassedTracker],
                         ids=["direct road", "contextlib road"])
def test_release_failing_with_the_body_error_raises_it_once(tracker_class):
    client = FailingClient()
    config = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
    config.saml_auth = Auth()
    config.responses_tracker = tracker_class(client, "k")
    with pytest.raises(StoredError) as raised:
        config.reject_duplicated_response()
    assert raised.value is client.error
    assert raised.value.__context__ is not raised.value


def test_context_cycles_are_cut_as_the_interpreter_cuts_them():
    """A release error whose own context leads back to the body's error."""
    body_error, release_error = StoredError("body"), StoredError("release")
    body_error.__context__ = release_error

    class Client(FailingClient):
        def get(self, key):
            raise body_error

        def delete(self, key, noreply=None):
            raise release_error

    config = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
    config.saml_auth = Auth()
    config.responses_tracker = saml.SamlDuplicateResponsesTrackerInMemcache(Client(), "k")
    with pytest.raises(StoredError) as raised:
        config.reject_duplicated_response()
    assert raised.value is release_error
    assert release_error.__context__ is body_error
    assert body_error.__context__ is None
