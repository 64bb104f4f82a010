"""IdP metadata the site can trust and watch: a document is used only when
signed by a pinned key over its whole root (wrapping shapes refused), its
validity is honoured with a driven clock, a backing copy on disk stands in
for an unreachable IdP, certificates near their end are logged, and the
status report says what is in use."""

import copy
import hashlib
import os
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cryptography import x509
from lxml import etree

import tavrel_saml.saml as saml
from conftest import auth_settings, idp_config, login_request
from idp import NS_DS, NS_MD, MetadataServer, TestIdentityProvider, sign_metadata

Config = saml.SamlIDPConfig
NAME = "test-idp"
DAY = 24 * 3600
STATUS_KEYS = ["idp_name", "metadata_location", "source", "fetched_at", "next_refresh_at", "valid_until",
               "signature", "last_error", "certificates"]


class Clock:
    """The module's `time`, both clocks driven by the test."""

    def __init__(self):
        self.now, self.wall = 1000.0, time.time()

    def monotonic(self):
        return self.now

    def time(self):
        return self.wall

    def advance(self, seconds):
        self.now += seconds
        self.wall += seconds

    def __getattr__(self, name):
        return getattr(time, name)


@pytest.fixture
def clock(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(saml, "time", clock)
    return clock


@pytest.fixture(scope="module")
def signing():
    """An IdP whose metadata is signed, and a second metadata key."""
    provider = TestIdentityProvider()
    provider.sign_metadata_with_new_key()
    other = TestIdentityProvider()
    other.sign_metadata_with_new_key()
    return provider, other


@pytest.fixture
def provider(signing):
    provider = copy.copy(signing[0])
    provider.published_certs = list(provider.published_certs)
    return provider


@pytest.fixture
def server(provider):
    with MetadataServer(provider, slow_seconds=1) as server:
        yield server


def pinned_config(server, *, certs=None, name=NAME, **keys):
    config = idp_config(server.idp, name, settings={"idp": {"metadata": server.base_url + "/metadata.xml"}},
                        metadata_signing_certs=[server.idp.metadata_cert_pem] if certs is None else certs)
    config.update(keys)
    return config


def errors(log_lines, level="ERROR"):
    return [message for lvl, message in log_lines() if lvl == level]


def signed_root(provider, **kwargs):
    return etree.fromstring(sign_metadata(_unsigned(provider).metadata_xml(), provider.metadata_key_pem,
                                          provider.metadata_cert_pem, **kwargs).encode())


def _unsigned(provider):
    unsigned = copy.copy(provider)
    unsigned.metadata_key_pem = None
    return unsigned


def text(root):
    return etree.tostring(root, encoding="unicode")


def q(root, path):
    return root.findall(path, {"md": NS_MD, "ds": NS_DS})


# Each shape: a document made from the IdP's good one, and the reason it is refused for.
def unsigned(provider, other):
    return _unsigned(provider).metadata_xml(), "it is not signed"


def signature_removed(provider, other):
    root = signed_root(provider)
    root.remove(q(root, "ds:Signature")[0])
    return text(root), "it is not signed"


def child_signed_only(provider, other):
    # Wrapping: the signed document moved into an unsigned aggregate, an
    # entity of the attacker's placed before it.
    evil = etree.fromstring(_unsigned(other).metadata_xml().encode())
    aggregate = etree.Element(f"{{{NS_MD}}}EntitiesDescriptor", nsmap={"md": NS_MD})
    aggregate.append(evil)
    aggregate.append(signed_root(provider))
    return text(aggregate), "its root element is not signed (only an element inside it is)"


def two_signatures(provider, other):
    once = text(signed_root(provider))
    return sign_metadata(once, provider.metadata_key_pem, provider.metadata_cert_pem), \
        "it carries more than one signature"


def tampered(provider, other):
    root = signed_root(provider)
    q(root, ".//md:SingleSignOnService")[0].set("Location", "https://evil.example/sso")
    return text(root), "does not verify with any pinned certificate"


def other_key(provider, other):
    # Signed by another key, whose certificate the document itself carries.
    return sign_metadata(_unsigned(provider).metadata_xml(), other.metadata_key_pem, other.metadata_cert_pem), \
        "does not verify with any pinned certificate"


def wrapped_reference(provider, other):
    # Wrapping: the attacker's root carries the genuine signature, whose
    # reference names the genuine entity, now hidden in an Extensions.
    genuine = signed_root(provider)
    evil = etree.fromstring(_unsigned(other).metadata_xml().encode())
    evil.set("ID", "_evil")
    evil.insert(0, q(genuine, "ds:Signature")[0])
    extensions = etree.SubElement(evil, f"{{{NS_MD}}}Extensions")
    extensions.append(genuine)
    return text(evil), "its signature does not reference the root element"


def duplicated_id(provider, other):
    # Wrapping: as above, but the attacker's root takes the genuine ID too.
    genuine = signed_root(provider)
    evil = etree.fromstring(_unsigned(other).metadata_xml().encode())
    evil.set("ID", genuine.get("ID"))
    evil.insert(0, q(genuine, "ds:Signature")[0])
    etree.SubElement(evil, f"{{{NS_MD}}}Extensions").append(genuine)
    return text(evil), "another element carries the root's ID"


def sha1_signed(provider, other):
    return sign_metadata(_unsigned(provider).metadata_xml(), provider.metadata_key_pem, provider.metadata_cert_pem,
                         sha1=True), "its signature uses the deprecated algorithm http://www.w3.org/2000/09/xmldsig#"


def expired(provider, other):
    late = _unsigned(provider)
    late.valid_until = time.time() - 60
    return sign_metadata(late.metadata_xml(), provider.metadata_key_pem, provider.metadata_cert_pem), \
        "it expired: its validUntil "


REFUSALS = [unsigned, signature_removed, child_signed_only, two_signatures, tampered, other_key, wrapped_reference,
            duplicated_id, sha1_signed, expired]


def test_a_signed_document_is_verified_and_only_its_signed_root_is_read(server, log_lines):
    # Without the BEGIN/END lines, and referenced by the empty URI; a comment
    # slipped into a signed value after signing does not cut it short.
    bare = "".join(line for line in server.idp.metadata_cert_pem.splitlines() if "-----" not in line)
    root = signed_root(server.idp, by_id=False)
    cert = q(root, ".//ds:X509Certificate")[1]  # the IdP's own, not the signature's
    cert.text, half = cert.text[:40], cert.text[40:]
    cert.append(etree.Comment("cut"))
    cert[-1].tail = half
    server.document = text(root)
    settings = Config.get_idp_settings(pinned_config(server, certs=[bare]))
    assert settings["idp"]["x509cert"] == server.idp.cert_b64
    assert log_lines()[0] == ("INFO", "SAML metadata fetched for test-idp")
    status = Config.get_idp_status(pinned_config(server))
    assert (status["source"], status["signature"], status["last_error"]) == ("remote", "verified", None)


def test_an_entity_slipped_into_the_signature_is_never_read(server, signing):
    # Wrapping: the signature is the one part of a signed root its digest
    # leaves out; an entity in a ds:Object there comes first in the document.
    aggregate = etree.Element(f"{{{NS_MD}}}EntitiesDescriptor", nsmap={"md": NS_MD})
    aggregate.append(etree.fromstring(_unsigned(server.idp).metadata_xml().encode()))
    root = etree.fromstring(sign_metadata(text(aggregate), server.idp.metadata_key_pem,
                                          server.idp.metadata_cert_pem).encode())
    smuggled = etree.SubElement(q(root, "ds:Signature")[0], f"{{{NS_DS}}}Object")
    smuggled.append(etree.fromstring(_unsigned(signing[1]).metadata_xml().encode()))
    server.document = text(root)
    assert Config.get_idp_settings(pinned_config(server))["idp"]["x509cert"] == server.idp.cert_b64


@pytest.mark.parametrize("shape", REFUSALS, ids=lambda shape: shape.__name__)
def test_refused_documents(server, signing, clock, log_lines, shape):
    document, reason = shape(server.idp, signing[1])
    config = pinned_config(server, metadata_refresh_interval=60,
                           settings={"idp": {"metadata": server.base_url + "/metadata.xml"},
                                     "security": {"rejectDeprecatedAlgorithm": True}})
    # A first resolution goes on with the local settings alone, with one error line.
    server.document = document
    local = Config.get_idp_settings(config)
    assert local is config["settings"] and "x509cert" not in local["idp"]
    [line] = errors(log_lines)
    assert line.startswith("Failed to load metadata for test-idp because of metadata refused: ")
    assert reason in line and line.endswith(". Using local settings only.")
    status = Config.get_idp_status(config)
    assert (status["source"], status["signature"], status["fetched_at"]) == ("local settings", "missing", None)
    assert reason in status["last_error"]
    # A refresh keeps the last good settings: an error line and the warning.
    server.document = None
    clock.advance(60)
    good = Config.get_idp_settings(config)
    assert good["idp"]["x509cert"] == server.idp.cert_b64
    fetched_at = Config.get_idp_status(config)["fetched_at"]
    server.document = document
    clock.advance(60)
    assert Config.get_idp_settings(config) is good
    assert reason in errors(log_lines)[-1] and errors(log_lines)[-1].startswith("Refused SAML metadata for test-idp: ")
    assert errors(log_lines, "WARNING")[-1].endswith(". Keeping the last good settings.")
    status = Config.get_idp_status(config)
    assert (status["signature"], status["fetched_at"]) == ("verified", fetched_at) and reason in status["last_error"]


def test_without_the_new_keys_the_document_is_taken_as_before(server, log_lines):
    server.document = two_signatures(server.idp, None)[0]  # anything the toolkit parses
    config = pinned_config(server)
    del config["metadata_signing_certs"]
    assert Config.get_idp_settings(config)["idp"]["x509cert"] == server.idp.cert_b64
    status = Config.get_idp_status(config)
    assert (status["signature"], status["valid_until"], status["next_refresh_at"]) == ("not required", None, None)


def test_rolling_the_metadata_signing_key(server, signing, clock):
    old = server.idp.metadata_cert_pem
    new_key, new_cert = signing[1].metadata_key_pem, signing[1].metadata_cert_pem
    both = pinned_config(server, certs=[old, new_cert], metadata_refresh_interval=60)
    only_old = pinned_config(server, certs=[old], name="old-only", metadata_refresh_interval=60)
    first = [Config.get_idp_settings(both), Config.get_idp_settings(only_old)]
    server.idp.metadata_key_pem, server.idp.metadata_cert_pem = new_key, new_cert
    server.idp.roll_signing_key()
    clock.advance(60)
    assert Config.get_idp_settings(both)["idp"]["x509certMulti"]["signing"][0] == server.idp.cert_b64
    assert Config.get_idp_settings(only_old) is first[1]
    assert Config.get_idp_status(only_old)["last_error"].startswith("metadata refused: its signature does not verify")


def test_expiry_with_a_driven_clock(server, clock, log_lines):
    server.idp.valid_until = clock.wall + 1000
    config = pinned_config(server)
    settings = Config.get_idp_settings(config)
    assert Config.get_idp_status(config)["valid_until"] == int(clock.wall + 1000)
    saml.validate_saml_settings(auth_settings({"x": config}), 5)
    assert config["enabled"] and any("stops working then" in m for m in errors(log_lines, "WARNING"))
    clock.advance(999)
    assert Config.get_idp_settings(config) is settings
    clock.advance(1)
    for call in [lambda: Config.get_idp_settings(config),
                 lambda: Config.generate_login_url(config, login_request(), "/"),
                 lambda: Config(config, login_request(), {})]:
        with pytest.raises(ValueError, match="SAML metadata of IdP test-idp expired at "):
            call()
    assert len([m for m in errors(log_lines) if "expired" in m]) == 1  # logged once per IdP


@pytest.mark.parametrize("valid_for, cache_duration, interval, due", [
    (400, None, 3600, 300),      # three quarters of the way to validUntil
    (10 ** 6, "PT2M", 3600, 120),  # cacheDuration
    (70, None, 3600, 60),         # never more often than once a minute on their account
    (10 ** 6, "PT1M", 20, 20),     # a shorter interval still rules
])
def test_a_refresh_is_due_early_for_validity(server, clock, valid_for, cache_duration, interval, due):
    server.idp.valid_until, server.idp.cache_duration = clock.wall + valid_for, cache_duration
    config = pinned_config(server, metadata_refresh_interval=interval)
    Config.get_idp_settings(config)
    assert Config.get_idp_status(config)["next_refresh_at"] == pytest.approx(clock.wall + due)
    clock.advance(due - 1)
    Config.get_idp_settings(config)
    assert server.hit_count("/metadata.xml") == 1
    clock.advance(1)
    Config.get_idp_settings(config)
    assert server.hit_count("/metadata.xml") == 2


def test_an_expired_entry_comes_back_with_a_valid_refresh(server, clock):
    server.idp.valid_until = clock.wall + 100
    config = pinned_config(server, metadata_refresh_interval=3600)
    Config.get_idp_settings(config)
    server.metadata_answer = "broken"
    clock.advance(100)
    with pytest.raises(ValueError, match="expired"):
        Config.get_idp_settings(config)
    server.metadata_answer, server.idp.valid_until = "metadata", clock.wall + 1000
    clock.advance(59)
    with pytest.raises(ValueError, match="expired"):
        Config.get_idp_settings(config)  # tried again once a minute
    clock.advance(1)
    Config.get_idp_settings(config)
    assert Config.get_idp_status(config)["valid_until"] == int(server.idp.valid_until)


def test_backing_file_written_then_used_when_the_idp_is_down(server, tmp_path, log_lines):
    backing = tmp_path / "idp.xml"
    server.document = server.idp.metadata_xml()
    config = pinned_config(server, metadata_backing_file=str(backing))
    Config.get_idp_settings(config)
    assert backing.read_bytes() == server.document.encode()
    assert stat.S_IMODE(backing.stat().st_mode) == 0o600 and os.listdir(tmp_path) == ["idp.xml"]
    server.__exit__()
    Config.cached_saml_settings.clear()
    assert Config.get_idp_settings(config)["idp"]["x509cert"] == server.idp.cert_b64
    [warning] = errors(log_lines, "WARNING")
    assert warning.startswith("Failed to load metadata for test-idp because of ")
    assert warning.endswith(f". Using the copy kept in {backing}.")
    status = Config.get_idp_status(config)
    assert (status["source"], status["signature"]) == ("backing file", "verified") and status["last_error"]
    # Tampered on disk: refused as a fetched document would be.
    backing.write_text(backing.read_text().replace(server.idp.sso_url, "https://evil.example/sso"))
    Config.cached_saml_settings.clear()
    assert "x509cert" not in Config.get_idp_settings(config)["idp"]
    assert errors(log_lines)[-2].startswith(f"Cannot use the metadata backing file {backing} for test-idp: "
                                            "metadata refused: its signature does not verify")
    assert errors(log_lines)[-1].endswith("Using local settings only.")


def test_a_failed_backing_write_is_logged_and_the_sign_in_goes_on(server, tmp_path, log_lines):
    config = pinned_config(server, metadata_backing_file=str(tmp_path / "missing" / "idp.xml"))
    assert Config.get_idp_settings(config)["idp"]["x509cert"] == server.idp.cert_b64
    assert errors(log_lines)[0].startswith(f"Failed to write the metadata backing file {tmp_path}/missing/idp.xml "
                                           "for test-idp: cannot create a temporary file: ")


WRITER = """
import sys
import tavrel_saml.saml as saml
source, backing, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
config = {"idp_name": "w", "settings": {"idp": {"metadata": source}}, "metadata_backing_file": backing}
for _ in range(rounds):
    saml.SamlIDPConfig.cached_saml_settings.clear()
    saml.SamlIDPConfig.get_idp_settings(config)
"""


def test_eight_writer_processes_never_tear_the_backing_file(tmp_path):
    documents = []
    for k in range(8):
        writer = TestIdentityProvider(entity_id=f"https://idp{k}.example/metadata")
        # Sizes apart, so that a mix of two would show.
        document = writer.metadata_xml().replace("</md:EntityDescriptor>", "<!--" + "x" * (5000 * k) + "-->"
                                                 "</md:EntityDescriptor>").encode()
        (tmp_path / f"source{k}.xml").write_bytes(document)
        documents.append(document)
    backing = tmp_path / "shared" / "backing.xml"
    backing.parent.mkdir()
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(Path(__file__).parents[1] / "host"),
                                                         os.environ.get("PYTHONPATH", "")])}
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path / f"source{k}.xml"), str(backing), "60"],
                                env=env) for k in range(8)]
    seen = set()
    while any(writer.poll() is None for writer in writers):
        try:
            content = backing.read_bytes()
        except FileNotFoundError:
            continue
        assert content in documents
        seen.add(documents.index(content))
    assert [writer.returncode for writer in writers] == [0] * 8
    assert backing.read_bytes() in documents and os.listdir(backing.parent) == ["backing.xml"]
    assert len(seen) > 1


def test_certificates_near_their_end_are_logged_and_never_disable(server, clock, log_lines):
    not_after = x509.load_pem_x509_certificate(server.idp.cert_pem.encode()).not_valid_after_utc.timestamp()
    config = pinned_config(server, metadata_refresh_interval=60)
    clock.wall = not_after - 10 * DAY
    Config.get_idp_settings(config)
    [warning] = errors(log_lines, "WARNING")
    assert warning.startswith("The signing certificate of IdP test-idp (CN=test-idp) expires on ")
    clock.advance(11 * DAY)
    clock.advance(60)  # past the interval: the next document is accepted, and looked at again
    Config.get_idp_settings(config)
    assert errors(log_lines)[-1].startswith("The signing certificate of IdP test-idp (CN=test-idp) expired on ")
    saml.validate_saml_settings(auth_settings({"x": idp_config(server.idp, "local")}), 5)
    assert errors(log_lines)[-1].startswith("The signing certificate of IdP local (CN=test-idp) expired on ")
    assert Config.get_idp_status(config)["certificates"][0]["not_after"] == not_after


def test_status_report(server, tmp_path):
    config = pinned_config(server, metadata_refresh_interval=60)
    assert Config.get_idp_status(config) == {
        "idp_name": NAME, "metadata_location": server.base_url + "/metadata.xml", "source": "not resolved",
        "fetched_at": None, "next_refresh_at": None, "valid_until": None, "signature": "missing",
        "last_error": None, "certificates": []}
    before = time.time()
    Config.get_idp_settings(config)
    status = Config.get_idp_status(config)
    assert list(status) == STATUS_KEYS and type(status) is dict
    assert before <= status["fetched_at"] <= time.time() and status["next_refresh_at"] > status["fetched_at"]
    der = x509.load_pem_x509_certificate(server.idp.cert_pem.encode()).public_bytes(
        encoding=__import__("cryptography").hazmat.primitives.serialization.Encoding.DER)
    [cert] = status["certificates"]
    assert cert["use"] == "signing" and cert["subject"] == "CN=test-idp"
    assert cert["sha256"] == hashlib.sha256(der).hexdigest() and isinstance(cert["not_after"], float)
    # The IdP down at a first resolution: the local settings, and why.
    server.__exit__()
    Config.cached_saml_settings.clear()
    Config.get_idp_settings(config)
    status = Config.get_idp_status(config)
    assert (status["source"], status["fetched_at"], status["certificates"]) == ("local settings", None, [])
    assert "Connection refused" in status["last_error"]
    local = idp_config(server.idp, "plain")
    Config.get_idp_settings(local)
    status = Config.get_idp_status(local)
    assert (status["metadata_location"], status["signature"], status["source"]) == (None, "not required",
                                                                                     "local settings")
    assert [c["use"] for c in status["certificates"]] == ["signing"]


@pytest.mark.parametrize("key, value, reason", [
    ("metadata_signing_certs", [], "metadata_signing_certs must be a non-empty list of PEM certificates, not an empty"),
    ("metadata_signing_certs", "MIIB", "metadata_signing_certs must be a non-empty list of PEM certificates, not 'MIIB'"),
    ("metadata_signing_certs", [5], "metadata_signing_certs must be a non-empty list of PEM certificates, not a list "
                                    "holding 5"),
    ("metadata_signing_certs", ["not a certificate"], "metadata_signing_certs must be a non-empty list of PEM "
                                                      "certificates, and one of them cannot be read: "),
    ("metadata_backing_file", "", "metadata_backing_file must be a file path, not ''"),
    ("metadata_backing_file", 7, "metadata_backing_file must be a file path, not 7"),
    ("metadata_backing_file", "/tmp/a\0b", "metadata_backing_file must be a file path, not '/tmp/a\\x00b'"),
])
@pytest.mark.parametrize("with_metadata", [True, False])
def test_bad_keys_disable_the_idp_at_start_up(server, caplog, key, value, reason, with_metadata):
    bad = pinned_config(server, name="bad") if with_metadata else idp_config(server.idp, "bad")
    bad[key] = value
    settings = auth_settings({"bad": bad, "good": pinned_config(server, name="good")})
    saml.validate_saml_settings(settings, 5)
    assert (bad["enabled"], settings["authentication_policies"]["saml"]["identity_providers"]["good"]["enabled"]) \
        == (False, True)
    [error] = [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]
    assert error.startswith("Saml IdP bad config is invalid.") and "Invalid SAML configuration: " + reason in error
