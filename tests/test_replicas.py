"""Replay records kept on several memcached servers: the `replicas` values
refused, where an id lives, the claim over its replicas, every interleaving
of two racing posts with any one server failing, and real memcached servers
restarted, killed, hung and come back empty under eight worker processes."""

from __future__ import annotations

import hashlib
import os
import threading
import time

import pytest
from pymemcache.client.hash import HashClient

from conftest import idp_config, require_service
from memcached import MEMCACHED, Memcached
from replica_faults import FAULTS, TIMEOUT, CountingClient, Fault, Tracker, cluster_client, renamed
from test_memcache_tracker import DUPLICATE, attempt_login, run_workers, spread, tally

NAMES = ["127.0.0.1:1", "127.0.0.1:2", "127.0.0.1:3"]


def word(text):
    return int.from_bytes(hashlib.sha256(text.encode()).digest()[:8], "big")


def ranking(req_id, names):
    """The servers of an id, best first: rendezvous hashing with the
    splitmix64 finaliser, as keys were placed before replicas existed."""
    def mix(x):
        m = 2**64 - 1
        x = (x + 0x9E3779B97F4A7C15) & m
        x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & m
        x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & m
        return x ^ (x >> 31)
    return sorted(names, key=lambda name: -mix(word(name) ^ word(req_id)))


class Cluster:
    """A HashClient's shape around fake servers: `clients` by name."""

    default_noreply = ignore_exc = False

    def __init__(self, servers):
        self.clients = servers


class Server:
    """One fake memcached: the generation reads 0; item reads and claims
    answer from `answers` (a value, or an exception to raise); a server that
    is `down` raises that error for every request."""

    default_noreply = ignore_exc = False

    def __init__(self, name, log, get=None, add=True, down=None):
        self.name, self.log, self.down, self.answers = name, log, down, {"get": get, "add": add}

    def _answer(self, call, key):
        call = "generation" if key.endswith("_per_id") else call
        self.log.append((call, self.name))
        if self.down:
            raise self.down
        answer = None if call == "generation" else self.answers[call]
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def get(self, key):
        return self._answer("get", key)

    def add(self, key, value, expire, *, noreply):
        return self._answer("add", key)


def claims(log):
    return [name for call, name in log if call == "add"]


@pytest.mark.parametrize("servers, replicas", [
    (1, 2), (3, 4), (3, 0), (3, -1), (3, True), (3, 2.0), (3, "2"), (3, None), (3, 10**30),
])
def test_replicas_other_than_a_count_of_configured_servers_refused(servers, replicas):
    mc = HashClient([("127.0.0.1", port) for port in range(1, servers + 1)], default_noreply=False)
    with pytest.raises(ValueError, match=rf"^replicas: a whole number from 1 to {servers} "):
        Tracker(mc, "site", replicas)


def test_ids_placed_on_their_highest_ranked_servers_and_claimed_in_that_order():
    for req_id in ("_a", "_b", "_c", "_d", "_e", "_f"):
        for replicas in (1, 2, 3):
            log = []
            Tracker(Cluster({n: Server(n, log) for n in NAMES}), "site", replicas=replicas).add(req_id, 2e9)
            assert claims(log) == ranking(req_id, NAMES)[:replicas]


@pytest.mark.parametrize("first, second, outcome, claimed, missed", [
    # what the id's first and second server answer to the claim (add)
    (True, True, None, 2, None),
    (True, OSError("down"), None, 2, 1),
    (OSError("down"), True, None, 2, 0),
    (False, True, "^Duplicated SAML response$", 1, None),       # the first holder ends the claim
    (True, False, "^Duplicated SAML response$", 2, None),
    (OSError("down"), False, "^Duplicated SAML response$", 2, None),
    (OSError("a"), OSError("b"), "^Can not store saml response at {0}, {1}$", 2, None),
    (None, True, "^Untrustworthy answer from saml responses storage at {0}: None$", 1, None),
])
def test_claim_over_two_replicas(caplog, first, second, outcome, claimed, missed):
    order, log = ranking("_a", NAMES[:2]), []
    servers = {order[0]: Server(order[0], log, add=first), order[1]: Server(order[1], log, add=second)}
    tracker = Tracker(Cluster(servers), "site", 2)
    if outcome is None:
        assert tracker.add("_a", 2e9) is None
    else:
        with pytest.raises((ValueError, RuntimeError), match=outcome.format(*order)) as raised:
            tracker.add("_a", 2e9)
        if "Can not" in outcome:
            assert raised.value.__cause__ is second  # the last server's error
    assert claims(log) == order[:claimed]
    digest = hashlib.sha256(b"_a").hexdigest()[:32]
    assert [r.getMessage() for r in caplog.records if r.name == "tavrel"] == (
        [] if missed is None else [f"Replay record {digest} stored on 1 of 2 servers; missed by {order[missed]}"])


@pytest.mark.parametrize("first, second, seen", [
    (None, None, False),
    (b"1", None, True),
    (None, b"1", True),                   # the first server restarted empty: the copy on the second counts
    (OSError("down"), None, False),
    (OSError("down"), b"1", True),
    (OSError("a"), OSError("b"), "^Can not read saml responses storage at {0}, {1}$"),
])
def test_seen_when_any_answering_replica_holds_it(first, second, seen):
    order, log = ranking("_a", NAMES[:2]), []
    tracker = Tracker(Cluster({order[0]: Server(order[0], log, get=first),
                               order[1]: Server(order[1], log, get=second)}), "site", 2)
    if isinstance(seen, str):
        with pytest.raises(RuntimeError, match=seen.format(*order)):
            tracker.is_seen("_a")
    else:
        assert tracker.is_seen("_a") is seen


@pytest.mark.parametrize("replicas, error, asked", [
    (2, TimeoutError("timed out"), 1),       # a hung server costs a sign-on one timeout, not one per request
    (2, ConnectionRefusedError(), 2),        # cheap to meet again
    (1, TimeoutError("timed out"), 2),       # one copy: every request as it always was
])
def test_a_server_that_timed_out_is_not_asked_again_within_the_sign_on(replicas, error, asked):
    order, log = ranking("_a", NAMES[:2]), []
    tracker = Tracker(Cluster({order[0]: Server(order[0], log, down=error), order[1]: Server(order[1], log)}),
                      "site", replicas)
    with tracker.lock():
        for _ in range(2):
            try:
                assert tracker.is_seen("_a") is False
            except RuntimeError:
                assert replicas == 1
    assert log.count(("generation", order[0])) == asked


# -- Every interleaving of two racing posts, any one server failing ------------

MODES = ("answer", "refused", "answer lost", "restarted empty")


class Explorer:
    """Stateless model checking: each run follows a path of choices, and
    `advance` moves to the next path until every one was taken."""

    def __init__(self):
        self.path, self.depth = [], 0

    def choose(self, options):
        if self.depth == len(self.path):
            self.path.append([0, options])
        self.depth += 1
        return self.path[self.depth - 1][0]

    def advance(self):
        self.depth = 0
        while self.path and self.path[-1][0] + 1 == self.path[-1][1]:
            self.path.pop()
        if self.path:
            self.path[-1][0] += 1
        return bool(self.path)


class MemoryServer:
    """memcached's insert-if-absent over a dict; each claim waits for its turn."""

    default_noreply = ignore_exc = False

    def __init__(self, turns):
        self.items, self.turns = {}, turns

    def get(self, key):
        return None

    def add(self, key, value, expire, *, noreply):
        mode = self.turns.wait(self)
        if mode == "refused":
            raise ConnectionRefusedError()
        if mode == "restarted empty":
            self.items.clear()
        stored = key not in self.items
        self.items.setdefault(key, value)
        if mode == "answer lost":
            raise TimeoutError()
        return stored


class Turns:
    """Runs posts in threads, one claim at a time, in the order and with the
    faults the explorer picks."""

    def __init__(self, explorer, faulty):
        self.explorer, self.faulty, self.cond = explorer, faulty, threading.Condition()
        self.parked, self.go, self.running = {}, {}, set()

    def wait(self, server):
        me = threading.current_thread().name
        with self.cond:
            self.parked[me] = server
            self.running.discard(me)
            self.cond.notify_all()
            self.cond.wait_for(lambda: me in self.go)
            return self.go.pop(me)

    def run(self, posts):
        outcomes = {}

        def body(name, post):
            try:
                outcomes[name] = post()
            except Exception as error:
                outcomes[name] = str(error)
            with self.cond:
                self.running.discard(name)
                self.cond.notify_all()

        threads = [threading.Thread(target=body, args=(name, post), name=name, daemon=True)
                   for name, post in posts.items()]
        self.running.update(posts)
        for thread in threads:
            thread.start()
        with self.cond:
            while self.cond.wait_for(lambda: not self.running, timeout=10) and self.parked:
                who = sorted(self.parked)[self.explorer.choose(len(self.parked))]
                server = self.parked.pop(who)
                self.go[who] = MODES[self.explorer.choose(len(MODES))] if server is self.faulty else "answer"
                self.running.add(who)
                self.cond.notify_all()
        for thread in threads:
            thread.join(10)
        return sorted(map(str, outcomes.values()))


@pytest.mark.parametrize("servers, replicas", [(2, 2), (3, 2), (3, 3)])
def test_two_racing_posts_give_one_acceptance_whatever_single_server_fails(servers, replicas):
    # Claims go to the replicas one after the other, best first: the first
    # server that answers both posts lets one through, later ones can only
    # refuse. Checked over every order of the claims and every fault of one
    # server at each of its claims (refused, answer lost after storing,
    # restarted empty before it).
    runs = 0
    for faulty_index in [None, *range(servers)]:
        explorer = Explorer()
        while True:
            turns = Turns(explorer, None)
            cluster = {name: MemoryServer(turns) for name in NAMES[:servers]}
            turns.faulty = None if faulty_index is None else cluster[NAMES[faulty_index]]
            trackers = {name: Tracker(Cluster(cluster), "site", replicas) for name in ("A", "B")}
            outcomes = turns.run({name: lambda t=t: t.add("_a", 2e9) for name, t in trackers.items()})
            assert outcomes == ["Duplicated SAML response", "None"], (faulty_index, explorer.path)
            runs += 1
            if not explorer.advance():
                break
    assert runs > 100


# -- Real memcached servers -----------------------------------------------------

@pytest.fixture
def cluster():
    require_service(os.access(MEMCACHED, os.X_OK), "memcached is not installed")
    servers = [Memcached() for _ in range(3)]
    try:
        for server in servers:
            server.start()
        yield servers
    finally:
        for server in servers:
            server.stop()


def test_moving_from_one_replica_to_two_forgets_no_id(cluster):
    ports, expires = [s.port for s in cluster], time.time() + 60
    ids = [f"_{i}" for i in range(30)]
    for req_id in ids:
        Tracker(cluster_client(ports), "site").add(req_id, expires)
    assert sum(s.stats()["curr_items"] for s in cluster) == 30  # one copy each
    two = Tracker(cluster_client(ports), "site", 2)
    assert all(two.is_seen(req_id) for req_id in ids)
    for req_id in ids:
        with pytest.raises(ValueError, match="^Duplicated SAML response$"):
            two.add(req_id, expires)
    two.add("_new", expires)
    assert sum(s.stats()["curr_items"] for s in cluster) == 30 + 2


def _replica_worker(ports, config, posts, barrier, results, pause):
    tracker = Tracker(cluster_client(ports), "site", 2)
    barrier.wait(timeout=60)
    for index, b64 in posts:
        failures, started = CountingClient.failures, time.monotonic()
        outcome = attempt_login(config, b64, tracker)
        if CountingClient.failures - failures > 1:
            outcome = f"waited on {CountingClient.failures - failures} timeouts"
        results.put((index, outcome, time.monotonic() - started))
        time.sleep(pause)
    results.put((None, "done", 0.0))


@pytest.mark.long
@pytest.mark.parametrize("kind", FAULTS)
def test_one_server_fault_under_eight_workers(cluster, idp, issue, kind):
    # Eight workers first race on one response (four of them under Response
    # IDs of their own); then one server fails while they sign in, each
    # response posted by two of them at once. With two replicas of three
    # servers every role of the failing server (an id's first replica, its
    # second, neither) occurs.
    ports, config = [s.port for s in cluster], idp_config(idp)
    admin = Tracker(cluster_client(ports), "site", 2)
    captured = [issue() for _ in range(9)]
    assert [attempt_login(config, r, admin) for r in captured] == ["accepted"] * 9
    responses, same = [issue() for _ in range(24)], issue()
    raced = [(24, same.b64)] * 4 + [(24, renamed(same).b64) for _ in range(4)]
    posts = [[race, *later] for race, later in zip(raced, spread(responses, 8, 2))]
    fault = Fault(kind, cluster[0])

    def on_outcome(count):
        if count == 16:
            fault.apply()
        elif count == 40:
            fault.recover()
    try:
        outcomes = run_workers(ports, config, posts, pause=0.02, worker=_replica_worker, on_outcome=on_outcome,
                               timeout=120)  # eight workers under the sanitizers start slowly
    finally:
        fault.undo()
    counts = tally(outcomes)
    assert counts.pop(24) == {"accepted": 1, DUPLICATE: 7}
    assert len(counts) == 24 and all(c == {"accepted": 1, DUPLICATE: 1} for c in counts.values()), {
        i: c for i, c in counts.items() if c != {"accepted": 1, DUPLICATE: 1}}
    assert max(seconds for _, _, seconds in outcomes) < 10 * TIMEOUT  # bounded: no wait beyond a timeout or so
    if kind == "hang":
        assert max(seconds for _, _, seconds in outcomes) >= 0.9 * TIMEOUT
    elif kind != "kill":  # the server came back without the copies it held
        keys = [f"site_saml_responses_per_id_0_{hashlib.sha256(i.encode()).hexdigest()[:32]}"
                for r in captured for i in (r.response_id, r.assertion_id)]
        assert not any(cluster[0].client().get_many(keys))
    replays = captured + [renamed(r) for r in captured] + responses
    assert {attempt_login(config, r, admin) for r in replays} == {DUPLICATE}
