"""Runs under callgrind for bench/instructions.py: each road of each path, N
and then 2N calls, every run inside one call of `functools.reduce`, the
marker callgrind collects (and dumps) around. Nothing else in the process
calls it, so dump k is run k, in the order of the plan printed on stdout.

Inputs that cannot be reused (fresh requests, signed responses) are made
before each run, outside the marker; the signed responses come from the
parent, made without the instrumentation's slowdown.
"""

from __future__ import annotations

import functools
import gc
import json
import logging
import sys
import time

import harness  # noqa: F401  (paths and warning filters)
from harness import ACS_PATH, SP_BASE, blank
from replay import StubAuth, live_entries
from signon import IDP_NAME, RELAY_STATE, USERS, idp_config, toolkit_request

import tavrel_saml.saml as saml
from idp import TestIdentityProvider
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.utils import OneLogin_Saml2_Utils
from tavrel.configs import UserConfig


class StubToolkit(StubAuth):
    """The toolkit calls of process_saml_response and get_user_id on top of
    the replay stub's three, answering at once."""

    def __init__(self, count, name_id):
        super().__init__(count)
        self.name_id = name_id

    def process_response(self):
        pass

    def get_errors(self):
        return []

    def is_authenticated(self):
        return True

    def get_attributes(self):
        # fresh each time: get_user_id adds the NameID into it
        return {"mail": [self.name_id]}

    def get_nameid(self):
        return self.name_id


def _apply(runner, n):
    return runner(n)


def measured(runner, n):
    """The one call callgrind collects around. The collector is kept out:
    where its passes fall is noise as large as a stubbed path's cost."""
    gc.collect()
    gc.disable()
    try:
        return functools.reduce(_apply, (n,), runner)
    finally:
        gc.enable()


def _each(prepare, call):
    """A runner: `prepare(n)` makes n inputs (uncollected), then the marker
    makes n calls on them."""

    def run(n):
        inputs = prepare(n)
        it = iter(inputs)

        def loop(count):
            for _ in range(count):
                call(next(it))

        measured(loop, n)

    return run


def _repeat(call):
    def run(n):
        def loop(count):
            for _ in range(count):
                call()

        measured(loop, n)

    return run


def paths(spec):
    idp = TestIdentityProvider(key_pem=spec["key_pem"], cert_pem=spec["cert_pem"])
    config = idp_config(idp)
    saml.SamlIDPConfig.cached_saml_settings.clear()
    settings = saml.SamlIDPConfig.get_idp_settings(config)
    options = settings["extra_request_options"]
    users = {f"user{i}": UserConfig(email=f"user{i}@example.com", username=f"user{i}") for i in range(USERS)}
    name_id = f"user{USERS // 2}@example.com"
    return_to = SP_BASE + "/dashboard"
    tracker = saml.SamlDuplicateResponsesTrackerInMemory()
    # Both roads get the same responses, in the same order (the floor keeps
    # no replay record): the toolkit's work on them is then the same to the
    # instruction, and the difference of the roads is the module's alone.
    responses = {"module": iter(spec["responses"]), "floor": iter(spec["responses"])}

    def login_requests(n):
        return [blank("/sso/saml/login/" + IDP_NAME + "?next=/dashboard") for _ in range(n)]

    def acs_requests(side):
        def make(n):
            return [blank(ACS_PATH, POST={"SAMLResponse": next(responses[side]), "RelayState": RELAY_STATE})
                    for _ in range(n)]

        return make

    def bare_requests(n):
        return [blank(ACS_PATH, POST={"RelayState": RELAY_STATE}) for _ in range(n)]

    def login_module(request):
        saml.SamlIDPConfig.generate_login_url(config, request, return_to)

    def login_toolkit(request):
        auth = OneLogin_Saml2_Auth(toolkit_request(request), settings)
        auth.login(return_to=return_to, force_authn=options["force_authn"],
                   is_passive=options["is_passive"], set_nameid_policy=options["set_nameid_policy"])

    # The tracker is emptied on both roads so that each call finds it as
    # the first did: live entries are the replay path's subject.
    def signon_module(request):
        tracker.reset()
        sso = saml.SamlIDPConfig(config, request, users, tracker)
        sso.process_saml_response()
        assert sso.get_user_id() == f"user{USERS // 2}"
        sso.get_return_to_url()

    def signon_toolkit(request):
        tracker.reset()
        req = toolkit_request(request)
        auth = OneLogin_Saml2_Auth(req, settings)
        auth.process_response()
        if auth.get_errors():
            raise ValueError(auth.get_errors())
        auth.get_last_message_id()
        auth.get_last_assertion_id()
        auth.get_last_assertion_not_on_or_after()
        if not auth.is_authenticated():
            raise ValueError("Not authenticated")
        auth.get_attributes()
        auth.get_nameid()
        OneLogin_Saml2_Utils.get_self_host(req)
        OneLogin_Saml2_Utils.get_self_url(req)
        OneLogin_Saml2_Utils.get_self_url_host(req)
        auth.redirect_to(request.POST.get("RelayState", ""))

    def init_module(request):
        saml.SamlIDPConfig(config, request, users, tracker)

    def init_toolkit(request):
        OneLogin_Saml2_Auth(toolkit_request(request), settings)

    sso = saml.SamlIDPConfig(config, blank(ACS_PATH), users, saml.SamlDuplicateResponsesTrackerInMemory())

    def stubbed(n):
        sso.saml_auth = StubToolkit(n, name_id)
        return [sso.saml_auth] * n

    def process_module(_):
        sso.process_saml_response()

    def process_toolkit(stub):
        stub.process_response()
        stub.get_errors()
        stub.get_last_message_id()
        stub.get_last_assertion_id()
        stub.get_last_assertion_not_on_or_after()
        stub.is_authenticated()

    def user_module(_):
        sso.get_user_id()

    def user_toolkit(stub):
        stub.get_attributes()
        stub.get_nameid()

    live = saml.SamlDuplicateResponsesTrackerInMemory()
    live._seen_responses.update(live_entries(10))

    def live_stubbed(n):
        sso.responses_tracker = live
        return stubbed(n)

    def reject_module(_):
        sso.reject_duplicated_response()

    def reject_toolkit(stub):
        stub.get_last_message_id()
        stub.get_last_assertion_id()
        stub.get_last_assertion_not_on_or_after()

    def map_module(request):
        saml.SamlIDPConfig.map_pyramid_to_saml_request(request)

    def cached_module():
        saml.SamlIDPConfig.get_idp_settings(config)

    def nothing():
        pass

    # name: (module runner, floor runner, calls per run)
    return {
        "empty": (_repeat(nothing), _repeat(nothing)),
        "login": (_each(login_requests, login_module), _each(login_requests, login_toolkit)),
        "signon": (_each(acs_requests("module"), signon_module), _each(acs_requests("floor"), signon_toolkit)),
        "init": (_each(bare_requests, init_module), _each(bare_requests, init_toolkit)),
        "process": (_each(stubbed, process_module), _each(stubbed, process_toolkit)),
        "user_id": (_each(stubbed, user_module), _each(stubbed, user_toolkit)),
        "reject": (_each(live_stubbed, reject_module), _each(live_stubbed, reject_toolkit)),
        "map": (_each(bare_requests, map_module), _each(bare_requests, toolkit_request)),
        "cached": (_repeat(cached_module), _repeat(nothing)),
    }


def main():
    spec = json.load(open(sys.argv[1]))
    logging.getLogger("tavrel").setLevel(logging.WARNING)
    roads = paths(spec)
    plan = []
    for name, n in spec["calls"].items():
        warm = spec["warm"]
        for side, run in zip(("module", "floor"), roads[name]):
            _warm(run, warm)
            for k in (n, 2 * n):
                run(k)
                plan.append({"path": name, "side": side, "calls": k})
    print(json.dumps({"plan": plan, "finished": time.time()}))


def _warm(run, n):
    """The road run outside the marker: first calls fill caches (and the
    toolkit's lazy imports) that would otherwise land in the N-call run."""
    global measured
    marker = measured
    measured = lambda runner, count: runner(count)  # noqa: E731
    try:
        run(n)
    finally:
        measured = marker


if __name__ == "__main__":
    main()
