"""The toolkit caches: the toolkit decides every response and every SP
metadata document the same with them as without them, from one thread or
eight, and the switch puts the toolkit's own functions back."""

from __future__ import annotations

import base64
import copy
import os
import random
import subprocess
import sys
import threading

import pytest
import xmlsec
from lxml import etree
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.settings import OneLogin_Saml2_Settings
from onelogin.saml2.utils import OneLogin_Saml2_Utils
from onelogin.saml2.xml_utils import OneLogin_Saml2_XML

import tavrel_saml.saml as saml
from conftest import ACS_PATH, ACS_URL, SP_ENTITY_ID, SP_HOST
from idp import NS_DS, NS_SAML, NS_SAMLP, TestIdentityProvider
from tavrel.demo.idp import _make_key_and_cert

SANITIZED = bool(os.environ.get("TAVREL_SAML_SANITIZED"))
MUTATIONS = 400 if SANITIZED else 2000
SEED = 20261209
NOW = 1_767_225_600  # 2026-01-01T00:00:00Z: the clock of every check here
REPLACED = [(OneLogin_Saml2_XML, "_schema_class"), (OneLogin_Saml2_XML, "validate_xml"), (OneLogin_Saml2_XML, "query"),
            (OneLogin_Saml2_Utils, "format_cert"), (OneLogin_Saml2_Utils, "parse_SAML_to_time")]
NS = {"samlp": NS_SAMLP, "saml": NS_SAML, "ds": NS_DS}


def entries():
    return {name: vars(owner)[name] for owner, name in REPLACED}


@pytest.fixture
def caches():
    """Runs the test from caches on; leaves them on, as imported."""
    saml.set_toolkit_caches(True)
    yield saml.set_toolkit_caches
    saml.set_toolkit_caches(True)


@pytest.fixture
def frozen_clock(monkeypatch):
    monkeypatch.setattr(OneLogin_Saml2_Utils, "now", staticmethod(lambda: NOW))
    # xmlsec loads the CA bundle SSL_CERT_FILE names into every key manager
    # it makes, as the toolkit's decryption does for each encrypted response:
    # 21 ms each where the variable is set, most of this corpus's time. No
    # decision reads that store.
    monkeypatch.setenv("SSL_CERT_FILE", os.devnull)
    monkeypatch.delenv("SSL_CERT_DIR", raising=False)


def both_ways(fn, *args):
    """fn(*args) with the caches off, then on: (off, on)."""
    saml.set_toolkit_caches(False)
    try:
        off = fn(*args)
    finally:
        saml.set_toolkit_caches(True)
    return off, fn(*args)


def guarded(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # the outcome compared, whatever it is
        return ("raised", type(e).__name__, str(e))


def decision(settings, posted):
    """Everything the module's flows read from the toolkit about one post."""
    request = {"https": "on", "http_host": SP_HOST, "script_name": ACS_PATH, "request_uri": ACS_PATH,
               "get_data": {}, "post_data": {"SAMLResponse": posted}}
    auth = OneLogin_Saml2_Auth(request, settings)
    raised = guarded(auth.process_response)
    return (raised, auth.get_errors(), auth.get_last_error_reason(), auth.is_authenticated(),
            guarded(auth.get_nameid), guarded(auth.get_attributes), auth.get_last_message_id(),
            auth.get_last_assertion_id(), auth.get_last_assertion_not_on_or_after())


# ---------------------------------------------------------------------------
# The corpus


def b64(xml):
    return base64.b64encode(xml.encode() if isinstance(xml, str) else xml).decode()


def encrypt_assertion(xml, cert_pem):
    """The response with its assertion encrypted for the SP, as an IdP does."""
    root = etree.fromstring(xml.encode())
    assertion = root.find(f"{{{NS_SAML}}}Assertion")
    holder = etree.SubElement(root, f"{{{NS_SAML}}}EncryptedAssertion")
    assertion.addprevious(holder)
    holder.append(assertion)
    template = xmlsec.template.encrypted_data_create(root, xmlsec.constants.TransformAes128Cbc,
                                                      type=xmlsec.constants.TypeEncElement, ns="xenc")
    xmlsec.template.encrypted_data_ensure_cipher_value(template)
    key_info = xmlsec.template.encrypted_data_ensure_key_info(template, ns="ds")
    encrypted_key = xmlsec.template.add_encrypted_key(key_info, xmlsec.constants.TransformRsaOaep)
    xmlsec.template.encrypted_data_ensure_cipher_value(encrypted_key)
    manager = xmlsec.KeysManager()
    manager.add_key(xmlsec.Key.from_memory(cert_pem.encode(), xmlsec.constants.KeyDataFormatCertPem))
    context = xmlsec.EncryptionContext(manager)
    context.key = xmlsec.Key.generate(xmlsec.constants.KeyDataAes, 128, xmlsec.constants.KeyDataTypeSession)
    context.encrypt_xml(template, assertion)
    return etree.tostring(root, encoding="unicode")


def wrapped(xml, shape):
    """Signature-wrapping shapes: the signed assertion kept somewhere the
    signature check may still find it, an unsigned one where the data is read."""
    root = etree.fromstring(xml.encode())
    signed = root.find("saml:Assertion", NS)
    evil = copy.deepcopy(signed)
    evil.find("ds:Signature", NS).getparent().remove(evil.find("ds:Signature", NS))
    evil.find("saml:Subject/saml:NameID", NS).text = "mallory@example.com"
    if shape == "evil first":
        signed.addprevious(evil)
    elif shape == "evil same id first":
        evil.set("ID", signed.get("ID") + "x")
        signed.addprevious(evil)
    elif shape == "signed inside evil":
        signed.addprevious(evil)
        evil.append(signed)
    elif shape == "signed in extensions":
        extensions = etree.Element(f"{{{NS_SAMLP}}}Extensions")
        root.find("saml:Issuer", NS).addnext(extensions)
        root.replace(signed, evil)
        extensions.append(signed)
    elif shape == "signature moved to evil":
        evil.find("saml:Issuer", NS).addnext(signed.find("ds:Signature", NS))
        signed.addprevious(evil)
    elif shape == "signature stripped":
        signed.remove(signed.find("ds:Signature", NS))
    elif shape == "comment in nameid":
        name_id = signed.find("saml:Subject/saml:NameID", NS)
        name_id.text = "alice@example.com"
        name_id.append(etree.Comment("x"))
        name_id[-1].tail = ".evil.example"
    return etree.tostring(root, encoding="unicode")


def known_shapes(idp, other_idp, sp_cert):
    """Every kind of response the suite issues, and the broken ones."""
    def issue(**kw):
        kw.setdefault("acs_url", ACS_URL)
        kw.setdefault("sp_entity_id", SP_ENTITY_ID)
        kw.setdefault("issue_instant", NOW)
        kw.setdefault("attributes", {"mail": "alice@example.com"})
        return idp.response(**kw)

    def xml(**kw):
        return issue(**kw).xml

    shapes = {
        "valid": xml(),
        "several attribute values": xml(attributes={"mail": ["a@example.com", "b@example.com"], "role": "x"}),
        "no attributes": xml(attributes=None),
        "response signed": xml(sign_response=True),
        "response signed only": xml(sign_response=True, sign_assertion=False),
        "unsigned": xml(sign_assertion=False),
        "no expiry": xml(not_on_or_after=None),
        "expired": xml(not_on_or_after=-60),
        "issued long ago": xml(issue_instant=NOW - 86400),
        "not yet valid": xml(issue_instant=NOW + 3600),
        "wrong audience": xml(audience="https://other.example.com/metadata"),
        "wrong recipient": xml(recipient="https://other.example.com/acs"),
        "wrong destination": xml(destination="https://other.example.com/acs"),
        "wrong issuer": xml(issuer="https://evil.example.com"),
        "in response to": xml(in_response_to="_request"),
        "failed status": xml(status="urn:oasis:names:tc:SAML:2.0:status:Requester"),
        "wrong key": xml(signer=other_idp),
        "altered": xml().replace("alice@example.com</saml:NameID>", "mallory@example.com</saml:NameID>"),
        "encrypted": encrypt_assertion(xml(), sp_cert),
        "encrypted, wrong key": encrypt_assertion(xml(), _make_key_and_cert("other-sp")[1]),
        "not xml": "<samlp:Response",
        "empty": "",
    }
    valid = issue()
    shapes["new response id"] = valid.xml.replace(f'ID="{valid.response_id}"', 'ID="_forged"')
    for shape in ["evil first", "evil same id first", "signed inside evil", "signed in extensions",
                  "signature moved to evil", "signature stripped", "comment in nameid"]:
        shapes["wrapped: " + shape] = wrapped(xml(), shape)
    return shapes


TIMES = ["2026-01-01T00:00:00Z", "2026-1-1T0:0:0Z", "2026-01-01T00:00:00.5Z", "2026-01-01T00:00:00.1234567Z",
         "2026-01-01t00:00:00z", "2024-02-29T23:59:59Z", "2026-02-29T00:00:00Z", "2026-01-01T00:00:60Z",
         "2026-01-01T24:00:00Z", "0001-01-01T00:00:00Z", "0000-01-01T00:00:00Z", "9999-12-31T23:59:59Z",
         "2026-01-01T00:00:00", "2026-01-01T00:00:00.Z", "２０２６-01-01T00:00:00Z", " 2026-01-01T00:00:00Z", ""]


def mutate(rng, xml, idp):
    """One random change of bytes, an attribute or an element."""
    kind = rng.choice(["bytes", "attribute", "element"])
    if kind == "bytes":
        at = rng.randrange(len(xml))
        op = rng.choice(["replace", "delete", "insert", "repeat"])
        if op == "replace":
            return xml[:at] + rng.choice("<>/=\"' aZ0-:.&#\x00é") + xml[at + 1:]
        if op == "delete":
            return xml[:at] + xml[at + rng.randint(1, 8):]
        if op == "insert":
            return xml[:at] + rng.choice(["<!---->", "&amp;", "<x/>", " ", "\n", "]]>"]) + xml[at:]
        end = min(len(xml), at + rng.randint(1, 200))
        return xml[:end] + xml[at:end] + xml[end:]
    root = etree.fromstring(xml.encode())
    elements = list(root.iter(etree.Element))
    target = rng.choice(elements)
    if kind == "attribute":
        names = list(target.attrib)
        name = rng.choice(names) if names and rng.random() < 0.8 else rng.choice(["ID", "NotBefore", "Extra"])
        op = rng.choice(["delete", "set", "set"])
        if op == "delete" and name in target.attrib:
            del target.attrib[name]
        else:
            target.set(name, rng.choice(TIMES + [
                "", "_x", root.get("ID", "_y"), ACS_URL, SP_ENTITY_ID, idp.entity_id, "https://evil.example.com",
                target.get(name, "") + "x", "urn:oasis:names:tc:SAML:2.0:status:Success"]))
    else:
        op = rng.choice(["remove", "duplicate", "move", "text"])
        parent = target.getparent()
        if op == "remove" and parent is not None:
            parent.remove(target)
        elif op == "duplicate" and parent is not None:
            target.addnext(copy.deepcopy(target))
        elif op == "move" and parent is not None:
            destination = rng.choice(elements)
            if destination is not target and target not in destination.iterancestors():
                destination.append(target)
        else:
            target.text = rng.choice(["mallory@example.com", "", " alice@example.com", SP_ENTITY_ID, "x" * 300])
    try:
        return etree.tostring(root, encoding="unicode")
    except Exception:
        return xml


@pytest.fixture(scope="module")
def corpus():
    idp, other_idp = TestIdentityProvider(), TestIdentityProvider()
    sp_key, sp_cert = _make_key_and_cert("test-sp")
    settings = idp.sp_settings(sp_base="https://" + SP_HOST, acs_path=ACS_PATH)
    settings["sp"].update(x509cert=sp_cert, privateKey=sp_key)
    lenient = copy.deepcopy(settings)
    lenient["security"].update(wantAssertionsSigned=False)
    lenient["strict"] = False
    shapes = known_shapes(idp, other_idp, sp_cert)
    posts = [(name, s, b64(xml)) for name, xml in shapes.items() for s in (settings, lenient)]
    rng = random.Random(SEED)
    signed = [shapes["valid"], shapes["response signed"], shapes["several attribute values"], shapes["encrypted"]]
    for i in range(MUTATIONS):
        posts.append((f"mutation {i}", settings, b64(mutate(rng, rng.choice(signed), idp))))
    return posts


@pytest.mark.long
def test_every_response_is_decided_the_same(corpus, frozen_clock, caches):
    differences, accepted, reasons = [], 0, set()
    for name, settings, posted in corpus:
        off, on = both_ways(decision, settings, posted)
        if off != on:
            differences.append((name, off, on))
        accepted += on[3] is True
        reasons.add(on[2])
    assert differences == []
    # The corpus reaches the decisions it should: accepted responses and
    # many distinct refusals.
    assert len(corpus) >= MUTATIONS + 60 and accepted >= 20 and len(reasons) >= 25


def test_sp_metadata_is_validated_the_same(idp, caches):
    settings = OneLogin_Saml2_Settings(idp.sp_settings(), sp_validation_only=True)
    metadata = settings.get_sp_metadata()
    metadata = metadata.decode() if isinstance(metadata, bytes) else metadata
    rng = random.Random(SEED)
    documents = [metadata, metadata.replace("AssertionConsumerService", "Consumer"), "<x/>", "not xml",
                 metadata.replace('validUntil="', 'validUntil="x')]
    documents += [mutate(rng, metadata, idp) for _ in range(MUTATIONS // 10)]
    results = [both_ways(guarded, settings.validate_metadata, document) for document in documents]
    assert [off for off, on in results] == [on for off, on in results]
    assert results[0] == ([], []) and sum(off != [] for off, _ in results) >= 5


@pytest.mark.parametrize("text", TIMES + ["2026-12-31T23:59:59.999999Z", "1970-01-01T00:00:00Z",
                                          "1969-12-31T23:59:59Z", "2000-02-29T12:00:00Z", "1900-02-29T00:00:00Z",
                                          "2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z", None, b"2026"])
def test_timestamps_read_as_the_toolkit_reads_them(text, caches):
    off, on = both_ways(guarded, OneLogin_Saml2_Utils.parse_SAML_to_time, text)
    assert off == on


def test_random_timestamps_read_as_the_toolkit_reads_them(caches):
    rng = random.Random(SEED)
    texts = []
    for _ in range(500):
        fields = [rng.randint(1, 9999), rng.randint(1, 12), rng.randint(1, 31), rng.randint(0, 23),
                  rng.randint(0, 59), rng.randint(0, 59)]
        fraction = "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 7))) \
            if rng.random() < 0.3 else ""
        texts.append("%04d-%02d-%02dT%02d:%02d:%02d%sZ" % (*fields, fraction))
    off, on = both_ways(lambda: [guarded(OneLogin_Saml2_Utils.parse_SAML_to_time, t) for t in texts])
    assert off == on


@pytest.mark.parametrize("args", [("MIIC\r\nAB CD\n",), ("",), ("-----BEGIN CERTIFICATE-----\nAAAA\n",), ("AB" * 400,),
                                  ("ABCD", False), ("ABCD", 0), (b"ABCD",), (None,)])
def test_certificates_formatted_as_the_toolkit_formats_them(args, caches):
    off, on = both_ways(lambda: [guarded(OneLogin_Saml2_Utils.format_cert, *args) for _ in range(2)])
    assert off == on and on[0] == on[1]


def test_queries_outside_the_fast_road_answer_as_the_toolkit(caches):
    document = OneLogin_Saml2_XML.to_etree(b'<samlp:Response xmlns:samlp="%s" ID="a"><samlp:Status/></samlp:Response>'
                                           % NS_SAMLP.encode())
    tree = etree.ElementTree(document.find("samlp:Status", NS))
    calls = [(document, "/samlp:Response/@ID"), (document, "//samlp:Status", None, None),
             (tree, "/samlp:Status"), (document, "/samlp:Response[@ID=$tagid]", None, "a"),
             (document, "/samlp:Response[@ID=$tagid]"), (document, "///"), (document, "count(//*)"),
             (None, "/x"), (document,)]

    def run():
        return [guarded(OneLogin_Saml2_XML.query, *args) for args in calls] + [
            guarded(lambda: OneLogin_Saml2_XML.query(dom=document, query="//samlp:Status", context=document[0])),
            guarded(lambda: OneLogin_Saml2_XML.query(document, "/x", other=1))]
    def normalized(value):
        if isinstance(value, list):
            return [v.getroottree().getpath(v) if isinstance(v, etree._Element) else (type(v).__name__, v)
                    for v in value]
        return value
    off, on = both_ways(lambda: [normalized(v) for v in run()])
    assert off == on and on[0] == [("_ElementUnicodeResult", "a")]


def test_schemas_are_compiled_once_per_thread(caches, monkeypatch):
    xml_utils = sys.modules["onelogin.saml2.xml_utils"]
    directory = os.path.join(os.path.dirname(xml_utils.__file__), "schemas")
    path = os.path.join(directory, "saml-schema-metadata-2.0.xsd")
    # Once this thread holds a schema, validating against it reads no file.
    opened = []
    monkeypatch.setattr(xml_utils, "open", lambda *a: opened.append(a) or open(*a), raising=False)
    document = b'<md:EntityDescriptor xmlns:md="urn:oasis:names:tc:SAML:2.0:metadata" entityID="e"/>'
    results = [OneLogin_Saml2_XML.validate_xml(document, "saml-schema-metadata-2.0.xsd") for _ in range(3)]
    assert len(opened) <= 1 and [r if isinstance(r, str) else r.tag for r in results] == ["invalid_xml"] * 3

    def compiled():
        return OneLogin_Saml2_XML._schema_class(etree.parse(path))
    first = compiled()
    assert compiled() is first and isinstance(first, etree.XMLSchema)
    other = []
    thread = threading.Thread(target=lambda: other.append(compiled()))
    thread.start()
    thread.join()
    assert other[0] is not first
    # Any other schema is compiled afresh, as lxml's own class does.
    other_schema = etree.XML(b'<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"/>')
    assert OneLogin_Saml2_XML._schema_class(other_schema) is not OneLogin_Saml2_XML._schema_class(other_schema)


def test_eight_threads_decide_as_one(corpus, frozen_clock, caches):
    # The known shapes and some mutations: accepted and refused responses.
    chosen = corpus[:40:2] + corpus[-12:]
    alone = [decision(settings, posted) for _, settings, posted in chosen]
    results, start = {}, threading.Barrier(8)

    def worker(k):
        start.wait()
        # Each thread its own order, so that different responses run at once.
        order = list(range(k, len(chosen))) + list(range(k))
        results[k] = {i: decision(chosen[i][1], chosen[i][2]) for i in order}

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all([results[k][i] for i in range(len(chosen))] == alone for k in range(8))


def test_switch_restores_the_toolkits_own_functions(caches, caplog):
    installed = entries()
    caches(False)
    originals = entries()
    assert originals.pop("_schema_class") is etree.XMLSchema and all(
        entry.__func__.__module__.startswith("onelogin.saml2.") for entry in originals.values())
    caches(True)
    assert entries() == installed and not any(installed[name] is original for name, original in originals.items())
    caches(False)
    assert all(entries()[name] is original for name, original in originals.items())
    # A host's own replacement is left alone, both ways.
    mine = staticmethod(lambda dom, query, context=None, tagid=None: [])
    OneLogin_Saml2_XML.query = mine
    try:
        caplog.set_level("INFO", logger="tavrel")
        caches(True)
        assert vars(OneLogin_Saml2_XML)["query"] is mine and entries()["format_cert"] is installed["format_cert"]
        assert [r.getMessage() for r in caplog.records if r.name == "tavrel"] == [
            "Toolkit cache for OneLogin_Saml2_XML.query not installed: it is not the toolkit's own function"]
        caches(False)
        assert vars(OneLogin_Saml2_XML)["query"] is mine
    finally:
        OneLogin_Saml2_XML.query = originals["query"]
    for wrong in [1, None, "yes"]:
        with pytest.raises(TypeError, match="must be bool"):
            caches(wrong)
    with pytest.raises(TypeError):
        caches()
    caches(enabled=True)
    assert entries() == installed


GUARD = """
import logging, sys
logging.basicConfig(level=logging.INFO, format="%(name)s %(message)s", stream=sys.stdout)
{prepare}
from onelogin.saml2.xml_utils import OneLogin_Saml2_XML
from onelogin.saml2.utils import OneLogin_Saml2_Utils
before = [vars(OneLogin_Saml2_XML)["query"], vars(OneLogin_Saml2_Utils)["format_cert"]]
import tavrel_saml.saml as saml
saml.set_toolkit_caches(False)
after = [vars(OneLogin_Saml2_XML)["query"], vars(OneLogin_Saml2_Utils)["format_cert"]]
print("restored", all(a is b for a, b in zip(before, after)))
saml.set_toolkit_caches(True)
print("installed", [vars(OneLogin_Saml2_XML)["query"] is not before[0],
                    vars(OneLogin_Saml2_Utils)["format_cert"] is not before[1]])
"""


@pytest.mark.parametrize("prepare, expected", [
    ("", ["restored True", "installed [True, True]"]),
    ("from onelogin.saml2.utils import OneLogin_Saml2_Utils as U\nU.format_cert = staticmethod(lambda c, h=True: c)",
     ["tavrel Toolkit cache for OneLogin_Saml2_Utils.format_cert not installed: it is not the toolkit's own function",
      "restored True",
      "tavrel Toolkit cache for OneLogin_Saml2_Utils.format_cert not installed: it is not the toolkit's own function",
      "installed [True, False]"]),
    ("import importlib.metadata as m\nm.version = lambda name: '1.17.0'",
     ["tavrel Toolkit caches not installed: python3-saml 1.17.0 is not the version they were checked against",
      "restored True", "tavrel Toolkit caches not installed: the toolkit is not of the checked version",
      "installed [False, False]"]),
], ids=["toolkit's own", "patched before import", "other version"])
def test_installed_only_over_the_checked_toolkit(prepare, expected):
    done = subprocess.run([sys.executable, "-c", GUARD.format(prepare=prepare)], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == expected
