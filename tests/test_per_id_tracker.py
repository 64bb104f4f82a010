"""Replay protection with one memcache item per accepted id: the settings it
refuses, what it tells memcached, real memcached servers alone and as a
HashClient cluster, raced by worker processes and losing a server."""

from __future__ import annotations

import dataclasses
import hashlib
import math
import re
import time
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pymemcache.client.base import Client, PooledClient
from pymemcache.client.hash import HashClient

import tavrel_saml.saml as saml
from conftest import idp_config
from memcached import Memcached, client_for
from test_hostile_inputs import SETTINGS, Answering, Boom, Halt, values
from test_memcache_tracker import DUPLICATE, START_UP, FakeClock, attempt_login, run_workers, spread, tally

Tracker = saml.SamlDuplicateResponsesTrackerInMemcachePerId
ROOT = "site_saml_responses_per_id"
LOADED = dict(default_noreply=False, connect_timeout=1, timeout=1)


def cluster_client(ports, **settings):
    if len(ports) == 1:
        return client_for(ports[0])
    return HashClient([("127.0.0.1", port) for port in ports], **{**LOADED, "retry_attempts": 1,
                                                                   "retry_timeout": 0, **settings})


def item_key(req_id, generation=0):
    return f"{ROOT}_{generation}_{hashlib.sha256(req_id.encode()).hexdigest()[:32]}"


@pytest.fixture
def cluster():
    servers = [Memcached() for _ in range(3)]
    for server in servers:
        server.start()
    yield servers
    for server in servers:
        server.stop()


class Recording:
    """A client whose answers the test sets; records every call."""

    def __init__(self, **answers):
        self.answers, self.calls, self.server = answers, [], ("127.0.0.1", 1)
        self.default_noreply = self.ignore_exc = False

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, *args, kwargs))
            answer = self.answers.get(name)
            if isinstance(answer, BaseException):
                raise answer
            return answer
        return call


@pytest.mark.parametrize("make, root, setting", [
    (lambda port: Client(("127.0.0.1", port)), "site", "default_noreply=True"),
    (lambda port: Client(("127.0.0.1", port), default_noreply=False, ignore_exc=True), "site", "ignore_exc=True"),
    (lambda port: PooledClient(("127.0.0.1", port)), "site", "default_noreply=True"),
    (lambda port: HashClient([("127.0.0.1", port)]), "site", "default_noreply=True"),
    (lambda port: HashClient([("127.0.0.1", port)], default_noreply=False, ignore_exc=True), "site",
     "ignore_exc=True"),
    (lambda port: HashClient([], default_noreply=False), "site", "no servers"),
    (lambda port: client_for(port), "my site", "memcache_root_key"),
    (lambda port: client_for(port), "s\u00efte", "memcache_root_key"),
    (lambda port: client_for(port), "x" * 140, "memcache_root_key"),
])
def test_untrustworthy_clients_and_keys_refused_at_construction(make, root, setting):
    with pytest.raises(ValueError, match=setting):
        Tracker(make(1), root)  # nothing listens on port 1: construction sends nothing


@pytest.mark.parametrize("expires_in, ttl", [
    (300.2, 301), (0.5, 1), (-50, 1),                # never 0: memcached would keep it for ever
    (30 * 86400, 30 * 86400),
    (40 * 86400, 1000 + 40 * 86400),                 # past 30 days memcached wants the absolute time
    (math.inf, 2**31 - 1),
])
def test_time_to_live_told_to_memcached(monkeypatch, expires_in, ttl):
    monkeypatch.setattr(saml, "time", FakeClock())
    mc = Recording(get=None, add=True)
    Tracker(mc, "site").add("_a", 1000.0 + expires_in)
    assert mc.calls[-1] == ("add", item_key("_a"), b"1", ttl, {"noreply": False})


@pytest.mark.parametrize("expiration, ttl", [(10**400, 2**31 - 1), (-10**400, 1)])
def test_expirations_past_a_float_kept_as_long_as_memcached_can(expiration, ttl):
    mc = Recording(get=None, add=True)
    Tracker(mc, "site").add("_a", expiration)
    assert mc.calls[-1][3] == ttl


@pytest.mark.parametrize("digest, error", [
    (b"\x01" * 4, "returned 4 bytes, not 32"), (b"\x01" * 64, "returned 64 bytes, not 32"),
    ("x" * 32, "returned str, not 32 bytes"),
])
def test_digest_of_a_replaced_hashlib_checked_before_use(monkeypatch, digest, error):
    import sys
    import types

    fake = types.ModuleType("hashlib")
    fake.sha256 = lambda data: types.SimpleNamespace(digest=lambda: digest)
    tracker = Tracker(Recording(get=None), "site")
    monkeypatch.setitem(sys.modules, "hashlib", fake)
    for call in (lambda: Tracker(Recording(), "site"), lambda: tracker.is_seen("_a")):  # server seeds, ids
        with pytest.raises(RuntimeError, match=rf"^hashlib.sha256\(\).digest\(\) {error}$"):
            call()


@pytest.mark.parametrize("answers, call, error", [
    ({"get": None, "add": None}, ("add", "_a", 2e9), "Untrustworthy answer .* None"),
    ({"get": b"one"}, ("is_seen", "_a"), "Untrustworthy answer .* b'one'"),
    ({"get": OSError("unreachable")}, ("is_seen", "_a"), "^Can not read saml responses storage at 127.0.0.1:1$"),
    ({"get": None, "add": OSError("unreachable")}, ("add", "_a", 2e9), "^Can not store saml response at"),
    ({"incr": OSError("unreachable")}, ("reset",), "^Can not reset saml responses storage at"),
])
def test_client_failures_refuse_the_sign_in(answers, call, error):
    with pytest.raises(RuntimeError, match=error) as raised:
        getattr(Tracker(Recording(**answers), "site"), call[0])(*call[1:])
    assert not isinstance(raised.value.__cause__, RuntimeError)


@pytest.mark.parametrize("req_id, error", [(5, TypeError), (None, TypeError)])
def test_ids_other_than_text_refused(req_id, error):
    with pytest.raises(error):
        Tracker(Recording(get=None), "site").is_seen(req_id)


@pytest.mark.parametrize("req_id", ["_" + "x" * 10_000, "id with spaces\r\nand control\x00", "\u00efd\ud800", b"\xff"])
def test_any_id_fits_one_short_key(memcached, req_id):
    tracker = Tracker(memcached.client(), "site")
    tracker.add(req_id, time.time() + 60)
    assert tracker.is_seen(req_id) and not tracker.is_seen(req_id[:-1])
    assert memcached.stats()["curr_items"] == 1


def test_ids_live_until_their_expiry(memcached):
    tracker, now = Tracker(memcached.client(), "site"), time.time()
    tracker.add("_short", now + 1.5)
    tracker.add("_far", now + 40 * 86400)
    assert tracker.is_seen("_short") and tracker.is_seen("_far")
    time.sleep(2.1)
    tracker.cleanup_expired()
    assert not tracker.is_seen("_short") and tracker.is_seen("_far")


def test_one_sign_on_costs_five_round_trips_and_a_replay_is_refused(memcached, idp, issue):
    class Counting(Client):
        calls = []

        def get(self, key, *args, **kwargs):
            self.calls.append("get")
            return super().get(key, *args, **kwargs)

        def add(self, key, *args, **kwargs):
            self.calls.append("add")
            return super().add(key, *args, **kwargs)

    tracker, config, response = Tracker(client_for(memcached.port, Counting), "site"), idp_config(idp), issue()
    assert attempt_login(config, response, tracker) == "accepted"
    assert Counting.calls == ["get", "get", "get", "add", "add"]  # generation, two ids, two claims
    renamed = dataclasses.replace(response, xml=response.xml.replace(response.response_id, "_" + uuid.uuid4().hex))
    assert [attempt_login(config, r, tracker) for r in (response, renamed)] == [DUPLICATE] * 2


def test_reset_forgets_for_every_process(memcached):
    worker, admin, expires = Tracker(memcached.client(), "site"), Tracker(memcached.client(), "site"), time.time() + 60
    worker.add("_a", expires)
    with worker.lock():
        assert worker.is_seen("_a")
        admin.reset()
    for _ in range(2):  # reset on a fresh store, then again
        assert not worker.is_seen("_a") and not Tracker(memcached.client(), "site").is_seen("_a")
        worker.add("_a", expires)
        with worker.lock():
            assert worker.is_seen("_a")
        admin.reset()
    assert Tracker(memcached.client(), "other").is_seen("_a") is False


def test_lost_race_is_the_duplicate_message(memcached, caplog):
    first, second = Tracker(memcached.client(), "site"), Tracker(memcached.client(), "site")
    with first.lock(), second.lock():
        assert not first.is_seen("_a") and not second.is_seen("_a")  # both posts checked at once
        first.add("_a", time.time() + 60)
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            second.add("_a", time.time() + 60)
    assert [r.getMessage() for r in caplog.records if r.name == "root"] == ["Detected duplicate SAML response _a"]


def _per_id_worker(ports, config, posts, barrier, results, pause):
    tracker = Tracker(cluster_client(ports), "site")
    barrier.wait(timeout=START_UP)
    for index, b64 in posts:
        started = time.monotonic()
        results.put((index, attempt_login(config, b64, tracker), time.monotonic() - started))
        time.sleep(pause)
    results.put((None, "done", 0.0))


@pytest.mark.long
@pytest.mark.parametrize("servers", [1, 3])
def test_eight_processes_accept_each_response_once(cluster, idp, issue, servers):
    ports, config = [s.port for s in cluster[:servers]], idp_config(idp)
    same = issue()
    renamed = [dataclasses.replace(same, xml=same.xml.replace(same.response_id, "_" + uuid.uuid4().hex))
               for _ in range(4)]
    outcomes = run_workers(ports, config, [[(0, same.b64)]] * 4 + [[(0, r.b64)] for r in renamed],
                           worker=_per_id_worker)
    assert tally(outcomes)[0] == {"accepted": 1, DUPLICATE: 7}
    responses = [issue() for _ in range(32)]
    outcomes = run_workers(ports, config, spread(responses, 8, 3), worker=_per_id_worker)
    assert len(outcomes) == 96 and all(c == {"accepted": 1, DUPLICATE: 2} for c in tally(outcomes).values())
    if servers > 1:
        assert all(s.stats()["curr_items"] > 5 for s in cluster)  # the ids spread over every server


@pytest.mark.long
def test_server_lost_mid_run_refuses_its_ids_and_accepts_no_replay(cluster, idp, issue):
    ports, config = [s.port for s in cluster], idp_config(idp)
    earlier = [issue() for _ in range(12)]
    survivor = Tracker(cluster_client(ports), "site")
    assert [attempt_login(config, r, survivor) for r in earlier] == ["accepted"] * 12
    responses = [issue() for _ in range(40)]
    outcomes = run_workers(ports, config, spread(responses, 8, 2), pause=0.05, worker=_per_id_worker,
                           on_outcome=lambda count: count == 16 and cluster[1].stop())
    counts = tally(outcomes)
    assert all(c["accepted"] <= 1 for c in counts.values())
    failed = {o for _, o, _ in outcomes if o not in ("accepted", DUPLICATE)}
    assert failed and all(o.startswith(f"RuntimeError: Can not ") and f":{ports[1]}" in o for o in failed)
    assert sum(c["accepted"] == 1 for c in counts.values()) > 10  # the other servers go on signing in
    # Long after the HashClient dropped the dead server from its ring, no
    # earlier response is accepted again, wherever its ids lived.
    for _ in range(3):
        assert {attempt_login(config, r, survivor) for r in earlier} <= {
            DUPLICATE, f"RuntimeError: Can not read saml responses storage at 127.0.0.1:{ports[1]}"}


OWN_RUNTIME_TEXTS = re.compile(r"^(Can not (read saml responses storage|store saml response|reset saml responses "
                               r"storage) at |Untrustworthy answer from saml responses storage at )")


class HostileClient(Answering):
    """Drawn answers to every call, keywords accepted; remembers what its
    `add` answered last."""

    def __init__(self, answers, default_noreply, ignore_exc):
        super().__init__(answers, lambda name: None if name in ("get", "incr") else True)
        self.default_noreply, self.ignore_exc, self.added = default_noreply, ignore_exc, []

    def __getattr__(self, name):
        answer = super().__getattr__(name)

        def call(*args, **kwargs):
            result = answer(*args)
            if name == "add":
                self.added.append(result)
            return result
        return call


@settings(max_examples=300, **SETTINGS)
@given(answers=st.dictionaries(st.sampled_from(["get", "add", "incr"]),
                               st.lists(st.sampled_from([Boom, Halt]) | values, max_size=3).map(iter)),
       flags=st.tuples(st.just(False) | values, st.just(False) | values), root=st.just("site") | values,
       ids=st.lists(st.just("_a") | values, max_size=2), expiration=st.just(2e9) | values)
def test_hostile_clients_and_arguments_end_in_exceptions_and_accept_only_a_true_claim(
        answers, flags, root, ids, expiration):
    mc = HostileClient(answers, *flags)

    def outcome(fn, *args):
        try:
            return fn(*args)
        except (Boom, Halt, TypeError, ValueError, AttributeError, OverflowError) as error:
            return error
        except RuntimeError as error:
            assert OWN_RUNTIME_TEXTS.match(str(error)) or isinstance(error.__cause__, Boom), repr(error)
            return error

    tracker = outcome(Tracker, mc, root)
    if not isinstance(tracker, Tracker):
        return
    with tracker.lock():
        for req_id in ids:
            outcome(tracker.is_seen, req_id)
            mc.added.clear()
            if outcome(tracker.add, req_id, expiration) is None:
                assert mc.added == [True], "an id accepted without memcached's claim"
    outcome(tracker.reset)
