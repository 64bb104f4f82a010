"""Replay protection shared through memcache: the exact client calls, then a
real memcached shared by several worker processes, its failures, and how
much one memcache item holds."""

from __future__ import annotations

import dataclasses
import multiprocessing
import queue
import time
import uuid
from collections import Counter, defaultdict
from contextlib import nullcontext
from operator import methodcaller

import pytest
from pymemcache import serde
from pymemcache.client.base import Client, PooledClient
from pymemcache.client.hash import HashClient
from pymemcache.exceptions import MemcacheServerError

import tavrel_saml.saml as saml
from conftest import acs_request, idp_config
from memcached import client_for

Tracker = saml.SamlDuplicateResponsesTrackerInMemcache
KEY = "site_saml_responses_tracker"
LOCK = KEY + "_lock"
DUPLICATE = "ValueError: Duplicated SAML response"
# How long the worker processes of run_workers may take to start, all of
# them: the fork server's imports are slow on a loaded machine, and are not
# what the hang bound is about.
START_UP = 180


class RecordingClient:
    """Memcache over a dict. Records every call, mappings copied as they were
    at the call; positional parameters only, as the tracker promises."""

    def __init__(self, data=None, set_ok=True, add_answers=()):
        self.data, self.set_ok, self.calls, self.add_answers = dict(data or {}), set_ok, [], iter(add_answers)

    def _record(self, *call):
        self.calls.append(tuple(dict(a) if isinstance(a, dict) else a for a in call))

    def get(self, key, /):
        self._record("get", key)
        return None if self.data.get(key) is None else dict(self.data[key])

    def set(self, key, value, /):
        self._record("set", key, value)
        if self.set_ok:
            self.data[key] = dict(value)
        return self.set_ok

    def add(self, key, value, expire, /):
        self._record("add", key, value, expire)
        return next(self.add_answers, True)

    def replace(self, key, value, /):
        self._record("replace", key, value)
        self.data[key] = dict(value)

    def delete(self, key, /):
        self._record("delete", key)


class FakeClock:
    """Stands in for the module's `time`: a sleep advances the clock at once."""

    def __init__(self):
        self.now, self.sleeps = 1000.0, []

    def time(self):
        return self.now

    monotonic = time

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


def attempt_login(config, response, tracker):
    """One post to the assertion consumer service; the outcome as text."""
    try:
        saml.SamlIDPConfig(config, acs_request(response), {}, tracker).process_saml_response()
        return "accepted"
    except Exception as e:
        return f"{type(e).__name__}: {e}"


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(saml, "time", fake)
    return fake


@pytest.mark.parametrize("root, key", [("site", KEY), (42, "42_saml_responses_tracker")])
def test_keys_and_nothing_sent_at_construction(root, key):
    mc = RecordingClient()
    tracker = Tracker(mc, root)
    assert (tracker.key, tracker.lock_key) == (key, key + "_lock")
    assert (tracker.memcache_lock_sleep_interval, tracker.my_proc_uid) == (0.1, "")
    assert tracker._seen_responses is None and mc.calls == []


@pytest.mark.parametrize("stored, seen, calls", [
    (None, False, [("get", KEY), ("set", KEY, {})]),
    ({}, False, [("get", KEY)]),
    ({"_a": 5}, True, [("get", KEY)]),
])
def test_first_use_loads_the_mapping_once(stored, seen, calls):
    mc = RecordingClient({} if stored is None else {KEY: stored})
    tracker = Tracker(mc, "site")
    assert tracker.is_seen("_a") is seen
    assert tracker.is_seen("_a") is seen and mc.calls == calls


@pytest.mark.parametrize("first_use", [methodcaller("is_seen", "_a"), methodcaller("add", "_a", 5.0),
                                       methodcaller("cleanup_expired")], ids=["is_seen", "add", "cleanup"])
def test_storage_that_cannot_be_initialised(first_use):
    mc = RecordingClient(set_ok=False)
    tracker = Tracker(mc, "site")
    with pytest.raises(RuntimeError, match="^Can not init saml responses storage$"):
        first_use(tracker)
    assert mc.calls == [("get", KEY), ("set", KEY, {})]
    assert tracker.is_seen("_a") is False and len(mc.calls) == 2  # no second attempt


@pytest.mark.parametrize("set_ok", [True, False])
def test_add_writes_the_whole_mapping(set_ok):
    mc = RecordingClient({KEY: {"_old": 7.0}}, set_ok=set_ok)
    tracker = Tracker(mc, "site")
    with nullcontext() if set_ok else pytest.raises(RuntimeError, match="^Can not store saml response$"):
        tracker.add("_new", 9.5)
    assert mc.calls == [("get", KEY), ("set", KEY, {"_old": 7.0, "_new": 9.5})]
    assert tracker.is_seen("_new")


@pytest.mark.parametrize("stored, kept", [
    ({}, {}),
    ({"_a": 1000.5}, {"_a": 1000.5}),
    ({"_a": 999, "_b": 1000.0, "_c": 1000.5}, {"_c": 1000.5}),  # expiring exactly now is expired
])
def test_cleanup_writes_only_when_something_expired(clock, stored, kept):
    mc = RecordingClient({KEY: stored})
    Tracker(mc, "site").cleanup_expired()
    assert mc.calls == [("get", KEY)] + ([] if kept == stored else [("replace", KEY, kept)])


@pytest.mark.parametrize("answers, draws", [([True], []), ([False, False, True], [0.0, 0.75])])
def test_lock_polls_with_random_waits(clock, monkeypatch, answers, draws):
    monkeypatch.setattr(saml, "random", iter(draws).__next__)
    mc = RecordingClient(add_answers=answers)
    with Tracker(mc, "site", 0.2, "worker-7").lock() as entered:
        assert entered is None
    assert clock.sleeps == pytest.approx([draw * 0.2 for draw in draws])
    assert mc.calls == [("add", LOCK, "worker-7", 5)] * len(answers) + [("delete", LOCK)]


@pytest.mark.parametrize("error", [None, ValueError("Duplicated SAML response"), KeyboardInterrupt()])
def test_lock_released_on_every_exit(error):
    mc = RecordingClient()
    with pytest.raises(type(error)) if error else nullcontext() as raised:
        with Tracker(mc, "site").lock():
            if error:
                raise error
    assert error is None or raised.value is error
    assert mc.calls == [("add", LOCK, "", 5), ("delete", LOCK)]


def test_lock_gives_up_after_ten_seconds(clock):
    mc = RecordingClient(add_answers=[False] * 100_000)
    with pytest.raises(RuntimeError, match="^Can not lock saml responses storage$"):
        with Tracker(mc, "site").lock():
            pytest.fail("the body ran without the lock")
    assert 10.0 <= clock.now - 1000.0 < 10.1
    assert {call[0] for call in mc.calls} == {"add"}


def test_long_lived_instance_reads_again_under_the_lock():
    mc = RecordingClient({KEY: {"_a": 5.0}})
    tracker = Tracker(mc, "site")
    assert not tracker.is_seen("_b")
    mc.data[KEY] = {"_a": 5.0, "_b": 6.0}  # another worker recorded _b meanwhile
    with tracker.lock():
        assert tracker.is_seen("_b")
        tracker.add("_c", 7.0)
    assert mc.calls == [("get", KEY), ("add", LOCK, "", 5), ("get", KEY),
                        ("set", KEY, {"_a": 5.0, "_b": 6.0, "_c": 7.0}), ("delete", LOCK)]


@pytest.mark.parametrize("stored", [None, {"_gone": 1.0}, "assertion seen"])
def test_calls_of_one_login_on_a_fresh_instance(idp, issue, stored):
    response = issue()
    rid, aid, exp = response.response_id, response.assertion_id, response.not_on_or_after
    replay = stored == "assertion seen"  # as when posted again under a new Response ID
    mc = RecordingClient({} if stored is None else {KEY: {aid: exp} if replay else stored})
    before = stored or {}
    writes = [] if replay else ([("set", KEY, {})] if stored is None else []) + [
        ("set", KEY, {**before, rid: exp}), ("set", KEY, {**before, rid: exp, aid: exp}),
    ] + ([("replace", KEY, {rid: exp, aid: exp})] if before else [])
    assert attempt_login(idp_config(idp), response, Tracker(mc, "site")) == (DUPLICATE if replay else "accepted")
    assert mc.calls == [("add", LOCK, "", 5), ("get", KEY), *writes, ("delete", LOCK)]


def test_contract_shared_between_instances(memcached):
    now = time.time()
    writer = Tracker(memcached.client(), "site")
    writer.add("_live", now + 60)
    writer.add("_stale", now - 1)
    reader = Tracker(memcached.client(), "site")
    assert reader.is_seen("_live") and reader.is_seen("_stale") and not reader.is_seen("_other")
    assert not Tracker(memcached.client(), "other-site").is_seen("_live")
    reader.cleanup_expired()
    assert memcached.client().get(KEY) == {"_live": now + 60}
    Tracker(memcached.client(), "site").reset()
    assert not Tracker(memcached.client(), "site").is_seen("_live")


def test_lock_excludes_the_same_key_only(memcached, clock):
    mc = memcached.client()
    with Tracker(memcached.client(), "site", my_proc_uid="first").lock():
        with pytest.raises(RuntimeError, match="^Can not lock"), Tracker(memcached.client(), "site").lock():
            pass
        with Tracker(memcached.client(), "other-site").lock():
            assert mc.get(LOCK) == "first"  # the refused waiter left the holder's item alone
    assert mc.get(LOCK) is None


def test_long_lived_workers_keep_each_others_records(memcached, idp, issue):
    config, workers = idp_config(idp), [Tracker(memcached.client(), "site") for _ in range(2)]
    first, second, third = issue(), issue(), issue()
    assert [attempt_login(config, r, workers[w]) for w, r in [(0, first), (1, second), (0, third)]] == ["accepted"] * 3
    assert set(memcached.client().get(KEY)) == {i for r in (first, second, third) for i in (r.response_id, r.assertion_id)}
    new_id = "_" + uuid.uuid4().hex  # a captured response posted under a new Response ID
    renamed = dataclasses.replace(third, xml=third.xml.replace(third.response_id, new_id))
    for worker, replay in [(1, first), (0, second), (1, renamed)]:
        assert attempt_login(config, replay, workers[worker]) == DUPLICATE
        assert memcached.client().get(LOCK) is None  # a refused replay does not hold up other logins


def _login_worker(port, config, posts, barrier, results, pause):
    """One worker process: its own client and tracker, kept for all its posts."""
    tracker = Tracker(client_for(port), "site")
    barrier.wait(timeout=START_UP)
    for index, b64 in posts:
        started = time.monotonic()
        outcome = attempt_login(config, b64, tracker)
        results.put((index, outcome, time.monotonic() - started))
        time.sleep(pause)
    results.put((None, "done", 0.0))


def worker_context():
    """Worker processes are forked from a server process that imported the
    module and these tests once (it finds them through the parent's sys.path,
    which it is handed): each is a process of its own, with its own module
    state, without a second of start-up each."""
    ctx = multiprocessing.get_context("forkserver")
    ctx.set_forkserver_preload(["tavrel_saml.saml", "test_memcache_tracker", "test_per_id_tracker", "test_replicas"])
    return ctx


def run_workers(port, config, posts_per_process, on_outcome=lambda count: None, pause=0.0, timeout=45,
                worker=_login_worker):
    """Starts one process per list of posts, all released at once; returns
    (index, outcome, seconds) per post. Fails if any process outlives `timeout`
    after the release."""
    ctx = worker_context()
    # This process is a party too, so that the deadline runs from the release.
    barrier, results = ctx.Barrier(len(posts_per_process) + 1), ctx.Queue()
    procs = [ctx.Process(target=worker, args=(port, config, posts, barrier, results, pause), daemon=True)
             for posts in posts_per_process]
    for proc in procs:
        proc.start()
    outcomes, done, deadline = [], 0, time.monotonic() + START_UP
    try:
        barrier.wait(timeout=START_UP)
        deadline = time.monotonic() + timeout
        while done < len(procs) and time.monotonic() < deadline:
            try:
                item = results.get(timeout=0.5)
            except queue.Empty:
                if not any(proc.is_alive() for proc in procs):
                    break
                continue
            if item[0] is None:
                done += 1
            else:
                outcomes.append(item)
                on_outcome(len(outcomes))
    finally:
        for proc in procs:
            proc.join(max(0.1, deadline - time.monotonic()))
        hung = [proc.pid for proc in procs if proc.is_alive()]
        for proc in filter(multiprocessing.Process.is_alive, procs):
            proc.kill()
            proc.join(5)
    assert not hung and done == len(procs), f"workers hung or died: {hung}, {done} of {len(procs)} finished"
    return outcomes


def spread(responses, processes, copies):
    """Each response goes to `copies` different processes; each process posts
    in index order, so the copies of one response are in flight together."""
    posts = [[] for _ in range(processes)]
    for index, response in enumerate(responses):
        for copy in range(copies):
            posts[(index + 3 * copy) % processes].append((index, response.b64))
    return posts


def tally(outcomes):
    by_response = defaultdict(Counter)
    for index, outcome, _ in outcomes:
        by_response[index][outcome] += 1
    return by_response


@pytest.mark.long
def test_same_response_from_eight_processes_accepted_once(memcached, idp, issue):
    # Half the processes post the response as issued, half a captured copy
    # under a Response ID of their own: still one acceptance in all.
    response = issue()
    copies = [dataclasses.replace(response, xml=response.xml.replace(response.response_id, "_" + uuid.uuid4().hex))
              for _ in range(4)]
    posts = [[(0, response.b64)]] * 4 + [[(0, copy.b64)] for copy in copies]
    outcomes = run_workers(memcached.port, idp_config(idp), posts)
    assert tally(outcomes)[0] == {"accepted": 1, DUPLICATE: 7}


@pytest.mark.long
def test_many_responses_in_flight_each_accepted_once(memcached, idp, issue):
    responses = [issue() for _ in range(32)]
    outcomes = run_workers(memcached.port, idp_config(idp), spread(responses, 8, 3))
    assert len(outcomes) == 96
    assert all(counts == {"accepted": 1, DUPLICATE: 2} for counts in tally(outcomes).values())
    assert set(memcached.client().get(KEY)) == {i for r in responses for i in (r.response_id, r.assertion_id)}


@pytest.mark.long
def test_memcached_lost_under_load_then_restarted(memcached, idp, issue):
    config = idp_config(idp)
    responses = [issue() for _ in range(40)]
    survivor = Tracker(memcached.client(), "site")  # a worker in this process, connected before the crash
    assert attempt_login(config, issue(), survivor) == "accepted"
    # Paced posts, so that most of them come after the crash.
    outcomes = run_workers(memcached.port, config, spread(responses, 8, 2), pause=0.05,
                           on_outcome=lambda count: count == 16 and memcached.stop())
    failed = [(outcome, seconds) for _, outcome, seconds in outcomes
              if outcome not in ("accepted", DUPLICATE)]
    assert len(outcomes) == 80 and failed, "no login met the crashed memcached"
    assert all(counts["accepted"] <= 1 for counts in tally(outcomes).values())
    assert max(seconds for _, seconds in failed) < 11
    memcached.start()  # same port, empty
    # Its stale connection costs the survivor at most one login.
    assert "accepted" in [attempt_login(config, issue(), survivor) for _ in range(2)]
    fresh = [issue() for _ in range(8)]
    outcomes = run_workers(memcached.port, config, [[(i, r.b64)] for i, r in enumerate(fresh)])
    assert sorted(outcome for _, outcome, _ in outcomes) == ["accepted"] * 8


@pytest.mark.long
def test_lock_that_never_comes_fails_the_login_within_the_bound(memcached, idp, issue):
    class RefusingClient(Client):
        def add(self, *args, **kwargs):
            return False

    tracker = Tracker(client_for(memcached.port, RefusingClient), "site")
    config = saml.SamlIDPConfig(idp_config(idp), acs_request(issue()), {}, tracker)
    started = time.monotonic()
    with pytest.raises(RuntimeError, match="^Can not lock saml responses storage$"):
        config.process_saml_response()
    assert 10 <= time.monotonic() - started < 11.5
    assert memcached.client().get(KEY) is None


def test_login_that_overflows_the_item_fails(memcached, idp, issue):
    mc = memcached.client()
    ids, later = ["_%032x" % n for n in range(25_000)], time.time() + 300

    def fits(count):
        try:
            return mc.set(KEY, dict.fromkeys(ids[:count], later))
        except MemcacheServerError:
            return False

    low, high = 20_000, 25_000  # about 45 bytes an id: 1 MiB lies between
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if fits(middle) else (low, middle)
    assert fits(low)
    before = mc.get(KEY)
    config = saml.SamlIDPConfig(idp_config(idp), acs_request(issue()), {}, Tracker(memcached.client(), "site"))
    with pytest.raises(RuntimeError, match="^Can not store saml response$"):
        config.process_saml_response()
    assert mc.get(LOCK) is None and mc.get(KEY) == before  # refused, and nothing accepted earlier forgotten


class StubAuth:
    def __init__(self, seen_error=None):
        self.seen_error = seen_error

    def get_last_message_id(self):
        return "_resp"

    def get_last_assertion_id(self):
        return "_assert"

    def get_last_assertion_not_on_or_after(self):
        return 2e9


@pytest.mark.parametrize("delete_fails", [False, True])
@pytest.mark.parametrize("outcome", ["accepted", "duplicate", "host error"])
def test_direct_lock_road_matches_the_contextlib_road(outcome, delete_fails):
    """reject_duplicated_response takes the lock of the module's own tracker
    classes directly; a subclass goes through contextlib. Both must make the
    same calls and end in the same exception, chained the same way."""

    class Sub(Tracker):
        pass

    def run(cls):
        mc = RecordingClient({KEY: {"_resp": 2e9}} if outcome == "duplicate" else {})
        if delete_fails:
            def delete(key, /):
                mc._record("delete", key)
                raise OSError("memcache went away")
            mc.delete = delete
        tracker = cls(mc, "site")
        if outcome == "host error":
            tracker.cleanup_expired = lambda: (_ for _ in ()).throw(LookupError("host"))
        sso = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
        sso.responses_tracker, sso.saml_auth = tracker, StubAuth()
        try:
            sso.reject_duplicated_response()
            error = None
        except BaseException as e:  # noqa: B036
            error = (type(e), str(e), type(e.__context__), str(e.__context__ or ""))
        return mc.calls, error

    direct, through_contextlib = run(Tracker), run(Sub)
    assert direct == through_contextlib
    assert direct[0][0][0] == "add" and direct[0][-1][0] == "delete"  # the lock was taken and given back


def _client(cls, port, **settings):
    server = ("127.0.0.1", port)
    common = {"connect_timeout": 1, "timeout": 1, **settings}
    return {"plain": lambda: Client(server, **common), "pooled": lambda: PooledClient(server, **common),
            "hash": lambda: HashClient([server], **common)}[cls]()


@pytest.mark.parametrize("cls", ["plain", "pooled", "hash"])
@pytest.mark.parametrize("settings, refused", [
    ({}, "default_noreply=True"),  # pymemcache's own defaults
    ({"serde": "pickle"}, "default_noreply=True"),
    ({"default_noreply": False}, "serde"),  # the record would come back as bytes
    ({"default_noreply": False, "serde": "legacy-pickle"}, None),
    ({"default_noreply": False, "serde": "compressed"}, None),
    ({"default_noreply": False, "serde": "pickle"}, None),
])
def test_client_it_cannot_trust_is_refused_at_construction(memcached, cls, settings, refused):
    serdes = {"pickle": serde.pickle_serde, "compressed": serde.compressed_serde,
              "legacy-pickle": serde.LegacyWrappingSerde(serde.python_memcache_serializer,
                                                         serde.python_memcache_deserializer)}
    if "serde" in settings:
        settings = {**settings, "serde": serdes[settings["serde"]]}
    mc = _client(cls, memcached.port, **settings)
    if refused:
        with pytest.raises(ValueError, match=f"^mc: .*{refused}.*; build the client with "):
            Tracker(mc, "site")
        assert memcached.stats()["cmd_get"] + memcached.stats()["cmd_set"] == 0
        return
    first, second = Tracker(mc, "site"), Tracker(_client(cls, memcached.port, **settings), "site")
    with first.lock():
        assert not first.is_seen("_r")
        first.add("_r", time.time() + 60)
    with second.lock():
        assert second.is_seen("_r")


def test_serde_that_fails_on_the_record_is_refused():
    class Refusing:
        def serialize(self, key, value):
            raise TypeError("only texts")

        def deserialize(self, key, value, flags):
            return value

    with pytest.raises(ValueError, match="serde=pymemcache.serde.pickle_serde$") as raised:
        Tracker(Client(("127.0.0.1", 1), serde=Refusing(), default_noreply=False), "site")
    assert isinstance(raised.value.__context__, TypeError)
