"""Hostile values where the host or a request supplies them: settings, IdP
configurations, requests, users, tracker values, memcache answers.

Every call must end in a return or in an exception the documented behaviour
gives: an exception of a host object unchanged (never absorbed where nothing
absorbs it), and from the module's own code only the documented kinds; never
a crash, a SystemError or an error of the binding layer."""

import functools
import operator
import os
import re
import subprocess
import sys
import traceback
from contextlib import nullcontext
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from onelogin.saml2.errors import OneLogin_Saml2_Error

import tavrel_saml.saml as saml
from conftest import ACS_PATH, SP_HOST, auth_settings, idp_config, users


class Boom(Exception):
    """What a hostile host object raises."""


class Halt(BaseException):
    """Raised by a hostile host object; no code of the module may absorb it."""


RAISED = []  # every exception the hostile objects raised during one call
DELEGATE = {"__eq__": operator.eq, "__hash__": hash, "__str__": str, "__format__": format, "__bool__": bool,
            "__len__": len, "__iter__": iter, "__contains__": lambda a, b: b in a, "__getitem__": operator.getitem,
            "__setitem__": operator.setitem, "__delitem__": operator.delitem, "__ge__": operator.ge,
            "__le__": operator.le, "__enter__": lambda a: a.__enter__(), "__exit__": lambda a, *e: a.__exit__(*e)}
METHODS = ("strip", "copy", "get", "items", "keys", "lower", "split", "startswith")
ATTRIBUTES = ("headers", "scheme", "host", "path", "GET", "POST", "email", "lock", "is_seen", "add")


def _raise(self, name):
    error = self._error(name)
    RAISED.append(error)
    raise error


def _hook(name, delegate):
    def hook(self, *args):
        if name in self._raising:
            _raise(self, name)
        return delegate(self._inner, *args)
    return hook


class Hostile:
    """Behaves as `inner`, except that the hooks named in `raising` raise."""

    def __init__(self, inner, raising, error):
        self._inner, self._raising, self._error = inner, raising, error

    def __getattr__(self, name):
        if name in self._raising:
            if name in METHODS:
                return lambda *args, **kwargs: _raise(self, name)
            _raise(self, name)
        return getattr(self._inner, name)

    def __repr__(self):
        return f"Hostile({self._inner!r}, {sorted(self._raising)}, {self._error.__name__})"

    vars().update({name: _hook(name, delegate) for name, delegate in DELEGATE.items()})


class HostileStr(str):
    """A str (so the module's paths for exact strings are skipped) whose hooks raise."""

    def __new__(cls, text, raising, error):
        self = super().__new__(cls, text)
        self._inner, self._raising, self._error = str(text), raising, error
        return self

    vars().update({name: _hook(name, getattr(str, name)) for name in
                   ("__eq__", "__hash__", "__str__", "__format__", "__contains__", *METHODS[:1], *METHODS[5:])})


class Listing(dict):
    """An empty mapping whose items() yields whatever it was given."""

    def __init__(self, entries):
        self.entries = entries

    items = lambda self: iter(self.entries)  # noqa: E731
    __len__ = lambda self: len(self.entries)  # noqa: E731
    __repr__ = lambda self: f"Listing({self.entries!r})"  # noqa: E731


errors = st.sampled_from([Boom, Halt])
hooks = st.frozensets(st.sampled_from([*DELEGATE, *METHODS, *ATTRIBUTES]), max_size=4)
scalars = (st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=12) | st.binary(max_size=4)
           | st.sampled_from(["x" * 500_000, "\ud800", "https://sp.example.com/\x00", "a\\b", "NameID", "mail"])
           | st.builds(HostileStr, st.text(max_size=12) | st.sampled_from(["X-Forwarded-Proto", "RelayState", "mail"]),
                       hooks, errors))


keys = st.none() | st.integers() | st.text(max_size=8) | st.sampled_from(["mail", "NameID", "enabled", "settings"])


def hostile(inner):
    return st.builds(Hostile, inner, hooks, errors)


values = st.recursive(scalars, lambda children: (
    st.lists(children, max_size=3) | st.dictionaries(keys, children, max_size=3)
    | st.tuples(children) | hostile(children) | st.builds(Listing, st.lists(children, max_size=3))), max_leaves=6)


@st.composite
def mutated(draw, template, keep=6):
    """The template with some of its parts dropped, replaced or made hostile
    (each part kept as it is `keep` times out of `keep` + 2)."""
    return _mutate(draw, template, keep)


def _mutate(draw, template, keep):
    # Parts are drawn in place, from strategies made once: a strategy built
    # per part is checked anew by hypothesis each time, which took most of
    # the run.
    choice = draw(_choices(keep))
    if choice == "replace":
        return draw(values)
    node = template
    if isinstance(template, dict):
        node = {k: _mutate(draw, v, keep) for k, v in template.items() if draw(st.integers(0, 2 * keep))}
    return Hostile(node, draw(hooks), draw(errors)) if choice == "hostile" else node


@functools.cache
def _choices(keep):
    return st.sampled_from(["keep"] * keep + ["replace", "hostile"])


def requests(post):
    template = {"headers": {"X-Forwarded-Proto": "https"}, "scheme": "http", "host": SP_HOST, "path": ACS_PATH,
                "GET": {}, "POST": post}
    as_request = lambda r: SimpleNamespace(**r) if type(r) is dict and all(type(k) is str for k in r) else r  # noqa
    return mutated(template, keep=10).map(as_request)


# LookupError: a host mapping or list may refuse an item the module stores in it.
NATIVE_KINDS = (ValueError, LookupError, TypeError, AttributeError, RuntimeError, OneLogin_Saml2_Error)
RUNTIME_TEXTS = {"SAML response tracker is not set", "Can not init saml responses storage",
                 "Can not store saml response", "Can not lock saml responses storage"}
# Texts of binding failures; a host object's own text (its repr may name any
# method) is not one of them.
BINDING_TEXTS = re.compile(r"Unable to cast|incompatible function arguments|pybind11|"
                           r"has no attribute '__(enter|exit)__'")


def text_of(error):
    try:
        return str(error)
    except BaseException:  # noqa: B036 - its arguments are hostile
        return ""


def call(fn, *args, absorbs=True):
    """One call of an entry point. `absorbs`: whether the documented behaviour
    may swallow an Exception of a host object (Halt it never may)."""
    RAISED.clear()
    try:
        result = fn(*args)
    except BaseException as error:  # noqa: B036
        if isinstance(error, (Boom, Halt)):
            assert any(error is raised for raised in RAISED), "a host object's exception was replaced"
            return error
        assert not isinstance(error, SystemError), repr(error)
        frames = traceback.extract_tb(error.__traceback__)
        if frames and frames[-1].filename.endswith((".cpp", ".hpp")):  # raised by the module itself
            assert isinstance(error, NATIVE_KINDS) and not BINDING_TEXTS.search(text_of(error)), repr(error)
            assert not isinstance(error, RuntimeError) or text_of(error) in RUNTIME_TEXTS, repr(error)
        return error
    assert not any(isinstance(e, Halt) for e in RAISED), "a BaseException of a host object was absorbed"
    assert absorbs or not RAISED, "an exception of a host object was absorbed"
    return result


def consumer(**fields):
    """A SamlIDPConfig with the given fields, as its constructor would set them."""
    instance = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
    vars(instance).update(fields)
    return instance


def fresh_state():
    saml.SamlIDPConfig.cached_saml_settings.clear()
    if "saml_http_timeout" in vars(saml.SamlIDPConfig):
        del saml.SamlIDPConfig.saml_http_timeout
    saml.responses_tracker_mem.reset()


SETTINGS = dict(deadline=None, database=None, suppress_health_check=list(HealthCheck))
TIMEOUTS = st.sampled_from([1, 0.5]) | values


@pytest.mark.long
@settings(max_examples=300, **SETTINGS)
@given(data=st.data(), idp_id=st.sampled_from(["corp", "meta"]) | values, timeout=TIMEOUTS)
def test_auth_settings(idp, tmp_path_factory, data, idp_id, timeout):
    fresh_state()
    metadata = tmp_path_factory.getbasetemp() / "hostile-idp.xml"
    metadata.write_text(idp.metadata_xml())
    template = auth_settings({"corp": idp_config(idp, "corp"), "meta": idp_config(
        idp, "meta", settings={"idp": {"metadata": str(metadata)}})})
    auth = data.draw(mutated(template, keep=12))
    loader = call(saml.SamlAuthLoader, auth, absorbs=False)
    if isinstance(loader, saml.SamlAuthLoader):
        call(loader.load_by_id, idp_id, absorbs=False)
        call(loader.validate_all, timeout)
    call(saml.validate_saml_settings, data.draw(mutated(template, keep=12)), timeout)


@pytest.mark.long
@settings(max_examples=400, **SETTINGS)
@given(data=st.data(), return_to=st.just("/next") | values)
def test_idp_flows(idp, data, return_to):
    fresh_state()
    config = data.draw(mutated(idp_config(idp, settings={"extra_request_options": {"force_authn": True}}), keep=30))
    request = data.draw(requests({"SAMLResponse": "PHg+", "RelayState": "https://sp.example.com/next"}))
    call(saml.SamlIDPConfig.map_pyramid_to_saml_request, request, absorbs=False)
    call(saml.SamlIDPConfig.get_idp_settings, config, data.draw(TIMEOUTS))
    call(saml.SamlIDPConfig.generate_login_url, config, request, return_to)
    call(saml.SamlIDPConfig.validate_idp_config, config)
    instance = call(saml.SamlIDPConfig, config, request, data.draw(values))
    if isinstance(instance, saml.SamlIDPConfig):
        call(instance.get_sp_metadata)
        call(instance.get_return_to_url)


def as_users(mapping):
    """Attribute mappings that survived become the host's user objects."""
    if type(mapping) is not dict:
        return mapping
    return {user_id: users(u=attributes)["u"] if type(attributes) is dict and all(type(a) is str for a in attributes)
            else attributes for user_id, attributes in mapping.items()}


user_configs = mutated({"alice": {"email": "alice@example.com"}, "bob": {"email": "bob@example.com ", "sso_id": "b"}},
                       keep=10).map(as_users)


MAPPED = {"mail": ["alice@example.com", " bob@example.com "], "NameID": "carol@example.com"}
# Strategies are made once, not per example (see _mutate).
MAPPING_FIELDS = st.fixed_dictionaries(dict(
    idp_config=mutated({"idp_name": "corp"}), saml_auth_attribute=st.sampled_from(["mail", "NameID"]) | values,
    user_config_attribute=st.sampled_from(["email", "sso_id"]) | values,
    saml_auth_regex=st.sampled_from([None, "", "alice", "(", r"\s*b"]) | values, users=user_configs))
ATTRIBUTES, MAILS, NAMEIDS = mutated(MAPPED, keep=10), mutated(MAPPED["mail"]), st.just("carol@example.com") | values


@pytest.mark.long
@settings(max_examples=600, **SETTINGS)
@given(data=st.data())
def test_user_mapping(data):
    instance = consumer(**data.draw(MAPPING_FIELDS))
    call(instance._get_mapped_user_id, data.draw(ATTRIBUTES), absorbs=False)
    call(instance.match_saml_regex, data.draw(MAILS), absorbs=False)
    instance.saml_auth = Answering({"get_attributes": data.draw(ATTRIBUTES), "get_nameid": data.draw(NAMEIDS)})
    call(instance.get_user_id, absorbs=False)


class Answering:
    """A toolkit object or memcache client giving drawn answers: an iterator
    gives one answer per call, then `default(name)`; Boom, Halt and the
    toolkit's error are raised."""

    def __init__(self, answers, default=lambda name: None):
        self.answers, self.default = answers, default

    def __getattr__(self, name):
        def answer(*args):
            drawn = self.answers.get(name, self.default(name))
            if type(drawn) is type(iter([])):
                drawn = next(drawn, self.default(name))
            if any(drawn is error for error in (Boom, Halt, OneLogin_Saml2_Error)):
                _raise(Hostile(None, (), drawn), name)
            return drawn
        return answer


class Tracker:
    """A responses tracker whose answers are drawn values."""

    def __init__(self, lock, seen, added):
        self.lock, self.is_seen = lambda: lock, lambda req_id: seen
        self.add = self.cleanup_expired = lambda *args: added


TRACKERS = st.sampled_from([None, saml.responses_tracker_mem]) | values | st.builds(
    Tracker, st.just(nullcontext()) | hostile(st.just(nullcontext())) | values, values, values)
ID_LISTS = st.lists(st.tuples(values, values), max_size=4)


@pytest.mark.long
@settings(max_examples=500, **SETTINGS)
@given(data=st.data(), answers=st.fixed_dictionaries({
    "process_response": st.sampled_from([None, OneLogin_Saml2_Error, Boom]),
    "get_errors": st.just([]) | values, "get_last_error_reason": values, "is_authenticated": st.just(True) | values,
    "get_last_message_id": st.just("_r") | values, "get_last_assertion_id": st.just("_a") | values,
    "get_last_assertion_not_on_or_after": st.just(2e9) | values, "get_nameid": values}))
def test_responses_and_trackers(data, answers):
    fresh_state()
    tracker = data.draw(TRACKERS)
    instance = consumer(saml_auth=Answering(answers), responses_tracker=tracker)
    for method in (instance.process_saml_response, instance.reject_duplicated_response, instance.get_sso_user_id):
        call(method, absorbs=method == instance.get_sso_user_id)
    memory = saml.SamlDuplicateResponsesTrackerInMemory()
    for req_id, expiration in data.draw(ID_LISTS):
        call(memory.add, req_id, expiration, absorbs=False)
        call(memory.is_seen, req_id, absorbs=False)
    call(memory.cleanup_expired, absorbs=False)


def memcache(answers):
    return Answering(answers, lambda name: None if name == "get" else True)


@pytest.mark.long
@settings(max_examples=500, **SETTINGS)
@given(answers=st.dictionaries(st.sampled_from(["get", "set", "add", "replace", "delete"]),
                               st.lists(st.sampled_from([Boom, Halt]) | values, max_size=3).map(iter)),
       root=values, uid=values, ids=st.lists(values, max_size=2),
       interval=st.sampled_from([0.0, 0.001, -1, None, "0.001"]) | hostile(st.just(0.001)))
def test_memcache_answers(answers, root, interval, uid, ids):
    tracker = call(saml.SamlDuplicateResponsesTrackerInMemcache, memcache(answers), root, interval, uid, absorbs=False)
    if not isinstance(tracker, saml.SamlDuplicateResponsesTrackerInMemcache):
        return

    def check_in():
        with tracker.lock():
            for req_id in ids:
                tracker.is_seen(req_id)
                tracker.add(req_id, 1.0)
            tracker.cleanup_expired()

    for method in (check_in, tracker.reset, tracker._lazy_init, tracker.cleanup_expired):
        call(method, absorbs=False)


# Found by the runs above, kept as fixed cases.

def test_tracker_lock_that_is_no_context_manager():
    for lock in (None, object()):  # `with lock:` is a TypeError
        instance = consumer(saml_auth=Answering({"get_errors": [], "get_last_message_id": "_r"}),
                            responses_tracker=Tracker(lock, False, None))
        assert type(call(instance.process_saml_response)) is TypeError


@pytest.mark.parametrize("entry", [("corp",), ("corp", {"enabled": False}, "third")], ids=["short", "long"])
def test_items_unpack_into_two(entry):
    """`for key, value in mapping.items()`: an entry of another length is a ValueError."""
    tracker = saml.SamlDuplicateResponsesTrackerInMemcache(memcache({"get": Listing([entry])}), "site")
    mapping = consumer(saml_auth_attribute="mail", user_config_attribute="email", saml_auth_regex=None,
                       idp_config={}, users=Listing([entry]))
    for fn, *args in [(saml.SamlAuthLoader(auth_settings(Listing([entry]))).validate_all, 5),
                      (mapping._get_mapped_user_id, {"mail": ["a"]}), (tracker.cleanup_expired,)]:
        assert type(call(fn, *args)) is ValueError, fn


CRASH = """if True:
    import gc
    import tavrel_saml.saml as saml
    from tavrel.configs import UserConfig

    class UserId:  # its hash empties the list of matches, reached through the garbage collector
        def __hash__(self):
            for match in gc.get_referrers(self):
                for matches in gc.get_referrers(match) if type(match) is tuple else ():
                    if type(matches) is list:
                        matches[:] = [None] * 1000
            return 1

    config = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
    vars(config).update(idp_config={}, saml_auth_attribute="mail", user_config_attribute="email",
                        saml_auth_regex=None, users={UserId(): UserConfig(email="a") for _ in range(2)})
    config.users["z"] = UserConfig(email="a")
    try:
        config._get_mapped_user_id({"mail": ["a"]})
    except Exception:
        pass
"""


def test_list_emptied_by_a_hook_while_walked():
    done = subprocess.run([sys.executable, "-c", CRASH], env={**os.environ, "PYTHONPATH": "host"}, capture_output=True)
    assert done.returncode == 0, done.stderr[-2000:]
