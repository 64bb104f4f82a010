"""Eight threads sharing the module's process-wide state (the settings cache,
`responses_tracker_mem`, the host's settings): logins and posts of real signed
responses, some posted by several threads at once, end exactly as the same
work done by one thread."""

import base64
import random
import re
import sys
import threading
import time
import zlib
from collections import Counter
from urllib.parse import parse_qs, urlparse

import pytest

import tavrel_saml.saml as saml
from onelogin.saml2.auth import OneLogin_Saml2_Auth

from conftest import SP_BASE, acs_request, auth_settings, idp_config, login_request, users

THREADS, OWN, SHARED, ROUNDS = 8, 6, 10, 4
PEOPLE = users(alice={"email": "alice@example.com"}, bob={"email": "bob@example.com"},
               twin={"email": "bob@example.com"})


class UnderLoad(OneLogin_Saml2_Auth):
    """The toolkit, slowed down inside the replay check as a loaded server
    would be: without real exclusion, concurrent posts would all pass it."""

    def get_last_assertion_not_on_or_after(self):
        time.sleep(0.002)
        return super().get_last_assertion_not_on_or_after()


def login(loader, idp_id, return_to):
    url = saml.SamlIDPConfig.generate_login_url(loader.load_by_id(idp_id), login_request(), return_to)
    query = parse_qs(urlparse(url).query)
    request = zlib.decompress(base64.b64decode(query["SAMLRequest"][0]), -15).decode()
    # Each request has its own id and time; everything else must match.
    return "login", url.split("?")[0], tuple(query["RelayState"]), re.sub(r' (ID|IssueInstant)="[^"]*"', "", request)


def post(loader, idp_id, response, relay_state):
    config = saml.SamlIDPConfig(loader.load_by_id(idp_id), acs_request(response, relay_state), PEOPLE,
                                saml.responses_tracker_mem)
    try:
        config.process_saml_response()
    except ValueError as error:
        return "refused", str(error)
    try:
        user = config.get_user_id()
    except ValueError as error:
        user = str(error)
    return "accepted", user, config.get_return_to_url()


def run(work, settings, threads):
    """Runs each list of tasks in its own thread (or all in this one);
    returns (task key, outcome) for every task."""
    saml.SamlIDPConfig.cached_saml_settings.clear()
    saml.responses_tracker_mem.reset()
    outcomes, together = [], threading.Barrier(len(work) if threads else 1, timeout=60)

    def worker(tasks):
        together.wait()
        saml.validate_saml_settings(settings, 5)
        loader = saml.SamlAuthLoader(settings)
        for key, task, *args in tasks:
            if task is None:  # the threads post their shared responses at the same moment
                together.wait()
                continue
            outcomes.append((key, task(loader, *args)))  # list.append is atomic

    if not threads:
        for tasks in work:
            worker(tasks)
        return outcomes
    workers = [threading.Thread(target=worker, args=(tasks,)) for tasks in work]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=120)
    assert not any(w.is_alive() for w in workers), "a worker hangs"
    return outcomes


def workload(issue, round_):
    """Per thread: its own responses (one of them replayed) and logins, in an
    order of its own, then the responses that all threads post together."""
    names = ["alice@example.com", "bob@example.com", "nobody@example.com"]
    issued = lambda n: issue(attributes={"mail": names[n % 3]})  # noqa: E731
    shared = [issued(n) for n in range(SHARED)]
    work = []
    for t in range(THREADS):
        idp_id = ("corp", "meta")[t % 2]
        own = [issued(t + n) for n in range(OWN)]
        tasks = [(r.response_id, post, idp_id, r, f"{SP_BASE}/t{t}") for r in own + own[:1]]
        tasks += [(f"login-{t}-{n}", login, idp_id, f"/r{round_}/{n}") for n in range(4)]
        random.Random(t).shuffle(tasks)
        for r in shared:  # each posted by every thread
            tasks += [(None, None), (r.response_id, post, "corp", r, SP_BASE + "/shared")]
        work.append(tasks)
    return work, shared


@pytest.mark.long
def test_threads_match_a_serial_run(idp, issue, tmp_path, monkeypatch):
    metadata = tmp_path / "idp.xml"
    metadata.write_text(idp.metadata_xml())
    settings = auth_settings({"corp": idp_config(idp, "corp"),
                              "meta": idp_config(idp, "meta", settings={"idp": {"metadata": str(metadata)}})})
    monkeypatch.setattr(saml, "OneLogin_Saml2_Auth", UnderLoad)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, inside the module's calls to Python too
    try:
        for round_ in range(ROUNDS):
            work, shared = workload(issue, round_)
            serial, concurrent = run(work, settings, threads=False), run(work, settings, threads=True)
            assert len(concurrent) == len(serial) == sum(task[1] is not None for tasks in work for task in tasks)
            assert Counter(concurrent) == Counter(serial)
            accepted = Counter(key for key, outcome in concurrent if outcome[0] == "accepted")
            assert set(accepted.values()) == {1} and all(r.response_id in accepted for r in shared)
            assert [s["enabled"] for s in settings["authentication_policies"]["saml"]["identity_providers"].values()
                    ] == [True, True]
    finally:
        sys.setswitchinterval(interval)
