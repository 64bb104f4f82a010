"""An identity provider small enough to read: it mints a key, publishes its
metadata and issues signed SAML responses that the toolkit accepts.

The demo's built-in IdP serves it to a browser; the test suite uses it
directly, including the deliberately broken responses (tampered, wrong key,
expired, failed status) a real IdP would never send.
"""

from __future__ import annotations

import base64
import datetime as dt
import time
import uuid
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any
from xml.sax.saxutils import escape, quoteattr

import xmlsec
from xmlsec import constants as xmlsec_constants
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID
from lxml import etree

NS_SAML = "urn:oasis:names:tc:SAML:2.0:assertion"
NS_SAMLP = "urn:oasis:names:tc:SAML:2.0:protocol"
NS_MD = "urn:oasis:names:tc:SAML:2.0:metadata"
NS_DS = "http://www.w3.org/2000/09/xmldsig#"
BINDING_REDIRECT = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"
BINDING_POST = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"
NAMEID_EMAIL = "urn:oasis:names:tc:SAML:1.1:nameid-format:emailAddress"
STATUS_SUCCESS = "urn:oasis:names:tc:SAML:2.0:status:Success"


def _new_id() -> str:
    # xs:ID must not start with a digit, and the toolkit validates the schema.
    return "_" + uuid.uuid4().hex


def _saml_time(unix: int) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(unix))


def _make_key_and_cert(common_name: str) -> tuple[str, str]:
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    now = dt.datetime.now(dt.timezone.utc)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(days=1))
        .not_valid_after(now + dt.timedelta(days=3650))
        .sign(key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption(),
    ).decode()
    return key_pem, cert.public_bytes(serialization.Encoding.PEM).decode()


def _sign(elem: Any, key_pem: str, cert_pem: str) -> None:
    """Enveloped signature on `elem`, placed right after its own Issuer.

    The toolkit's add_sign() looks the Issuer up with an absolute XPath, so
    on a full Response it would always sign the Response; signing here lets
    us target the Assertion inside it.
    """
    sig = xmlsec.template.create(elem, xmlsec_constants.TransformExclC14N, xmlsec_constants.TransformRsaSha256,
                                  ns="ds")
    elem.find(f"{{{NS_SAML}}}Issuer").addnext(sig)
    ref = xmlsec.template.add_reference(sig, xmlsec_constants.TransformSha256, uri="#" + elem.get("ID"))
    xmlsec.template.add_transform(ref, xmlsec_constants.TransformEnveloped)
    xmlsec.template.add_transform(ref, xmlsec_constants.TransformExclC14N)
    xmlsec.template.add_x509_data(xmlsec.template.ensure_key_info(sig))
    xmlsec.tree.add_ids(elem, ["ID"])
    ctx = xmlsec.SignatureContext()
    ctx.key = xmlsec.Key.from_memory(key_pem.encode(), xmlsec_constants.KeyDataFormatPem)
    ctx.key.load_cert_from_memory(cert_pem.encode(), xmlsec_constants.KeyDataFormatPem)
    ctx.sign(sig)


def sign_metadata(xml: str, key_pem: str, cert_pem: str, *, by_id: bool = True, sha1: bool = False) -> str:
    """`xml` with an enveloped signature as the first child of its root, as
    federations sign metadata: the reference names the root by its ID (one
    is added when missing) or, with `by_id` False, by the empty URI."""
    root = etree.fromstring(xml.encode("utf-8"))
    sign_method = xmlsec_constants.TransformRsaSha1 if sha1 else xmlsec_constants.TransformRsaSha256
    digest_method = xmlsec_constants.TransformSha1 if sha1 else xmlsec_constants.TransformSha256
    sig = xmlsec.template.create(root, xmlsec_constants.TransformExclC14N, sign_method, ns="ds")
    root.insert(0, sig)
    if by_id and not root.get("ID"):
        root.set("ID", _new_id())
    ref = xmlsec.template.add_reference(sig, digest_method, uri="#" + root.get("ID") if by_id else "")
    xmlsec.template.add_transform(ref, xmlsec_constants.TransformEnveloped)
    xmlsec.template.add_transform(ref, xmlsec_constants.TransformExclC14N)
    xmlsec.template.add_x509_data(xmlsec.template.ensure_key_info(sig))
    xmlsec.tree.add_ids(root, ["ID"])
    ctx = xmlsec.SignatureContext()
    ctx.key = xmlsec.Key.from_memory(key_pem.encode(), xmlsec_constants.KeyDataFormatPem)
    ctx.key.load_cert_from_memory(cert_pem.encode(), xmlsec_constants.KeyDataFormatPem)
    ctx.sign(sig)
    signed: str = etree.tostring(root, encoding="unicode")
    return signed


@dataclass
class IssuedResponse:
    xml: str
    response_id: str
    assertion_id: str
    not_on_or_after: int | None  # as written in SubjectConfirmationData

    @property
    def b64(self) -> str:
        """The SAMLResponse form value a browser would post."""
        return base64.b64encode(self.xml.encode("utf-8")).decode("ascii")


class IdentityProvider:
    def __init__(self, entity_id: str = "https://idp.example.org/metadata",
                 sso_url: str = "https://idp.example.org/sso",
                 key_pem: str | None = None, cert_pem: str | None = None) -> None:
        self.entity_id = entity_id
        self.sso_url = sso_url
        if key_pem is None or cert_pem is None:
            key_pem, cert_pem = _make_key_and_cert("test-idp")
        self.key_pem = key_pem
        self.cert_pem = cert_pem
        # The signing certificates the metadata lists: the one in use first,
        # then any still published after a roll.
        self.published_certs = [self.cert_b64]
        # The metadata is signed when a metadata signing key is set (a key
        # of its own, as IdPs keep it apart from the one that signs
        # responses); validUntil (unix seconds) and cacheDuration (an
        # xs:duration) go on its root when set.
        self.metadata_key_pem: str | None = None
        self.metadata_cert_pem: str | None = None
        self.valid_until: float | None = None
        self.cache_duration: str | None = None

    def sign_metadata_with_new_key(self) -> str:
        """Starts signing the metadata with a new key; returns its certificate."""
        self.metadata_key_pem, self.metadata_cert_pem = _make_key_and_cert("test-idp metadata")
        return self.metadata_cert_pem

    @property
    def cert_b64(self) -> str:
        return "".join(l for l in self.cert_pem.strip().splitlines() if not l.startswith("-----"))

    def roll_signing_key(self) -> None:
        """Sign with a new key from now on. The metadata lists the new
        certificate and, for the overlap, the one it replaces, as IdPs do
        while their service providers catch up."""
        self.key_pem, self.cert_pem = _make_key_and_cert("test-idp")
        self.published_certs = [self.cert_b64, self.published_certs[0]]

    def retire_previous_keys(self) -> None:
        """End the overlap: only the certificate in use stays published."""
        self.published_certs = [self.cert_b64]

    def metadata_xml(self) -> str:
        keys = "".join(f"""
    <md:KeyDescriptor use="signing">
      <ds:KeyInfo><ds:X509Data><ds:X509Certificate>{cert}</ds:X509Certificate></ds:X509Data></ds:KeyInfo>
    </md:KeyDescriptor>""" for cert in self.published_certs)
        validity = ""
        if self.valid_until is not None:
            validity += f' validUntil="{_saml_time(int(self.valid_until))}"'
        if self.cache_duration is not None:
            validity += f" cacheDuration={quoteattr(self.cache_duration)}"
        xml = f"""<?xml version="1.0" encoding="UTF-8"?>
<md:EntityDescriptor xmlns:md="{NS_MD}" xmlns:ds="{NS_DS}" entityID={quoteattr(self.entity_id)}{validity}>
  <md:IDPSSODescriptor WantAuthnRequestsSigned="false" protocolSupportEnumeration="{NS_SAMLP}">{keys}
    <md:NameIDFormat>{NAMEID_EMAIL}</md:NameIDFormat>
    <md:SingleSignOnService Binding="{BINDING_REDIRECT}" Location={quoteattr(self.sso_url)}/>
  </md:IDPSSODescriptor>
</md:EntityDescriptor>
"""
        if self.metadata_key_pem is None or self.metadata_cert_pem is None:
            return xml
        return sign_metadata(xml, self.metadata_key_pem, self.metadata_cert_pem)

    def sp_settings(self, sp_base: str = "https://sp.example.com", acs_path: str = "/sso/saml/acs",
                    idp_metadata: str | None = None, want_assertions_signed: bool = True,
                    want_messages_signed: bool = False, strict: bool = True,
                    extra_request_options: Mapping[str, Any] | None = None) -> dict[str, Any]:
        """The toolkit settings of an SP that trusts this IdP."""
        idp: dict[str, Any]
        if idp_metadata is not None:
            idp = {"metadata": idp_metadata}
        else:
            idp = {
                "entityId": self.entity_id,
                "singleSignOnService": {"url": self.sso_url, "binding": BINDING_REDIRECT},
                "x509cert": self.cert_b64,
            }
        settings: dict[str, Any] = {
            "strict": strict,
            "debug": False,
            "sp": {
                "entityId": f"{sp_base}/sso/saml/metadata",
                "assertionConsumerService": {"url": f"{sp_base}{acs_path}", "binding": BINDING_POST},
                "NameIDFormat": NAMEID_EMAIL,
            },
            "idp": idp,
            "security": {
                "wantAssertionsSigned": want_assertions_signed,
                "wantMessagesSigned": want_messages_signed,
                # Otherwise a strict toolkit rejects every response issued
                # without attributes, which hides the failure being tested.
                "wantAttributeStatement": False,
            },
        }
        if extra_request_options is not None:
            settings["extra_request_options"] = extra_request_options
        return settings

    def response(self, *, acs_url: str, sp_entity_id: str, name_id: str = "alice@example.com",
                 attributes: Mapping[str, str | Sequence[str]] | None = None, response_id: str | None = None,
                 assertion_id: str | None = None, in_response_to: str | None = None,
                 not_on_or_after: float | None = 300, audience: str | None = None, recipient: str | None = None,
                 destination: str | None = None, issuer: str | None = None, status: str = STATUS_SUCCESS,
                 sign_assertion: bool = True, sign_response: bool = False, signer: IdentityProvider | None = None,
                 issue_instant: float | dt.datetime | None = None) -> IssuedResponse:
        """Issue a Response carrying one Assertion.

        `issue_instant` (unix seconds or an aware datetime) shifts every
        timestamp, `not_on_or_after` included, so a test can backdate a
        whole response. A failed `status` still carries a valid signed
        assertion: the consumer must refuse it on the status alone.
        """
        if isinstance(issue_instant, dt.datetime):
            issue_instant = issue_instant.timestamp()
        now = int(time.time() if issue_instant is None else issue_instant)
        response_id = response_id or _new_id()
        assertion_id = assertion_id or _new_id()
        issuer = escape(issuer or self.entity_id)
        signer = signer or self
        expires = None if not_on_or_after is None else now + int(not_on_or_after)
        expiry_attr = "" if expires is None else f' NotOnOrAfter="{_saml_time(expires)}"'
        irt_attr = "" if in_response_to is None else f" InResponseTo={quoteattr(in_response_to)}"

        attr_xml = ""
        if attributes:
            parts = []
            for name, values in attributes.items():
                values = [values] if isinstance(values, str) else values
                vals = "".join(f'<saml:AttributeValue xsi:type="xs:string">{escape(v)}</saml:AttributeValue>'
                               for v in values)
                parts.append(f'<saml:Attribute Name={quoteattr(name)} '
                             f'NameFormat="urn:oasis:names:tc:SAML:2.0:attrname-format:basic">{vals}</saml:Attribute>')
            attr_xml = f"<saml:AttributeStatement>{''.join(parts)}</saml:AttributeStatement>"

        stamp = _saml_time(now)
        xml = f"""<samlp:Response xmlns:samlp="{NS_SAMLP}" xmlns:saml="{NS_SAML}" ID="{response_id}" Version="2.0" IssueInstant="{stamp}" Destination={quoteattr(destination or acs_url)}{irt_attr}>
<saml:Issuer>{issuer}</saml:Issuer>
<samlp:Status><samlp:StatusCode Value={quoteattr(status)}/></samlp:Status>
<saml:Assertion xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" ID="{assertion_id}" Version="2.0" IssueInstant="{stamp}">
<saml:Issuer>{issuer}</saml:Issuer>
<saml:Subject>
<saml:NameID Format="{NAMEID_EMAIL}">{escape(name_id)}</saml:NameID>
<saml:SubjectConfirmation Method="urn:oasis:names:tc:SAML:2.0:cm:bearer">
<saml:SubjectConfirmationData Recipient={quoteattr(recipient or acs_url)}{expiry_attr}{irt_attr}/>
</saml:SubjectConfirmation>
</saml:Subject>
<saml:Conditions NotBefore="{stamp}"{expiry_attr}>
<saml:AudienceRestriction><saml:Audience>{escape(audience or sp_entity_id)}</saml:Audience></saml:AudienceRestriction>
</saml:Conditions>
<saml:AuthnStatement AuthnInstant="{stamp}" SessionIndex="{_new_id()}">
<saml:AuthnContext><saml:AuthnContextClassRef>urn:oasis:names:tc:SAML:2.0:ac:classes:PasswordProtectedTransport</saml:AuthnContextClassRef></saml:AuthnContext>
</saml:AuthnStatement>
{attr_xml}
</saml:Assertion>
</samlp:Response>"""

        root = etree.fromstring(xml.encode("utf-8"))
        # Assertion first: the Response signature must cover the finished assertion.
        if sign_assertion:
            _sign(root.find(f"{{{NS_SAML}}}Assertion"), signer.key_pem, signer.cert_pem)
        if sign_response:
            _sign(root, signer.key_pem, signer.cert_pem)
        return IssuedResponse(etree.tostring(root, encoding="unicode"), response_id, assertion_id, expires)
