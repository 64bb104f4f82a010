"""The host side of single sign-on: what a host adds to call the module.

Three routes under /sso/saml, each IdP named by its id in the auth settings:
the login redirect, the assertion consumer service (ACS) and the SP metadata.
The module refuses a login with a ValueError whose text is fit to show.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from html import escape

from lxml.etree import LxmlError
from pymemcache import serde
from pymemcache.client.base import Client
from pyramid.config import Configurator
from pyramid.httpexceptions import HTTPFound
from pyramid.request import Request
from pyramid.response import Response
from pyramid.security import remember

from tavrel.configs import UserConfig
from tavrel_saml import saml

from .pages import page


Tracker = saml.SamlDuplicateResponsesTrackerInMemory | saml.SamlDuplicateResponsesTrackerInMemcache


@dataclass
class SsoSetup:
    """What the SSO views need, made once at start-up."""

    loader: saml.SamlAuthLoader
    users: Mapping[str, UserConfig]
    tracker: Tracker


def make_tracker(memcached: str, site_key: str = "tavrel-demo") -> Tracker:
    """The module's in-process tracker, or one shared through memcached
    ("host:port") by every worker process of the site."""
    if not memcached:
        return saml.responses_tracker_mem
    host, _, port = memcached.rpartition(":")
    # noreply=False: otherwise `add` reports success unanswered and the lock
    # excludes nobody. pickle_serde: the record is a mapping, not text.
    client = Client((host, int(port)), serde=serde.pickle_serde, default_noreply=False,
                    connect_timeout=1, timeout=1)
    return saml.SamlDuplicateResponsesTrackerInMemcache(client, site_key, my_proc_uid=str(os.getpid()))


def include_sso(config: Configurator, setup: SsoSetup) -> None:
    config.registry["tavrel.sso"] = setup
    config.add_route("sso_login", "/sso/saml/login/{idp}")
    config.add_route("sso_acs", "/sso/saml/acs/{idp}")
    config.add_route("sso_metadata", "/sso/saml/metadata/{idp}")
    config.add_view(login, route_name="sso_login", request_method="GET")
    config.add_view(acs, route_name="sso_acs", request_method="POST")
    config.add_view(metadata, route_name="sso_metadata", request_method="GET")


def sso_setup(request: Request) -> SsoSetup:
    setup: SsoSetup = request.registry["tavrel.sso"]
    return setup


def login(request: Request) -> Response:
    """GET /sso/saml/login/{idp}?next=/path: off to the IdP. `next` comes
    back as the RelayState; the ACS decides whether it is safe to follow."""
    try:
        idp_config = sso_setup(request).loader.load_by_id(request.matchdict["idp"])
        url = saml.SamlIDPConfig.generate_login_url(idp_config, request, request.GET.get("next", "/"))
    except ValueError as error:
        return refused(error, status=400)
    return HTTPFound(location=url)


def acs(request: Request) -> Response:
    """POST /sso/saml/acs/{idp}: the IdP's signed response, posted by the browser."""
    setup = sso_setup(request)
    try:
        idp_config = setup.loader.load_by_id(request.matchdict["idp"])
        sso = saml.SamlIDPConfig(idp_config, request, setup.users, setup.tracker)
        sso.process_saml_response()  # forged, expired, replayed, not authenticated
        user_id = sso.get_user_id()  # no such user, or several
        return_to = sso.get_return_to_url()  # off-site or back into /sso/saml: "/"
    except ValueError as error:
        return refused(error, status=403)
    except LxmlError:
        # A body that is not XML at all: the XML parser's own error.
        return refused(ValueError("The SAML response could not be read."), status=403)
    # A fresh session for the signed-in user: nothing carried over from before.
    request.session.invalidate()
    return HTTPFound(location=return_to, headers=remember(request, user_id))


def metadata(request: Request) -> Response:
    """GET /sso/saml/metadata/{idp}: the SP metadata to register at the IdP."""
    setup = sso_setup(request)
    try:
        idp_config = setup.loader.load_by_id(request.matchdict["idp"])
        xml = saml.SamlIDPConfig(idp_config, request, setup.users).get_sp_metadata()
    except ValueError as error:
        return refused(error, status=400)
    body = xml.encode("utf-8") if isinstance(xml, str) else xml
    return Response(body=body, content_type="application/samlmetadata+xml")


def refused(error: ValueError, status: int) -> Response:
    body = f'<p class="error">{escape(str(error), quote=False)}</p>\n<p><a href="/">Back to the home page</a></p>'
    return Response(page("Sign-in refused", body), status=status)
